// The offline machine of an installation inside a disk image file: its FAT16 volumes serve the
// drives, with the letters the installation gives them, its hives are read out of the system
// volume, and the disk's former state is kept before anything changes.
#include <fstream>

#include "platform/image/disk_drives.h"
#include "platform/image/nbd_device.h"
#include "platform/image/offline_parts.h"

namespace halshift::image::offline {

namespace {

constexpr std::string_view kBootMenu = "BOOT.INI";

struct DiskInstallation {
  Installation hives;     // the host copies
  std::size_t part = 0;   // MountedDisk::parts index
};

std::vector<std::string> HivePath(const std::string& folder, std::string_view hive) {
  return {folder, "System32", "config", std::string(hive)};
}

bool CopyOut(const Volume& volume, std::span<const std::string> path,
             const std::filesystem::path& copy) {
  const auto bytes = volume.Read(path);
  if (!bytes) return false;
  std::ofstream out(copy, std::ios::binary | std::ios::trunc);
  out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
  return static_cast<bool>(out.flush());
}

// The installations in the root folders of the disk's volumes, their hives copied into folder.
std::vector<DiskInstallation> FindDiskInstallations(const MountedDisk& disk,
                                                    const std::filesystem::path& folder) {
  std::vector<DiskInstallation> found;
  for (std::size_t part = 0; part < disk.parts.size(); ++part) {
    const Volume* volume = disk.parts[part].volume.get();
    if (volume == nullptr) continue;
    for (const Volume::Entry& entry : volume->List({})) {
      if (!entry.directory) continue;
      const std::filesystem::path copies = folder / std::to_string(found.size());
      std::error_code ignored;
      std::filesystem::create_directory(copies, ignored);
      DiskInstallation installation{{entry.name, copies / "SOFTWARE", copies / "SYSTEM"}, part};
      const auto software = HivePath(entry.name, "SOFTWARE");
      const auto system = HivePath(entry.name, "SYSTEM");
      const auto isFile = [&](std::span<const std::string> path) {
        const auto hive = volume->Find(path);
        return hive && !hive->directory;
      };
      if (isFile(software) && isFile(system) &&
          CopyOut(*volume, software, installation.hives.software) &&
          CopyOut(*volume, system, installation.hives.system)) {
        found.push_back(std::move(installation));
      }
    }
  }
  return found;
}

// Why the disk cannot be taken: the active partition, or (with no installation found) any FAT
// partition, that could not be mounted; empty when none.
std::string MountProblem(const MountedDisk& disk, bool installationFound) {
  for (const MountedDisk::Part& part : disk.parts) {
    if (part.problem.empty()) continue;
    if (!installationFound || !part.partition || part.partition->active) {
      return PartName(part) + ": " + part.problem;
    }
  }
  return {};
}

char FreeLetter(const std::set<char>& taken) {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    if (taken.count(letter) == 0) return letter;
  }
  return 0;
}

// The letters of the disk's volumes: the system volume's from SystemRoot, then the active
// partition that holds BOOT.INI, then the others in NT 4.0's order (primary partitions, then
// logical drives), none of them a letter already taken.
std::map<char, std::size_t> AssignLetters(const MountedDisk& disk, std::size_t systemPart,
                                          char systemLetter, std::set<char> taken) {
  std::map<char, std::size_t> letters{{systemLetter, systemPart}};
  taken.insert(systemLetter);
  std::optional<std::size_t> bootPart;
  std::vector<std::size_t> others;
  for (std::size_t part = 0; part < disk.parts.size(); ++part) {
    const auto& p = disk.parts[part];
    const std::vector<std::string> bootMenu = {std::string(kBootMenu)};
    if (part == systemPart || !p.volume) continue;
    if (!bootPart && p.partition && p.partition->active && p.volume->Find(bootMenu)) {
      bootPart = part;
    } else {
      others.push_back(part);
    }
  }
  std::vector<std::size_t> order;
  if (bootPart) order.push_back(*bootPart);
  order.insert(order.end(), others.begin(), others.end());
  for (std::size_t part : order) {
    const char letter = FreeLetter(taken);
    if (letter == 0) break;
    letters[letter] = part;
    taken.insert(letter);
  }
  return letters;
}

// The disk's installation, its system root and the letters of its volumes.
struct DiskPlan {
  std::vector<DiskInstallation> installations;
  const DiskInstallation* chosen = nullptr;
  std::string systemRoot;
};

bool PlanDisk(const MountedDisk& disk, const std::filesystem::path& path,
              const std::filesystem::path& folder, DiskPlan& plan, std::string& error) {
  plan.installations = FindDiskInstallations(disk, folder);
  if (std::string problem = MountProblem(disk, !plan.installations.empty()); !problem.empty()) {
    error = path.string() + ": " + problem;
    return false;
  }
  if (plan.installations.empty()) {
    error = path.string() +
            ": no FAT16 or NTFS volume of the disk holds a Windows NT installation (no "
            "<folder>\\System32\\config\\SOFTWARE and SYSTEM)";
    return false;
  }
  std::vector<Installation> hives;
  for (const DiskInstallation& installation : plan.installations) hives.push_back(installation.hives);
  const Installation* chosen = ChooseInstallation(hives, path.string(), plan.systemRoot, error);
  if (chosen == nullptr) return false;
  plan.chosen = &plan.installations[static_cast<std::size_t>(chosen - hives.data())];
  return true;
}

// What a cut rewrite of a hive left on the system volume goes.
bool RemoveHiveLeftovers(Volume& volume, const std::string& folder) {
  for (std::string_view hive : {"SOFTWARE", "SYSTEM"}) {
    const auto leftover = HivePath(folder, NewHiveName(hive));
    if (volume.Find(leftover) && (!volume.Delete(leftover) || !volume.Flush())) return false;
  }
  return true;
}

std::unique_ptr<MachineImage::State> OpenDiskState(const OfflineMachine& machine, bool writable,
                                                   std::string& error) {
  auto session = std::make_shared<DiskSession>();
  session->path = machine.systemDrive;
  if (session->folder.Path().empty()) {
    error = "no private folder for the disk's hives could be made in the temporary folder";
    return nullptr;
  }
  auto disk = MountDisk(session->path, writable, DiskUsers::kRefuseInUse, error);
  if (!disk) {
    error = session->path.string() + ": " + error;
    return nullptr;
  }
  DiskPlan plan;
  if (!PlanDisk(*disk, session->path, session->folder.Path(), plan, error)) return nullptr;
  const char systemLetter = plan.systemRoot[0];
  DriveLayout layout;
  if (!PlaceNamedDrives(machine, systemLetter, plan.systemRoot, layout, error)) return nullptr;
  session->partOfDrive = AssignLetters(*disk, plan.chosen->part, systemLetter, layout.Letters());
  std::unique_ptr<Volume> mediaVolume;
  if (!PlaceMedia(machine, session->partOfDrive.rbegin()->first, layout, mediaVolume, error)) {
    return nullptr;
  }
  auto state = MakeState(machine, layout, session->folder.Path(), plan.systemRoot,
                         std::move(mediaVolume));
  session->device = disk->device;
  session->format = disk->format;
  session->device->SetFaultInjector(&state->faults);
  for (const auto& [letter, part] : session->partOfDrive) {
    const auto index = static_cast<std::size_t>(letter - 'A');
    state->volumes[index] = TrackChanges(std::move(disk->parts[part].volume), *session, letter);
    state->driveTypes[index] = platform::kDriveFixed;
  }
  Volume& system = *state->volumes[static_cast<std::size_t>(systemLetter - 'A')];
  state->otherRegistry =
      VolumeHives(system, HivePath(plan.chosen->hives.folder, "SOFTWARE"),
                  plan.chosen->hives.software, plan.chosen->hives.system, state->faults, error);
  if (!state->otherRegistry || !CompleteState(*state, layout, plan.systemRoot, error)) {
    return nullptr;
  }
  if (writable && !RemoveHiveLeftovers(system, plan.chosen->hives.folder)) {
    error = session->path.string() + ": the system volume cannot be written: " + system.LastError();
    return nullptr;
  }
  state->faults.Reset();
  state->disk = std::move(session);
  return state;
}

}  // namespace

