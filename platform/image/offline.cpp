// The offline machine: an installation's folders, hives and kernel, and the machine that will
// start it, served through the machine image's state and file layer.
#include "platform/image/offline.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

#include "core/locations.h"
#include "core/registry_values.h"
#include "base/text.h"
#include "bootmenu/boot_menu.h"
#include "inspect/pe_file.h"
#include "hal/setup_log.h"
#include "core/system_files.h"
#include "platform/image/disk_drives.h"
#include "platform/image/firmware_area.h"
#include "platform/image/hive_registry.h"
#include "platform/image/image_state.h"
#include "platform/image/iso_volume.h"
#include "platform/image/offline_parts.h"

namespace halshift::image {
namespace offline {

constexpr std::string_view kKernelName = "NTOSKRNL.EXE";
constexpr std::string_view kBootLoaderSection = "boot loader";
constexpr std::string_view kCdromDevice = "\\Device\\CdRom0";
constexpr std::string_view kArcNamePrefix = "\\ArcName\\";

// An ISO 9660 image as a drive's volume.
class IsoDrive final : public Volume {
 public:
  explicit IsoDrive(std::unique_ptr<IsoVolume> iso) : iso_(std::move(iso)) {}
  std::optional<Entry> Find(std::span<const std::string> components) const override {
    const auto found = iso_->Find(components);
    if (!found) return std::nullopt;
    return Entry{found->name, found->directory, found->size, volume::kReadOnly, {}};
  }
  std::vector<Entry> List(std::span<const std::string> components) const override {
    std::vector<Entry> entries;
    for (const IsoVolume::Entry& entry : iso_->List(components)) {
      entries.push_back({entry.name, entry.directory, entry.size, volume::kReadOnly, {}});
    }
    return entries;
  }
  std::optional<std::string> Read(std::span<const std::string> components) const override {
    return iso_->Read(components);
  }

