// The machine image: opening an image directory, its shared state and the fault injector.
#include "platform/image/machine_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>

#include "base/text.h"
#include "platform/image/image_state.h"

namespace halshift::image {

void FaultInjector::FailCall(Call call, int nth, bool fromThenOn) {
  rules_[static_cast<std::size_t>(call)] = Rule{nth, fromThenOn};
}

bool FaultInjector::ShouldFail(Call call) {
  const std::size_t index = static_cast<std::size_t>(call);
  const int count = ++calls_[index];
  const std::optional<Rule>& rule = rules_[index];
  if (!rule) return false;
  const bool fail = count == rule->nth || (rule->fromThenOn && count > rule->nth);
  if (fail) ++failuresInjected_;
  return fail;
}

int FaultInjector::CallCount(Call call) const { return calls_[static_cast<std::size_t>(call)]; }

void FaultInjector::Step() {
  if (++steps_ != stopAtStep_) return;
  if (powerCut_ && takeBack_) takeBack_(seed_, anyOrder_);
  _exit(kStoppedExitCode);
}

bool FaultInjector::StepFails() {
  Step();
  if (steps_ != failAtStep_) return false;
  ++failuresInjected_;
  return true;
}

void FaultInjector::Reset() {
  calls_.fill(0);
  rules_.fill(std::nullopt);
  failuresInjected_ = 0;
  steps_ = 0;
  stopAtStep_ = 0;
  powerCut_ = false;
  seed_.reset();
  anyOrder_ = false;
  failAtStep_ = 0;
}

bool MachineImage::State::IsInUse(const WindowsPath& path) const {
  const std::string key = path.Key();
  for (const auto& mark : inUse) {
    if (mark.path.Key() == key) return true;
  }
  return false;
}

long MachineImage::State::WriteRegistryValue(std::string_view keyPath, std::string_view valueName,
                                             std::uint32_t type, std::string_view data,
                                             bool createKey, host::Durability durability) {
  if (faults.ShouldFail(Call::kRegSetValue)) return platform::kErrorAccessDenied;
  if (!createKey && !registryFile.KeyExists(keyPath)) return platform::kErrorFileNotFound;
  RegistryFile changed = registryFile;
  changed.Set(keyPath, valueName, type, data);
  struct stat st {};
  const unsigned mode = stat(RegistryPath().c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (host::ReplaceWhole(RegistryPath(), changed.Text(), mode, faults, durability) !=
      host::WriteResult::kDone) {
    return kErrorRegistryIoFailed;
  }
  registryFile = std::move(changed);
  return platform::kErrorSuccess;
}

namespace {

std::optional<unsigned> ParseDecimal(std::string_view digits, unsigned maximum) {
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || number > maximum) {
    return std::nullopt;
  }
  return number;
}

std::optional<bool> ParseYesNo(std::string_view value) {
  if (text::EqualsIgnoreCase(value, "yes")) return true;
  if (text::EqualsIgnoreCase(value, "no")) return false;
  return std::nullopt;
}

std::optional<unsigned> ParseDriveType(std::string_view value) {
  static constexpr std::pair<std::string_view, unsigned> kTypes[] = {
      {"removable", platform::kDriveRemovable}, {"fixed", platform::kDriveFixed},
      {"remote", platform::kDriveRemote},       {"cdrom", platform::kDriveCdrom},
      {"ramdisk", platform::kDriveRamdisk},
  };
  for (const auto& [name, type] : kTypes) {
    if (text::EqualsIgnoreCase(value, name)) return type;
  }
  return std::nullopt;
}

// Reads the [System] section into the state; false with a message naming the line.
bool ReadSystemSection(const IniSection& section, MachineImage::State& state, std::string& error) {
  for (const auto& entry : section.entries) {
    const auto fail = [&](std::string_view problem) {
      error = "machine.ini:" + std::to_string(entry.line) + ": " + std::string(problem);
      return false;
    };
    const std::string_view value = entry.value;
    if (text::EqualsIgnoreCase(entry.key, "Version")) {
      const std::size_t dot = value.find('.');
      const auto major = ParseDecimal(value.substr(0, dot), 255);
      const auto minor =
          dot == std::string_view::npos ? std::nullopt : ParseDecimal(value.substr(dot + 1), 255);
      if (!major || !minor) return fail("Version must be major.minor, each 0 to 255");
      state.versionMajor = *major;
      state.versionMinor = *minor;
    } else if (text::EqualsIgnoreCase(entry.key, "Build")) {
      const auto build = ParseDecimal(value, 0x7FFF);
      if (!build) return fail("Build must be a number from 0 to 32767");
      state.build = *build;
    } else if (text::EqualsIgnoreCase(entry.key, "Platform")) {
      if (text::EqualsIgnoreCase(value, "NT")) {
        state.windowsPlatform = false;
      } else if (text::EqualsIgnoreCase(value, "Windows")) {
        state.windowsPlatform = true;
      } else {
        return fail("Platform must be NT or Windows");
      }
    } else if (text::EqualsIgnoreCase(entry.key, "Administrator")) {
      const auto yes = ParseYesNo(value);
      if (!yes) return fail("Administrator must be yes or no");
      state.administrator = *yes;
    } else if (text::EqualsIgnoreCase(entry.key, "SystemDirectory")) {
      const auto path = ParseWindowsPath(value, 'C');
      if (!path || value.size() < 2 || value[1] != ':') {
        return fail("SystemDirectory must be a full path such as C:\\WINNT\\System32");
      }
      state.systemDirectory = std::string(value);
      state.systemDrive = path->drive;
    } else if (text::EqualsIgnoreCase(entry.key, "PageSize")) {
      const auto size = ParseDecimal(value, 0x7FFFFFFF);
      if (!size) return fail("PageSize must be a number");
      state.pageSize = *size;
    }
  }
  return true;
}

bool ReadMachineIni(MachineImage::State& state, std::string& error) {
  const auto text = host::ReadWhole(state.MachineIniPath());
  if (!text) {
    error = "machine.ini: missing or unreadable in " + state.directory.string();
    return false;
  }
  std::string problem;
  auto ini = IniFile::Parse(*text, problem);
  if (!ini) {
    error = "machine.ini:" + problem;
    return false;
  }
  state.ini = std::move(*ini);
  const auto fail = [&error](const IniEntry& entry, std::string_view what) {
    error = "machine.ini:" + std::to_string(entry.line) + ": " + std::string(what);
    return false;
  };
  // [System] first: the system drive is where paths without a drive lie.
  for (const auto& section : state.ini.Sections()) {
    if (text::EqualsIgnoreCase(section.name, "System") &&
        !ReadSystemSection(section, state, error)) {
      return false;
    }
  }
  for (const auto& section : state.ini.Sections()) {
    if (text::EqualsIgnoreCase(section.name, "Drives")) {
      for (const auto& entry : section.entries) {
        const std::string_view letter = entry.key;
        if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) {
          return fail(entry, "a drive must be a single letter");
        }
        const auto type = ParseDriveType(entry.value);
        if (!type) return fail(entry, "a drive type must be removable, fixed, remote, cdrom or ramdisk");
        state.driveTypes[text::ToUpper(letter)[0] - 'A'] = *type;
      }
    } else if (text::EqualsIgnoreCase(section.name, "ArcNames")) {
      for (const auto& entry : section.entries) state.arcNames.emplace_back(entry.key, entry.value);
    } else if (text::EqualsIgnoreCase(section.name, "DosDevices")) {
      for (const auto& entry : section.entries) {
        state.dosDevices.emplace_back(entry.key, entry.value);
      }
    } else if (text::EqualsIgnoreCase(section.name, "InUse")) {
      for (const auto& entry : section.entries) {
        auto path = ParseWindowsPath(entry.key, state.systemDrive);
        if (!path || path->IsRoot()) return fail(entry, "an in-use file must be a file path");
        state.inUse.push_back({entry.line, std::move(*path), entry.value});
      }
    }
  }
  return true;
}

bool ReadRegistry(MachineImage::State& state, std::string& error) {
  if (host::KindOf(state.RegistryPath()) == host::Kind::kMissing) return true;
  const auto text = host::ReadWhole(state.RegistryPath());
  if (!text) {
    error = "registry.reg: unreadable";
    return false;
  }
  std::string problem;
  auto registry = RegistryFile::Parse(*text, problem);
  if (!registry) {
    error = "registry.reg:" + problem;
    return false;
  }
  state.registryFile = std::move(*registry);
  return true;
}

bool ReadMemoryRegions(MachineImage::State& state, std::string& error) {
  const auto folder = state.directory / "memory";
  if (host::KindOf(folder) != host::Kind::kDirectory) return true;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 4 || !text::EqualsIgnoreCase(std::string_view(name).substr(name.size() - 4), ".bin")) {
      continue;
    }
    const std::string_view digits = std::string_view(name).substr(0, name.size() - 4);
    std::uint32_t start = 0;
    const auto [last, parsed] =
        std::from_chars(digits.data(), digits.data() + digits.size(), start, 16);
    if (digits.size() != 8 || parsed != std::errc() || last != digits.data() + digits.size()) {
      error = "memory/" + name + ": a region file must be named by 8 hex digits";
      return false;
    }
    struct stat st {};
    if (stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "memory/" + name + ": not a readable file";
      return false;
    }
    state.regions.push_back(
        {start, static_cast<std::uint64_t>(st.st_size), it->path(), {}});
  }
  if (ec) {
    error = "memory/: cannot be listed";
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<MachineImage> MachineImage::Open(const std::filesystem::path& directory,
                                                 std::string& error) {
  if (host::KindOf(directory) != host::Kind::kDirectory) {
    struct stat st {};
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      error = directory.string() + ": not a machine image directory";
      return nullptr;
    }
  }
  auto state = std::make_unique<State>(directory);
  if (!ReadMachineIni(*state, error) || !ReadRegistry(*state, error) ||
      !ReadMemoryRegions(*state, error)) {
    return nullptr;
  }
  // As a file system replays its log when it is mounted: what a process ended in the middle
  // of an operation left of the image's own temporary files goes.
  host::SweepPrivateFiles(directory);
  return std::unique_ptr<MachineImage>(new MachineImage(std::move(state)));
}

MachineImage::MachineImage(std::unique_ptr<State> state) : state_(std::move(state)) {}
MachineImage::~MachineImage() = default;

platform::SystemInfo& MachineImage::System() { return state_->system; }
platform::Registry& MachineImage::Registry() {
  if (state_->otherRegistry) return *state_->otherRegistry;
  return state_->registry;
}
platform::FileSystem& MachineImage::Files() { return state_->files; }
platform::PhysicalMemory& MachineImage::Memory() { return state_->memory; }
platform::NativeLinks& MachineImage::Links() { return state_->links; }
FaultInjector& MachineImage::Faults() { return state_->faults; }

std::optional<std::filesystem::path> MachineImage::HostPath(std::string_view windowsPath) {
  const auto path = ParseWindowsPath(windowsPath, state_->systemDrive);
  if (!path) return std::nullopt;
  return state_->drives.Map(*path);
}

}  // namespace halshift::image