std::unique_ptr<MachineImage::State> OpenOfflineDisk(const OfflineMachine& machine,
                                                     std::string& error) {
  std::string backup;
  if (machine.backup) {
    // Everything that refuses the disk refuses it before the way back is made; the disk is then
    // let go, since qemu-img needs the container to itself.
    DiskFormat format = DiskFormat::kUnknown;
    {
      auto probe = OpenDiskState(machine, false, error);
      if (!probe) return nullptr;
      format = probe->disk->format;
    }
    const auto made = BackUpDisk(machine.systemDrive, format, error);
    if (!made) {
      error = machine.systemDrive.string() + ": " + error;
      return nullptr;
    }
    backup = *made;
  }
  auto state = OpenDiskState(machine, true, error);
  if (state) state->disk->backup = backup;
  return state;
}

}  // namespace halshift::image::offline

namespace halshift::image {

std::string MachineImage::DiskBackup() const {
  return state_->disk ? state_->disk->backup : std::string();
}

std::string ImageSystem::KeptState() { return state_.disk ? state_.disk->backup : std::string(); }

bool MachineImage::VerifyDisk(std::string& error) {
  const std::shared_ptr<DiskSession> session = state_->disk;
  if (!session) return true;
  struct Expected {
    char letter;
    std::vector<std::string> path;
    std::optional<std::string> bytes;
  };
  std::vector<Expected> expected;
  bool flushed = true;
  for (const auto& [letter, part] : session->partOfDrive) {
    Volume& volume = *state_->volumes[static_cast<std::size_t>(letter - 'A')];
    for (const auto& path : session->changed[letter]) {
      expected.push_back({letter, path, volume.Read(path)});
    }
    flushed = volume.Flush() && flushed;
  }
  // Every handle on the disk goes, so that the next open is a fresh one.
  state_->otherRegistry.reset();
  for (const auto& [letter, part] : session->partOfDrive) {
    state_->volumes[static_cast<std::size_t>(letter - 'A')].reset();
  }
  session->device.reset();
  state_->disk.reset();
  if (!flushed) {
    error = session->path.string() + ": the disk could not be flushed";
    return false;
  }
  if (expected.empty()) return true;  // nothing was changed, so there is nothing to read back
  const auto fresh = MountDisk(session->path, false, DiskUsers::kAlreadyRefused, error);
  if (!fresh) {
    error = session->path.string() + ": cannot be opened again to read the changes back: " + error;
    return false;
  }
  for (const Expected& file : expected) {
    const Volume* volume = fresh->parts[session->partOfDrive.at(file.letter)].volume.get();
    if (volume == nullptr || volume->Read(file.path) != file.bytes) {
      error = session->path.string() + ": " + std::string(1, file.letter) + ":\\" +
              JoinComponents(file.path) + " does not read back as the session left it";
      return false;
    }
  }
  return true;
}

}  // namespace halshift::image