 private:
  std::unique_ptr<IsoVolume> iso_;
};

// The media named by --media when it is not a folder: an ISO 9660 image.
std::unique_ptr<Volume> OpenMediaImage(const std::filesystem::path& path, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "--media " + path.string() + ": neither a folder nor an ISO 9660 image file";
    return nullptr;
  }
  std::string reason;
  auto iso = IsoVolume::Open(path, reason);
  if (!iso) {
    error = "--media " + path.string() + ": " + reason +
            "; give the CD's folder or an ISO 9660 image of it";
    return nullptr;
  }
  return std::make_unique<IsoDrive>(std::move(iso));
}

// A file the command line names, read whole; nothing with error set when it cannot be.
std::optional<std::string> ReadNamedFile(std::string_view option, const std::string& path,
                                         std::string& error) {
  auto bytes = host::ReadWhole(path);
  if (!bytes) {
    error = std::string(option) + " " + path + ": missing or unreadable; give a readable file";
  }
  return bytes;
}

// The real folder of a path a person named; nothing when it names no folder.
std::optional<std::filesystem::path> RealFolder(const std::filesystem::path& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::filesystem::path real(resolved);
  std::free(resolved);
  struct stat st {};
  if (stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return real;
}

std::optional<WindowsPath> DrivePath(char drive, std::string_view rest) {
  return ParseWindowsPath(std::string(1, drive) + ":\\" + std::string(rest), drive);
}

// The folders of a drive's root directory, by name, in a stable order.
std::vector<std::string> RootFolders(const std::filesystem::path& root) {
  std::vector<std::string> names;
  DIR* const stream = opendir(root.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}


// The installations in the root folders of a drive: those with System32\config\SOFTWARE and
// SYSTEM, found through the drive map as every later path is. A path that leads through a
// symbolic link is named in leadsOut.
std::vector<Installation> FindInstallations(const std::filesystem::path& root,
                                            std::string& leadsOut) {
  DriveMap probe({{'C', root}}, root);
  std::vector<Installation> found;
  for (const std::string& name : RootFolders(root)) {
    Installation installation{name, {}, {}};
    bool complete = true;
    for (const auto& [hive, target] : {std::pair{"SOFTWARE", &installation.software},
                                       std::pair{"SYSTEM", &installation.system}}) {
      const auto path = DrivePath('C', name + "\\System32\\config\\" + hive);
      const auto mapped = path ? probe.Map(*path) : std::nullopt;
      if (path && !mapped) {
        if (leadsOut.empty()) leadsOut = name + "\\System32\\config\\" + hive;
        complete = false;
        break;
      }
      if (!mapped || host::KindOf(*mapped) != host::Kind::kFile) {
        complete = false;
        break;
      }
      *target = *mapped;
    }
    if (complete) found.push_back(std::move(installation));
  }
  return found;
}

std::string LeadsOutMessage(const std::filesystem::path& folder, std::string_view path) {
  return std::string(path) + " in " + folder.string() +
         " is a symbolic link or lies beyond one; halshift follows no link out of the folders "
         "it is given: put the folder the link names in its place";
}

// The numbers of the disk and partition an ARC path or an NT device names
// ("multi(0)disk(0)rdisk(1)partition(2)", "\Device\Harddisk1\Partition2"); nothing when it
// does not name them so.
std::optional<std::pair<unsigned, unsigned>> DiskAndPartition(std::string_view name) {
  const std::string upper = text::ToUpper(name);
  const auto numberAfter = [&](std::string_view marker) -> std::optional<unsigned> {
    const auto at = upper.find(marker);
    if (at == std::string::npos) return std::nullopt;
    std::size_t position = at + marker.size();
    if (position >= upper.size() || upper[position] < '0' || upper[position] > '9') {
      return std::nullopt;
    }
    unsigned number = 0;
    for (; position < upper.size() && upper[position] >= '0' && upper[position] <= '9'; ++position) {
      if (number > 9999) return std::nullopt;
      number = number * 10 + static_cast<unsigned>(upper[position] - '0');
    }
    return number;
  };
  if (upper.rfind("\\DEVICE\\HARDDISK", 0) == 0) {
    const auto disk = numberAfter("\\DEVICE\\HARDDISK");
    const auto partition = numberAfter("\\PARTITION");
    if (disk && partition) return std::pair{*disk, *partition};
    return std::nullopt;
  }
  const auto disk = upper.rfind("MULTI(", 0) == 0 ? numberAfter("RDISK(") : numberAfter(")DISK(");
  const auto partition = numberAfter("PARTITION(");
  if (disk && partition) return std::pair{*disk, *partition};
  return std::nullopt;
}

// The NT device that stands for an ARC device when no record names it.
std::string DeviceFor(std::string_view arcDevice) {
  if (const auto numbers = DiskAndPartition(arcDevice)) {
    return "\\Device\\Harddisk" + std::to_string(numbers->first) + "\\Partition" +
           std::to_string(numbers->second);
  }
  return std::string(kArcNamePrefix) + std::string(arcDevice);
}

// A boot menu entry's ARC device and directory ("multi(0)...partition(1)", "\WINNT").
struct ArcEntry {
  std::string device;
  std::string directory;
};

std::optional<ArcEntry> SplitArcPath(std::string_view arcPath) {
  const auto slash = arcPath.find('\\');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  std::string_view directory = arcPath.substr(slash);
  while (directory.size() > 1 && directory.back() == '\\') directory.remove_suffix(1);
  return ArcEntry{std::string(arcPath.substr(0, slash)), std::string(directory)};
}

// The ARC device of the running installation among the boot menus' entries whose directory is
// the system root's: the only one, else the one whose numbers are those of the device setup
// recorded, else the default entry's; nothing when none of these tells.
std::optional<std::string> RunningArcDevice(platform::FileSystem& files, const std::string& bootRoot,
                                            std::string_view directory,
                                            std::string_view recordedDevice) {
  const std::string bootMenu = bootRoot + std::string(bootmenu::kBootMenuName);
  bootmenu::IniSection entries(files, std::string(bootmenu::kOperatingSystemsSection), bootMenu);
  std::vector<std::string> devices;
  for (const bootmenu::IniEntry& entry : entries.Entries()) {
    const auto arc = SplitArcPath(entry.key);
    if (!arc || !text::EqualsIgnoreCase(arc->directory, directory)) continue;
    const bool known = std::any_of(devices.begin(), devices.end(), [&](const std::string& d) {
      return text::EqualsIgnoreCase(d, arc->device);
    });
    if (!known) devices.push_back(arc->device);
  }
  if (devices.size() == 1) return devices.front();
  if (devices.empty()) return std::nullopt;
  if (const auto recorded = DiskAndPartition(recordedDevice)) {
    std::vector<std::string> matching;
    for (const std::string& device : devices) {
      if (DiskAndPartition(device) == recorded) matching.push_back(device);
    }
    if (matching.size() == 1) return matching.front();
  }
  bootmenu::IniSection loader(files, std::string(kBootLoaderSection), bootMenu);
  for (const bootmenu::IniEntry& entry : loader.Entries()) {
    if (!text::EqualsIgnoreCase(entry.key, "default")) continue;
    const auto arc = SplitArcPath(entry.value);
    if (!arc || !text::EqualsIgnoreCase(arc->directory, directory)) break;
    for (const std::string& device : devices) {
      if (text::EqualsIgnoreCase(device, arc->device)) return device;
    }
    break;
  }
  return std::nullopt;
}


// The ARC names and DOS devices that the running installation would show: the system drive's
// partition as setup recorded it in repair\setup.log [Paths] where that names the system
// root's directory, else as the boot menu entry of that directory names it.
void DescribeDevices(MachineImage::State& state, const std::string& systemRoot,
                     std::optional<char> mediaLetter) {
  const auto root = ParseWindowsPath(systemRoot, state.systemDrive);
  if (!root) return;
  std::string directory = root->Text().substr(2);
  const std::string setupLogText =
      state.files.ReadFile(systemRoot + "\\repair\\setup.log").value_or(std::string());
  const hal::SetupLogPaths recorded = hal::ReadSetupLogPaths(setupLogText);
  const bool recordFits = !recorded.targetDevice.empty() &&
                          text::EqualsIgnoreCase(recorded.targetDirectory, directory);

  const std::string systemDrive(1, state.systemDrive);
  std::optional<std::string> arcDevice;
  std::string bootDrive;
  for (char letter = 'A'; letter <= 'Z' && !arcDevice; ++letter) {
    const std::string bootRoot = std::string(1, letter) + ":\\";
    if (!bootmenu::IsBootDrive(state.files, bootRoot)) continue;
    arcDevice = RunningArcDevice(state.files, bootRoot, directory,
                                 recordFits ? recorded.targetDevice : std::string());
    if (arcDevice) bootDrive = std::string(1, letter);
  }
  std::string device;
  if (recordFits) {
    device = recorded.targetDevice;
  } else if (arcDevice) {
    device = DeviceFor(*arcDevice);
  }
  if (!device.empty()) state.dosDevices.emplace_back(systemDrive + ":", device);
  if (arcDevice && !device.empty()) state.arcNames.emplace_back(*arcDevice, device);
  if (!bootDrive.empty() && bootDrive != systemDrive && recordFits &&
      !recorded.systemPartition.empty()) {
    state.dosDevices.emplace_back(bootDrive + ":", recorded.systemPartition);
  }
  if (mediaLetter) state.dosDevices.emplace_back(std::string(1, *mediaLetter) + ":", kCdromDevice);
}

// A decimal number of at most five digits, the whole text.
std::optional<unsigned> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

// The version the installation's registry records: CurrentVersion ("4.0") and
// CurrentBuildNumber ("1381") under the CurrentVersion key.
bool ReadRecordedVersion(MachineImage::State& state) {
  std::array<std::uint8_t, registry_values::kTextBufferSize> buffer{};
  const auto text = [&](std::string_view value) -> std::string {
    buffer.fill(0);
    const auto result = state.otherRegistry->QueryValue(registry_values::kCurrentVersionKey, value, buffer);
    if (result.status != platform::kErrorSuccess) return {};
    const auto* begin = reinterpret_cast<const char*>(buffer.data());
    return std::string(begin, std::find(begin, begin + buffer.size(), '\0'));
  };
  const std::string version = text("CurrentVersion");
  const auto dot = version.find('.');
  if (dot == std::string::npos) return false;
  const unsigned major = ParseNumber(std::string_view(version).substr(0, dot)).value_or(~0u);
  const unsigned minor = ParseNumber(std::string_view(version).substr(dot + 1)).value_or(~0u);
  const unsigned build = ParseNumber(text("CurrentBuildNumber")).value_or(~0u);
  if (major > 0xFF || minor > 0xFF || build > 0x7FFF) return false;
  state.versionMajor = major;
  state.versionMinor = minor;
  state.build = build;
  return true;
}

// The version GetVersion answers, from the installed kernel's version resource. While a change
// of system files that a cut ended is not finished, the kernel may be under another name; the
// version the registry records then stands in, so that the session can finish the change.
bool ReadKernelVersion(MachineImage::State& state, std::string& error) {
  const std::string kernel = winpath::JoinUnchecked(state.systemDirectory, kKernelName);
  const auto bytes = state.files.ReadFile(kernel);
  const auto version =
      bytes ? pe::ReadVersionResource(
                  {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()})
            : pe::VersionResource{};
  if (bytes && version.state == pe::VersionState::kPresent && version.fileVersion) {
    state.versionMajor = version.fileVersion->major & 0xFFu;
    state.versionMinor = version.fileVersion->minor & 0xFFu;
    state.build = version.fileVersion->build & 0x7FFFu;
    return true;
  }
  const std::string drive(1, state.systemDrive);
  if (state.files.FindFirstFile(locations::IntentRecordPath(drive + ":")) && ReadRecordedVersion(state)) {
    return true;
  }
  error = kernel + (bytes ? " has no version resource" : " is missing or unreadable") +
          ": the folder holds no complete Windows NT installation";
  return false;
}

}  // namespace offline

using namespace offline;

std::optional<OfflineMachine> DescribeOfflineMachine(const LinuxOptions& options,
                                                     std::string& error) {
  OfflineMachine machine;
  machine.systemDrive = options.offline.value_or(std::string());
  machine.drives = options.drives;
  machine.backup = !options.noBackup;
  if (options.media) machine.media = *options.media;
  if (options.firmware) {
    const auto bytes = ReadNamedFile("--firmware", *options.firmware, error);
    if (!bytes) return std::nullopt;
    std::string reason;
    auto area = ReadFirmwareDump(
        {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()}, reason);
    if (!area) {
      error = "--firmware " + *options.firmware + ": " + reason;
      return std::nullopt;
    }
    machine.firmwareArea = std::move(*area);
    return machine;
  }
  MachineDescription description;
  if (options.vmConfig) {
    const auto text = ReadNamedFile("--vm-config", *options.vmConfig, error);
    if (!text) return std::nullopt;
    std::string reason;
    const auto read = ReadVmConfig(*text, reason);
    if (!read) {
      error = "--vm-config " + *options.vmConfig + ": " + reason;
      return std::nullopt;
    }
    description = *read;
  } else {
    description.processors = options.cpus.value_or(1);
  }
  if (options.noApic) description.apic = false;
  machine.firmwareArea = BuildFirmwareArea(description);
  return machine;
}

std::vector<std::string> NeededPaths(std::string_view systemRoot, std::string_view bootDrive) {
  const std::string root(systemRoot);
  const std::string systemDirectory = root + "\\System32";
  std::vector<std::string> paths = {root,
                                    systemDirectory,
                                    systemDirectory + "\\config",
                                    root + "\\repair",
                                    root + "\\repair\\setup.log",
                                    root + "\\repair\\setup.orv",
                                    std::string(bootDrive) + "\\BOOT.INI",
                                    std::string(bootDrive) + "\\BOOTINI.ORV"};
  const std::string drive = winpath::DriveDesignation(root);
  for (const std::string& path : {locations::ProgramFolder(drive), locations::LogFolder(drive),
                                  locations::LogPath(drive), locations::IntentRecordPath(drive)}) {
    paths.push_back(path);
  }
  for (std::string_view name : SystemFileNames) paths.push_back(winpath::JoinUnchecked(systemDirectory, name));
  for (std::string_view name : RecoveryFileNames) paths.push_back(winpath::JoinUnchecked(systemDirectory, name));
  return paths;
}

namespace offline {

const Installation* ChooseInstallation(const std::vector<Installation>& installations,
                                       const std::string& where, std::string& systemRoot,
                                       std::string& error) {
  const Installation* installation = nullptr;
  for (const Installation& candidate : installations) {
    FaultInjector unused;
    const auto hives = HiveRegistry::Open(candidate.software, candidate.system, unused, error,
                                          HiveRegistry::Leftovers::kKeep);
    if (!hives) return nullptr;
    const std::string root = registry_values::ReadSystemRoot(*hives);
    const auto parsed = ParseWindowsPath(root, 'C');
    const bool fits = root.size() > 3 && root[1] == ':' && parsed && parsed->components.size() == 1 &&
                      text::EqualsIgnoreCase(parsed->components[0], candidate.folder);
    if (!fits) {
      if (installations.size() == 1) {
        error = where + ": SystemRoot is \"" + root + "\", not the folder " + candidate.folder +
                " that holds it; the hive does not belong to this tree";
        return nullptr;
      }
      continue;
    }
    if (installation != nullptr) {
      error = where + " holds more than one installation (" + installation->folder + ", " +
              candidate.folder + "): give --offline a copy that holds one";
      return nullptr;
    }
    installation = &candidate;
    systemRoot = parsed->Text();
  }
  if (installation == nullptr) {
    error = where + ": no installation whose SystemRoot names its own folder";
  }
  return installation;
}

namespace {

// The volume that a --drive disk file gives its letter.
std::unique_ptr<Volume> DiskDriveVolume(const std::filesystem::path& path, std::string& error) {
  auto disk = MountDisk(path, false, DiskUsers::kRefuseInUse, error);
  if (!disk) return nullptr;
  const auto active = [&](std::size_t part) {
    const auto& partition = disk->parts[part].partition;
    return partition && partition->active;
  };
  std::optional<std::size_t> chosen;
  for (std::size_t part = 0; part < disk->parts.size(); ++part) {
    const MountedDisk::Part& p = disk->parts[part];
    if (!p.problem.empty()) {
      error = PartName(p) + ": " + p.problem;
      return nullptr;
    }
    if (p.volume && (!chosen || (active(part) && !active(*chosen)))) chosen = part;
  }
  if (!chosen) {
    error = "the disk holds no FAT16 or NTFS volume";
    return nullptr;
  }
  return std::move(disk->parts[*chosen].volume);
}

}  // namespace

bool PlaceNamedDrives(const OfflineMachine& machine, char systemLetter,
                      const std::string& systemRoot, DriveLayout& layout, std::string& error) {
  for (const LinuxOptions::Drive& drive : machine.drives) {
    if (drive.letter == systemLetter) {
      error = std::string("--drive ") + drive.letter + ": is the system drive (SystemRoot is " +
              systemRoot + "); the --offline folder is that drive";
      return false;
    }
    const std::string named = std::string("--drive ") + drive.letter + "=" + drive.folder;
    struct stat st {};
    if (stat(drive.folder.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      auto volume = DiskDriveVolume(drive.folder, error);
      if (!volume) {
        error = named + ": " + error;
        return false;
      }
      layout.disks.push_back({drive.letter, std::move(volume)});
      continue;
    }
    const auto folder = RealFolder(drive.folder);
    if (!folder) {
      error = named + ": neither a folder nor a disk image file";
      return false;
    }
    layout.folders.push_back({drive.letter, *folder});
  }
  return true;
}

std::set<char> DriveLayout::Letters() const {
  std::set<char> letters;
  for (const auto& drive : folders) letters.insert(drive.letter);
  for (const auto& drive : disks) letters.insert(drive.letter);
  return letters;
}

bool PlaceMedia(const OfflineMachine& machine, char lastLetter, DriveLayout& layout,
                std::unique_ptr<Volume>& mediaVolume, std::string& error) {
  if (!machine.media) return true;
  for (char letter : layout.Letters()) lastLetter = std::max(lastLetter, letter);
  if (lastLetter == 'Z') {
    error = "--media: no drive letter is left after Z: for the CD-ROM drive";
    return false;
  }
  layout.mediaLetter = static_cast<char>(lastLetter + 1);
  if (const auto mediaFolder = RealFolder(*machine.media)) {
    layout.folders.push_back({*layout.mediaLetter, *mediaFolder});
    return true;
  }
  mediaVolume = OpenMediaImage(*machine.media, error);
  return mediaVolume != nullptr;
}

std::unique_ptr<MachineImage::State> MakeState(const OfflineMachine& machine,
                                               DriveLayout& layout,
                                               const std::filesystem::path& scratch,
                                               const std::string& systemRoot,
                                               std::unique_ptr<Volume> mediaVolume) {
  auto state = std::make_unique<MachineImage::State>(layout.folders, scratch);
  state->systemDrive = systemRoot[0];
  state->systemDirectory = systemRoot + "\\System32";
  state->administrator = true;  // whoever can change the folders may change the installation
  for (const auto& drive : layout.folders) {
    state->driveTypes[static_cast<std::size_t>(drive.letter - 'A')] = platform::kDriveFixed;
  }
  for (auto& drive : layout.disks) {
    const auto index = static_cast<std::size_t>(drive.letter - 'A');
    state->driveTypes[index] = platform::kDriveFixed;
    state->readOnlyDrives[index] = true;
    state->volumes[index] = std::move(drive.volume);
  }
  if (layout.mediaLetter) {
    const auto index = static_cast<std::size_t>(*layout.mediaLetter - 'A');
    state->driveTypes[index] = platform::kDriveCdrom;
    state->readOnlyDrives[index] = true;
    state->volumes[index] = std::move(mediaVolume);
  }
  state->regions.push_back({kFirmwareAreaBase, machine.firmwareArea.size(), {},
                            machine.firmwareArea});
  return state;
}

bool CheckFolderDrives(MachineImage::State& state, const DriveLayout& layout, std::string& error) {
  // A boot drive of its own (another --drive with BOOT.INI) must not lead out either.
  for (const auto& drive : layout.folders) {
    const std::string root = std::string(1, drive.letter) + ":";
    if (drive.letter == state.systemDrive ||
        (layout.mediaLetter && drive.letter == *layout.mediaLetter)) {
      continue;
    }
    for (const std::string& name : {std::string("\\BOOT.INI"), std::string("\\BOOTINI.ORV")}) {
      const auto parsed = ParseWindowsPath(root + name, drive.letter);
      if (parsed && !state.drives.Map(*parsed)) {
        error = LeadsOutMessage(drive.folder, root + name);
        return false;
      }
    }
  }
  return true;
}

bool CompleteState(MachineImage::State& state, const DriveLayout& layout,
                   const std::string& systemRoot, std::string& error) {
  if (!ReadKernelVersion(state, error)) return false;
  if (!CheckFolderDrives(state, layout, error)) return false;
  DescribeDevices(state, systemRoot, layout.mediaLetter);
  // As the machine image does when it is opened: what an ended process left of the image's
  // own temporary files goes, on every drive that can change.
  for (const auto& drive : layout.folders) {
    if (layout.mediaLetter && drive.letter == *layout.mediaLetter) continue;
    host::SweepPrivateFiles(drive.folder);
  }
  // What opening read is not part of the session.
  state.faults.Reset();
  return true;
}

}  // namespace offline

namespace {

// The host folder of the system drive, when it is a folder that can be changed; nothing, with
// error set, when it is not.
std::optional<std::filesystem::path> WritableSystemFolder(const OfflineMachine& machine,
                                                          std::string& error) {
  const auto systemFolder = RealFolder(machine.systemDrive);
  if (!systemFolder) {
    error = machine.systemDrive.string() +
            ": neither a folder nor a disk image file; give --offline the root folder of the "
            "installation's system drive or the virtual machine's disk";
    return std::nullopt;
  }
  if (access(systemFolder->c_str(), W_OK) != 0) {
    error = systemFolder->string() +
            ": cannot be changed (a read-only mount or folder); mount the system drive read-write";
    return std::nullopt;
  }
  return systemFolder;
}

// Checks that no path the program reads or changes leads out of the drive folders, then opens
// the installation's hives (in its folder on the system drive of systemRoot) again, now
// through the machine's own drive map and fault injector. Their leftovers go with the image's
// own later, once nothing refuses the tree.
bool OpenHivesThroughDrives(MachineImage::State& state, const std::filesystem::path& systemFolder,
                            const std::string& systemRoot, const std::string& folder,
                            std::string& error) {
  const char systemLetter = systemRoot[0];
  for (const std::string& path : NeededPaths(systemRoot, std::string(1, systemLetter) + ":")) {
    const auto parsed = ParseWindowsPath(path, systemLetter);
    if (parsed && !state.drives.Map(*parsed)) {
      error = LeadsOutMessage(systemFolder, path);
      return false;
    }
  }
  const auto software =
      state.drives.Map(*DrivePath(systemLetter, folder + "\\System32\\config\\SOFTWARE"));
  const auto system =
      state.drives.Map(*DrivePath(systemLetter, folder + "\\System32\\config\\SYSTEM"));
  if (!software || !system) {
    error = LeadsOutMessage(systemFolder, folder + "\\System32\\config");
    return false;
  }
  state.otherRegistry = HiveRegistry::Open(*software, *system, state.faults, error,
                                           HiveRegistry::Leftovers::kKeep);
  return state.otherRegistry != nullptr;
}

// The machine of an installation whose system drive is a host folder.
std::unique_ptr<MachineImage::State> OpenOfflineFolder(const OfflineMachine& machine,
                                                       std::string& error) {
  const auto systemFolder = WritableSystemFolder(machine, error);
  if (!systemFolder) return nullptr;

  // The installation and its system root, from its own SOFTWARE hive.
  std::string leadsOut;
  const std::vector<Installation> installations = FindInstallations(*systemFolder, leadsOut);
  if (installations.empty()) {
    error = !leadsOut.empty()
                ? LeadsOutMessage(*systemFolder, leadsOut)
                : systemFolder->string() +
                      " holds no Windows NT installation (no <folder>\\System32\\config\\SOFTWARE "
                      "and SYSTEM): give --offline the root folder of its system drive";
    return nullptr;
  }
  std::string systemRoot;
  const Installation* installation =
      ChooseInstallation(installations, systemFolder->string(), systemRoot, error);
  if (installation == nullptr) return nullptr;
  const char systemLetter = systemRoot[0];

  // The drives: the system drive, the others named, and the media after the last of them.
  DriveLayout layout;
  layout.folders.push_back({systemLetter, *systemFolder});
  std::unique_ptr<Volume> mediaVolume;
  if (!PlaceNamedDrives(machine, systemLetter, systemRoot, layout, error) ||
      !PlaceMedia(machine, 'A', layout, mediaVolume, error)) {
    return nullptr;
  }
  auto state = MakeState(machine, layout, *systemFolder, systemRoot, std::move(mediaVolume));

  if (!OpenHivesThroughDrives(*state, *systemFolder, systemRoot, installation->folder, error)) {
    return nullptr;
  }
  if (!CompleteState(*state, layout, systemRoot, error)) return nullptr;
  return state;
}

}  // namespace

std::unique_ptr<MachineImage> MachineImage::OpenOffline(const OfflineMachine& machine,
                                                        std::string& error) {
  struct stat st {};
  const bool disk = stat(machine.systemDrive.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  auto state = disk ? OpenOfflineDisk(machine, error) : OpenOfflineFolder(machine, error);
  if (!state) return nullptr;
  return std::unique_ptr<MachineImage>(new MachineImage(std::move(state)));
}

}  // namespace halshift::image
