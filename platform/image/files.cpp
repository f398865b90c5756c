// FileSystem of the machine image: Windows file operations on the folders of its drives, with
// Wine's way of keeping attributes and the in-use rules of a running system, and reads of the
// drives served from a volume image (volume.h).
//
// Choices where Windows leaves room:
// - GetFileAttributes reports FILE_ATTRIBUTE_NORMAL (0x80) for a file without read-only,
//   hidden or system; the archive bit is not kept.
// - A file open for writing (any OpenMode) holds an exclusive flock, so a second writer, in
//   this process or another, is refused as Windows refuses it with a sharing violation.
// - VerInstallFile always installs (as with VIFF_FORCEINSTALL), does not consult the current
//   directory, never leaves a temporary file and so never returns a temporary name. A read-only
//   destination gives VIF_WRITEPROT: callers reset the attributes first. The new file is
//   read-only when the source is (a media file without write permission stands for a file on
//   a CD, which NT copies read-only).
// - A read-only drive (a CD-ROM drive, as a folder or a volume image) is read as any other;
//   every operation that would change it fails, as the same call fails on a CD. Its files
//   report FILE_ATTRIBUTE_READONLY on a volume image, and what the folder shows on a folder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "base/text.h"
#include "platform/image/expand.h"
#include "platform/image/image_state.h"

namespace halshift::image {

namespace {

constexpr std::string_view kSessionManagerKey =
    "System\\CurrentControlSet\\Control\\Session Manager";
constexpr std::string_view kPendingOperationsValue = "PendingFileRenameOperations";
constexpr std::string_view kNtPathPrefix = "\\??\\";
constexpr std::string_view kReplacePrefix = "!";
constexpr std::size_t kTempPrefixLength = 3;
constexpr std::uint32_t kTempNumbers = 0xFFFF;  // unique numbers 1 to 0xFFFF

unsigned ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return 0644;
  return st.st_mode & 07777;
}

class ImageOutputFile : public platform::OutputFile {
 public:
  ImageOutputFile(int fd, FaultInjector& faults) : fd_(fd), faults_(faults) {}
  ~ImageOutputFile() override {
    if (fd_ >= 0) close(fd_);
  }
  ImageOutputFile(const ImageOutputFile&) = delete;
  ImageOutputFile& operator=(const ImageOutputFile&) = delete;

  bool Write(std::span<const char> data) override {
    if (fd_ < 0 || faults_.ShouldFail(Call::kWriteFile)) return false;
    faults_.Step();
    while (!data.empty()) {
      const ssize_t put = write(fd_, data.data(), data.size());
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        lost_ = true;
        return false;
      }
      data = data.subspan(static_cast<std::size_t>(put));
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    const bool injected = faults_.ShouldFail(Call::kCloseFile);
    // As FlushFileBuffers before CloseHandle: what was written survives a power cut.
    faults_.Step();
    const bool flushed = fsync(fd_) == 0;
    faults_.Step();
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    return !injected && flushed && closed && !lost_;
  }

 private:
  int fd_;
  FaultInjector& faults_;
  bool lost_ = false;
};

// fsync of a file or folder that a flush of its volume writes out; one that is gone since is
// no error (its removal is an entry of its folder, which is written out too).
bool FlushHostEntry(const std::filesystem::path& path, bool folder) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0));
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
  const bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

// The attributes GetFileAttributes reports for a volume's entry.
std::uint32_t AttributesOf(const Volume::Entry& entry) {
  const std::uint32_t attributes =
      entry.attributes | (entry.directory ? platform::kFileAttributeDirectory : 0u);
  return attributes == 0 ? platform::kFileAttributeNormal : attributes;
}

bool EntryMatches(std::string_view pattern, const Volume::Entry& entry) {
  return MatchesWildcard(pattern, entry.name) ||
         (!entry.shortName.empty() && MatchesWildcard(pattern, entry.shortName));
}

// The marks of files the running system holds follow them from the path from to the path to:
// moves them in marks and their lines in ini. Returns whether any moved.
bool MoveMarks(const WindowsPath& from, const WindowsPath& to, IniFile& ini,
               std::vector<InUseMark>& marks) {
  const std::string fromKey = from.Key();
  bool moved = false;
  for (auto& mark : marks) {
    const std::string key = mark.path.Key();
    const bool below = key.size() > fromKey.size() && key.compare(0, fromKey.size(), fromKey) == 0 &&
                       key[fromKey.size()] == '\\';
    if (key != fromKey && !below) continue;
    WindowsPath path = to;
    path.trailingSeparator = false;
    path.components.insert(path.components.end(),
                           mark.path.components.begin() +
                               static_cast<std::ptrdiff_t>(from.components.size()),
                           mark.path.components.end());
    mark.path = path;
    ini.ReplaceEntryLine(mark.line, path.Text(), mark.value);
    moved = true;
  }
  return moved;
}

// Links the file at target to a private name beside it (kept), which replaces a stale link
// of an ended process of the same number.
bool KeepTarget(const std::filesystem::path& target, FaultInjector& faults, std::string& kept) {
  kept = host::PrivateTemplate(target.parent_path(), "replaced");
  kept.resize(kept.size() - 6);  // the XXXXXX of mkstemp
  kept += std::to_string(getpid());
  if (host::KindOf(kept) != host::Kind::kMissing) unlink(kept.c_str());
  faults.Step();
  return link(target.c_str(), kept.c_str()) == 0;
}

}  // namespace

std::optional<ImageFiles::Resolved> ImageFiles::Resolve(std::string_view path,
                                                        bool allowWildcard) const {
  auto windows = ParseWindowsPath(path, state_.systemDrive);
  if (!windows) return std::nullopt;
  if (!allowWildcard) {
    for (const auto& component : windows->components) {
      if (HasWildcard(component)) return std::nullopt;
    }
  }
  auto hostPath = state_.drives.Map(*windows);
  if (!hostPath) return std::nullopt;
  return Resolved{std::move(*windows), std::move(*hostPath)};
}

std::optional<ImageFiles::Resolved> ImageFiles::ResolveForChange(std::string_view path) const {
  auto resolved = Resolve(path);
  if (!resolved || state_.IsReadOnlyDrive(resolved->windows.drive)) return std::nullopt;
  return resolved;
}

std::optional<ImageFiles::Found> ImageFiles::Look(const WindowsPath& path) const {
  if (const Volume* volume = state_.VolumeOf(path.drive)) {
    const auto entry = volume->Find(path.components);
    if (!entry) return std::nullopt;
    return Found{entry->directory, AttributesOf(*entry), entry->directory ? 0 : entry->size};
  }
  const auto hostPath = state_.drives.Map(path);
  if (!hostPath) return std::nullopt;
  struct stat st {};
  if (lstat(hostPath->c_str(), &st) != 0) return std::nullopt;
  std::uint32_t attributes = host::ParseDosAttributes(host::ReadDosAttributes(*hostPath));
  if ((st.st_mode & 0222) == 0) attributes |= platform::kFileAttributeReadOnly;
  if (S_ISDIR(st.st_mode)) attributes |= platform::kFileAttributeDirectory;
  return Found{S_ISDIR(st.st_mode),
               attributes == 0 ? platform::kFileAttributeNormal : attributes,
               S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0};
}

std::optional<std::string> ImageFiles::ReadBytes(std::string_view path) const {
  const auto windows = ParseWindowsPath(path, state_.systemDrive);
  if (!windows) return std::nullopt;
  if (const Volume* volume = state_.VolumeOf(windows->drive)) {
    for (const auto& component : windows->components) {
      if (HasWildcard(component)) return std::nullopt;
    }
    return volume->Read(windows->components);
  }
  const auto resolved = Resolve(path);
  if (!resolved) return std::nullopt;
  return host::ReadWhole(resolved->host);
}

bool ImageFiles::FindFirstFile(std::string_view path) {
  if (state_.faults.ShouldFail(Call::kFindFirstFile)) return false;
  auto windows = ParseWindowsPath(path, state_.systemDrive);
  // Windows finds nothing for a root or for a path that ends in a separator.
  if (!windows || windows->IsRoot() || windows->trailingSeparator) return false;
  const std::string pattern = windows->components.back();
  for (std::size_t i = 0; i + 1 < windows->components.size(); ++i) {
    if (HasWildcard(windows->components[i])) return false;
  }
  if (!HasWildcard(pattern)) return Look(*windows).has_value();
  windows->components.pop_back();
  if (const Volume* volume = state_.VolumeOf(windows->drive)) {
    const auto entries = volume->List(windows->components);
    return std::any_of(entries.begin(), entries.end(),
                       [&](const Volume::Entry& entry) { return EntryMatches(pattern, entry); });
  }
  const auto folder = state_.drives.Map(*windows);
  if (!folder || host::KindOf(*folder) != host::Kind::kDirectory) return false;
  return state_.drives.AnyEntryMatches(*folder, pattern);
}

unsigned ImageFiles::GetDriveType(std::string_view root) {
  if (state_.faults.ShouldFail(Call::kGetDriveType)) return platform::kDriveUnknown;
  const bool shaped = (root.size() == 2 || (root.size() == 3 && winpath::IsSeparator(root[2]))) &&
                      root[1] == ':' && std::isalpha(static_cast<unsigned char>(root[0]));
  if (!shaped) return platform::kDriveNoRootDir;
  const unsigned type = state_.driveTypes[text::ToUpper(root.substr(0, 1))[0] - 'A'];
  return type == 0 ? platform::kDriveNoRootDir : type;
}

std::uint32_t ImageFiles::GetFileAttributes(std::string_view path) {
  if (state_.faults.ShouldFail(Call::kGetFileAttributes)) return platform::kInvalidFileAttributes;
  if (const auto windows = ParseWindowsPath(path, state_.systemDrive);
      windows && state_.VolumeOf(windows->drive) != nullptr) {
    if (std::any_of(windows->components.begin(), windows->components.end(), HasWildcard)) {
      return platform::kInvalidFileAttributes;
    }
    const auto found = Look(*windows);
    return found ? found->attributes : platform::kInvalidFileAttributes;
  }
  const auto resolved = Resolve(path);
  if (!resolved) return platform::kInvalidFileAttributes;
  const host::Kind kind = host::KindOf(resolved->host);
  if (kind == host::Kind::kMissing) return platform::kInvalidFileAttributes;
  std::uint32_t attributes = host::ParseDosAttributes(host::ReadDosAttributes(resolved->host));
  if (host::IsReadOnly(resolved->host)) attributes |= platform::kFileAttributeReadOnly;
  if (kind == host::Kind::kDirectory) attributes |= platform::kFileAttributeDirectory;
  return attributes == 0 ? platform::kFileAttributeNormal : attributes;
}

bool ImageFiles::SetFileAttributes(std::string_view path, std::uint32_t attributes) {
  if (state_.faults.ShouldFail(Call::kSetFileAttributes)) return false;
  if (const auto onVolume = ChangeOnVolume(path)) return VolumeSetAttributes(*onVolume, attributes);
  const auto resolved = ResolveForChange(path);
  if (!resolved || resolved->windows.IsRoot()) return false;
  if (host::KindOf(resolved->host) == host::Kind::kMissing) return false;
  const std::uint32_t hiddenSystem =
      attributes & (platform::kFileAttributeHidden | platform::kFileAttributeSystem);
  const char drive = resolved->windows.drive;
  if (state_.changes.Journaling()) {
    state_.changes.AttributesChanged(drive, resolved->host, ModeOf(resolved->host),
                                     host::ReadDosAttributes(resolved->host));
  }
  state_.changes.FileChanged(drive, resolved->host);
  if (!host::WriteDosAttributes(resolved->host, hiddenSystem, state_.faults)) return false;
  const unsigned mode = ModeOf(resolved->host);
  const unsigned wanted = (attributes & platform::kFileAttributeReadOnly) != 0
                              ? (mode & ~0222u)
                              : ((mode & 0222u) == 0 ? (mode | 0200u) : mode);
  if (wanted == mode) return true;
  state_.faults.Step();
  return chmod(resolved->host.c_str(), static_cast<mode_t>(wanted)) == 0;
}

bool ImageFiles::CreateDirectory(std::string_view path) {
  if (state_.faults.ShouldFail(Call::kCreateDirectory)) return false;
  if (const auto onVolume = ChangeOnVolume(path)) return VolumeCreateDirectory(*onVolume);
  const auto resolved = ResolveForChange(path);
  if (!resolved || resolved->windows.IsRoot()) return false;
  if (host::KindOf(resolved->host) != host::Kind::kMissing) return false;
  if (host::KindOf(resolved->host.parent_path()) != host::Kind::kDirectory) return false;
  state_.faults.Step();
  if (mkdir(resolved->host.c_str(), 0755) != 0) return false;
  NoteCreated(resolved->windows.drive, resolved->host);
  state_.drives.EntryCreated(resolved->host);
  return true;
}

bool ImageFiles::CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) {
  if (state_.faults.ShouldFail(Call::kCopyFile)) return false;
  const auto source = ParseWindowsPath(existing, state_.systemDrive);
  if (const auto onVolume = ChangeOnVolume(newPath)) {
    const auto found = source ? Look(*source) : std::nullopt;
    const auto bytes = found && !found->directory ? ReadBytes(existing) : std::nullopt;
    return bytes && VolumeCopy(*onVolume, *bytes, found->attributes, failIfExists);
  }
  const auto to = ResolveForChange(newPath);
  if (!source || !to || to->windows.IsRoot()) return false;
  const auto bytes = ReadBytes(existing);
  if (!bytes) return false;
  // A copy from a CD is read-only, as its source is.
  const Volume* volume = state_.VolumeOf(source->drive);
  const auto from = volume == nullptr ? Resolve(existing) : std::nullopt;
  if (volume == nullptr && !from) return false;
  switch (host::KindOf(to->host)) {
    case host::Kind::kMissing:
      break;
    case host::Kind::kFile:
      if (failIfExists || (from && from->host == to->host) || host::IsReadOnly(to->host) ||
          state_.IsInUse(to->windows)) {
        return false;
      }
      break;
    default:
      return false;
  }
  if (host::KindOf(to->host.parent_path()) != host::Kind::kDirectory) return false;
  const auto found = volume != nullptr ? Look(*source) : std::nullopt;
  const bool readOnly = found && (found->attributes & platform::kFileAttributeReadOnly) != 0;
  if (ReplaceOnDrive(*to, *bytes, from ? ModeOf(from->host) : (readOnly ? 0444u : 0644u),
                     from ? host::ReadDosAttributes(from->host) : std::string()) !=
      host::WriteResult::kDone) {
    return false;
  }
  state_.drives.EntryCreated(to->host);
  return true;
}

bool ImageFiles::RenameCase(const Resolved& from, const Resolved& to) {
  const auto target = from.host.parent_path() / to.windows.components.back();
  state_.faults.Step();
  if (rename(from.host.c_str(), target.c_str()) != 0) return false;
  state_.changes.FolderChanged(from.windows.drive, from.host.parent_path());
  state_.changes.Renamed(from.windows.drive, from.host, target, {}, std::nullopt);
  state_.drives.EntryRenamed(from.host, target);
  return true;
}

void ImageFiles::UndoRename(const Resolved& from, const Resolved& to,
                            const std::string& keptTarget) {
  state_.faults.Step();
  rename(to.host.c_str(), from.host.c_str());
  if (!keptTarget.empty()) {
    state_.faults.Step();
    rename(keptTarget.c_str(), to.host.c_str());
  }
  state_.changes.DropNewest();
}

bool ImageFiles::Rename(const Resolved& from, const Resolved& to, bool replaceExisting) {
  if (from.windows.IsRoot() || to.windows.IsRoot()) return false;
  const host::Kind fromKind = host::KindOf(from.host);
  if (fromKind != host::Kind::kFile && fromKind != host::Kind::kDirectory) return false;
  // The same file under another case: Windows renames it to the case given.
  if (from.windows.Key() == to.windows.Key()) return RenameCase(from, to);
  const host::Kind toKind = host::KindOf(to.host);
  if (toKind != host::Kind::kMissing) {
    if (!replaceExisting || toKind != host::Kind::kFile || fromKind != host::Kind::kFile ||
        state_.IsInUse(to.windows) || host::IsReadOnly(to.host)) {
      return false;
    }
  }
  if (host::KindOf(to.host.parent_path()) != host::Kind::kDirectory) return false;

  IniFile changedIni = state_.ini;
  std::vector<InUseMark> changedMarks = state_.inUse;
  const bool marksMoved = MoveMarks(from.windows, to.windows, changedIni, changedMarks);
  // The move is one rename(2), which replaces a target in the same step: the target names the
  // old or the new file at every moment. When the marks must be stored after it, a replaced
  // target is kept as a second link until they are, so that a failure can put everything back.
  std::string keptTarget;
  if (toKind == host::Kind::kFile && marksMoved &&
      !KeepTarget(to.host, state_.faults, keptTarget)) {
    return false;
  }
  const auto dropKept = [&] {
    if (keptTarget.empty()) return;
    state_.faults.Step();
    unlink(keptTarget.c_str());
  };
  // What a power cut takes back: the rename, the replaced file and the marks.
  const std::filesystem::path replaced =
      toKind == host::Kind::kFile ? state_.changes.KeepLink(to.host) : std::filesystem::path();
  std::optional<std::string> iniBefore;
  if (marksMoved && state_.changes.Journaling()) iniBefore = state_.ini.Text();
  state_.faults.Step();
  if (rename(from.host.c_str(), to.host.c_str()) != 0) {
    VolumeChanges::DropLink(replaced);
    dropKept();
    return false;
  }
  state_.changes.Renamed(from.windows.drive, from.host, to.host, replaced, std::move(iniBefore));
  state_.changes.FolderChanged(from.windows.drive, from.host.parent_path());
  state_.changes.FolderChanged(to.windows.drive, to.host.parent_path());
  if (marksMoved &&
      host::ReplaceWhole(state_.MachineIniPath(), changedIni.Text(), ModeOf(state_.MachineIniPath()),
                         state_.faults, host::Durability::kLazy) != host::WriteResult::kDone) {
    UndoRename(from, to, keptTarget);
    return false;
  }
  if (marksMoved) {
    state_.ini = std::move(changedIni);
    state_.inUse = std::move(changedMarks);
  }
  dropKept();
  state_.drives.EntryRenamed(from.host, to.host);
  return true;
}

bool ImageFiles::MoveFile(std::string_view existing, std::string_view newPath) {
  if (state_.faults.ShouldFail(Call::kMoveFile)) return false;
  if (const auto onVolume = ChangeOnVolume(existing)) {
    const auto to = ChangeOnVolume(newPath);
    return to && VolumeRename(*onVolume, *to, false);
  }
  const auto from = ResolveForChange(existing);
  const auto to = ResolveForChange(newPath);
  return from && to && Rename(*from, *to, false);
}

bool ImageFiles::SchedulePending(std::string_view first, std::string_view second) {
  // A machine that is not running holds no file, so nothing waits for its next start.
  if (state_.otherRegistry) return false;
  std::string data;
  if (const RegistryValue* value =
          state_.registryFile.Find(kSessionManagerKey, kPendingOperationsValue)) {
    data = value->data;
  }
  // Drop the list's closing zero; keep every string with its own.
  if (data.size() >= 2 && data[data.size() - 1] == '\0' && data[data.size() - 2] == '\0') {
    data.pop_back();
  } else if (data == std::string(1, '\0')) {
    data.clear();
  } else if (!data.empty() && data.back() != '\0') {
    data += '\0';
  }
  data += first;
  data += '\0';
  data += second;
  data += '\0';
  data += '\0';
  // Windows writes the record into its registry lazily, as it writes every hive.
  return state_.WriteRegistryValue(kSessionManagerKey, kPendingOperationsValue,
                                   platform::kRegMultiSz, data, true, host::Durability::kLazy) ==
         platform::kErrorSuccess;
}

bool ImageFiles::MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                            std::uint32_t flags) {
  if (state_.faults.ShouldFail(Call::kMoveFileEx)) return false;
  const bool replace = (flags & platform::kMoveFileReplaceExisting) != 0;
  if ((flags & platform::kMoveFileDelayUntilReboot) != 0) {
    const auto from = ParseWindowsPath(existing, state_.systemDrive);
    if (!from || from->IsRoot()) return false;
    std::string second;
    if (newPath) {
      const auto to = ParseWindowsPath(*newPath, state_.systemDrive);
      if (!to || to->IsRoot()) return false;
      // The system marks a rename that may replace its target with a leading '!'.
      if (replace) second = kReplacePrefix;
      second += std::string(kNtPathPrefix) + to->Text();
    }
    return SchedulePending(std::string(kNtPathPrefix) + from->Text(), second);
  }
  if (!newPath) return false;
  if (const auto onVolume = ChangeOnVolume(existing)) {
    const auto to = ChangeOnVolume(*newPath);
    return to && VolumeRename(*onVolume, *to, replace);
  }
  const auto from = ResolveForChange(existing);
  const auto to = ResolveForChange(*newPath);
  return from && to && Rename(*from, *to, replace);
}

bool ImageFiles::DeleteFile(std::string_view path) {
  if (state_.faults.ShouldFail(Call::kDeleteFile)) return false;
  if (const auto onVolume = ChangeOnVolume(path)) return VolumeDelete(*onVolume);
  const auto resolved = ResolveForChange(path);
  if (!resolved || host::KindOf(resolved->host) != host::Kind::kFile) return false;
  if (state_.IsInUse(resolved->windows) || host::IsReadOnly(resolved->host)) return false;
  state_.faults.Step();
  const std::filesystem::path kept = state_.changes.KeepLink(resolved->host);
  if (unlink(resolved->host.c_str()) != 0) {
    VolumeChanges::DropLink(kept);
    return false;
  }
  state_.changes.Removed(resolved->windows.drive, resolved->host, kept);
  state_.changes.FolderChanged(resolved->windows.drive, resolved->host.parent_path());
  state_.drives.EntryRemoved(resolved->host);
  return true;
}

std::optional<std::string> ImageFiles::GetTempFileName(std::string_view directory,
                                                       std::string_view prefix) {
  if (state_.faults.ShouldFail(Call::kGetTempFileName)) return std::nullopt;
  const auto onVolume = ChangeOnVolume(directory);
  const auto folder = onVolume ? std::nullopt : ResolveForChange(directory);
  if (onVolume) {
    const auto entry = onVolume->volume->Find(onVolume->windows.components);
    if (!entry || !entry->directory) return std::nullopt;
  } else if (!folder || host::KindOf(folder->host) != host::Kind::kDirectory) {
    return std::nullopt;
  }
  const std::string_view shortPrefix = prefix.substr(0, std::min(prefix.size(), kTempPrefixLength));
  for (char c : shortPrefix) {
    if (winpath::IsSeparator(c) || c == ':' || c == '*' || c == '?' || static_cast<unsigned char>(c) < 0x20) {
      return std::nullopt;
    }
  }
  if (state_.nextTempNumber == 0) {
    state_.nextTempNumber = static_cast<std::uint32_t>(getpid() ^ time(nullptr)) % kTempNumbers;
  }
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  for (std::uint32_t attempt = 0; attempt < kTempNumbers; ++attempt) {
    const std::uint32_t unique = (state_.nextTempNumber + attempt) % kTempNumbers + 1;
    std::string name(shortPrefix);
    for (int shift = 12; shift >= 0; shift -= 4) name += kDigits[(unique >> shift) & 0xF];
    name += ".TMP";
    if (onVolume) {
      std::vector<std::string> path = onVolume->windows.components;
      path.push_back(name);
      if (onVolume->volume->Find(path)) continue;
      if (!onVolume->volume->Write(path, {})) return std::nullopt;
      state_.nextTempNumber = unique % kTempNumbers;
      return winpath::Join(directory, name);
    }
    if (state_.drives.FindEntry(folder->host, name)) continue;
    state_.faults.Step();
    const int fd = open((folder->host / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    close(fd);
    NoteCreated(folder->windows.drive, folder->host / name);
    state_.drives.EntryCreated(folder->host / name);
    state_.nextTempNumber = unique % kTempNumbers;
    return winpath::Join(directory, name);
  }
  return std::nullopt;
}

std::vector<platform::FileSystem::FoundFile> ImageFiles::FindFiles(std::string_view pattern) {
  std::vector<FoundFile> found;
  if (state_.faults.ShouldFail(Call::kFindFiles)) return found;
  auto windows = ParseWindowsPath(pattern, state_.systemDrive);
  if (!windows || windows->IsRoot() || windows->trailingSeparator) return found;
  const std::string last = windows->components.back();
  windows->components.pop_back();
  for (const auto& component : windows->components) {
    if (HasWildcard(component)) return found;
  }
  if (const Volume* volume = state_.VolumeOf(windows->drive)) {
    for (const Volume::Entry& entry : volume->List(windows->components)) {
      if (!EntryMatches(last, entry)) continue;
      found.push_back({entry.name, entry.directory ? 0 : entry.size, AttributesOf(entry)});
    }
    return found;
  }
  const auto folder = state_.drives.Map(*windows);
  if (!folder || host::KindOf(*folder) != host::Kind::kDirectory) return found;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(*folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!MatchesWildcard(last, name)) continue;
    struct stat st {};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::uint32_t attributes = host::ParseDosAttributes(host::ReadDosAttributes(it->path()));
    if ((st.st_mode & 0222) == 0) attributes |= platform::kFileAttributeReadOnly;
    if (S_ISDIR(st.st_mode)) attributes |= platform::kFileAttributeDirectory;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    found.push_back({name, S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0,
                     attributes == 0 ? platform::kFileAttributeNormal : attributes});
  }
  return found;
}

bool ImageFiles::FlushFiles(std::span<const std::string> paths) {
  if (state_.faults.ShouldFail(Call::kFlushFiles)) return false;
  std::vector<std::filesystem::path> hostPaths;
  std::vector<Volume*> volumes;
  for (const std::string& path : paths) {
    if (const auto onVolume = ChangeOnVolume(path)) {
      const auto entry = onVolume->volume->Find(onVolume->windows.components);
      if (!entry || entry->directory || (entry->attributes & volume::kReadOnly) != 0) return false;
      if (std::find(volumes.begin(), volumes.end(), onVolume->volume) == volumes.end()) {
        volumes.push_back(onVolume->volume);
      }
      continue;
    }
    const auto resolved = ResolveForChange(path);
    if (!resolved || host::KindOf(resolved->host) != host::Kind::kFile) return false;
    if (state_.IsInUse(resolved->windows) || host::IsReadOnly(resolved->host)) return false;
    hostPaths.push_back(resolved->host);
  }
  bool flushed = true;
  for (Volume* volume : volumes) flushed = volume->Flush() && flushed;
  for (const auto& hostPath : hostPaths) {
    const int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    state_.faults.Step();
    flushed = fsync(fd) == 0 && flushed;
    close(fd);
  }
  return flushed;
}

bool ImageFiles::FlushVolume(std::string_view drive) {
  if (state_.faults.ShouldFail(Call::kFlushVolume)) return false;
  const bool shaped = (drive.size() == 2 || (drive.size() == 3 && drive[2] == '\\')) &&
                      drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0]));
  if (!shaped) return false;
  const char letter = text::ToUpper(drive.substr(0, 1))[0];
  if (Volume* volume = state_.WritableVolumeOf(letter)) return volume->Flush();
  if (!state_.drives.FolderOf(letter)) return false;
  state_.faults.Step();
  // What changed on the drive since its last flush, and only that: the host file system may
  // hold much else that this volume has no part in.
  const VolumeChanges::Unflushed unflushed = state_.changes.TakeForFlush(letter);
  bool flushed = true;
  for (const auto& file : unflushed.files) flushed = FlushHostEntry(file, false) && flushed;
  for (const auto& folder : unflushed.folders) flushed = FlushHostEntry(folder, true) && flushed;
  return flushed;
}

host::WriteResult ImageFiles::ReplaceOnDrive(const Resolved& target, std::string_view bytes,
                                             unsigned mode, std::string_view dosAttributes) {
  const bool existed = host::KindOf(target.host) == host::Kind::kFile;
  const std::filesystem::path replaced =
      existed ? state_.changes.KeepLink(target.host) : std::filesystem::path();
  const host::WriteResult result = host::ReplaceWhole(target.host, bytes, mode, state_.faults,
                                                      host::Durability::kLazy, dosAttributes);
  if (result != host::WriteResult::kDone) {
    VolumeChanges::DropLink(replaced);
    return result;
  }
  const char drive = target.windows.drive;
  if (existed) {
    state_.changes.Renamed(drive, {}, target.host, replaced, std::nullopt);
  } else {
    state_.changes.Created(drive, target.host);
  }
  state_.changes.FolderChanged(drive, target.host.parent_path());
  state_.changes.FileChanged(drive, target.host);  // written without a flush of its own
  return result;
}

void ImageFiles::NoteCreated(char drive, const std::filesystem::path& entry) {
  state_.changes.Created(drive, entry);
  state_.changes.FolderChanged(drive, entry.parent_path());
}

std::optional<std::string> ImageFiles::ReadFile(std::string_view path) {
  if (state_.faults.ShouldFail(Call::kReadFile)) return std::nullopt;
  return ReadBytes(path);
}

std::unique_ptr<platform::OutputFile> ImageFiles::OpenFile(std::string_view path,
                                                           platform::OpenMode mode) {
  if (state_.faults.ShouldFail(Call::kOpenFile)) return nullptr;
  if (const auto onVolume = ChangeOnVolume(path)) return VolumeOpen(*onVolume, mode);
  const auto resolved = ResolveForChange(path);
  if (!resolved || resolved->windows.IsRoot()) return nullptr;
  const host::Kind kind = host::KindOf(resolved->host);
  switch (kind) {
    case host::Kind::kMissing:
      break;
    case host::Kind::kFile:
      if (host::IsReadOnly(resolved->host) ||
          state_.IsInUse(resolved->windows)) {
        return nullptr;
      }
      break;
    default:
      return nullptr;
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  if (mode == platform::OpenMode::kAppendExclusive) flags |= O_APPEND;
  state_.faults.Step();
  const int fd = open(resolved->host.c_str(), flags, 0644);
  if (fd < 0) return nullptr;
  // Truncate only once the lock is held, so that a refused opener changes nothing.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  if (mode == platform::OpenMode::kCreateTruncate) {
    state_.faults.Step();
    if (ftruncate(fd, 0) != 0) {
      close(fd);
      return nullptr;
    }
  }
  if (kind == host::Kind::kMissing) {
    NoteCreated(resolved->windows.drive, resolved->host);
    state_.drives.EntryCreated(resolved->host);
  }
  return std::make_unique<ImageOutputFile>(fd, state_.faults);
}

std::uint32_t ImageFiles::GetPrivateProfileSection(std::string_view section,
                                                   std::span<char> buffer,
                                                   std::string_view file) {
  const auto terminate = [&buffer] {
    for (std::size_t i = 0; i < std::min<std::size_t>(2, buffer.size()); ++i) buffer[i] = '\0';
    return 0u;
  };
  if (state_.faults.ShouldFail(Call::kGetPrivateProfileSection)) return terminate();
  const auto contents = ReadBytes(file);
  if (!contents) return terminate();
  std::string packed;
  for (const std::string& line : LenientSectionLines(*contents, section)) {
    packed += line;
    packed += '\0';
  }
  if (packed.empty()) return terminate();
  if (packed.size() + 1 <= buffer.size()) {
    std::copy(packed.begin(), packed.end(), buffer.begin());
    buffer[packed.size()] = '\0';
    return static_cast<std::uint32_t>(packed.size());
  }
  // Cut to fit: as much as leaves room for the two closing zeros.
  if (buffer.size() < 2) return terminate();
  const std::size_t kept = buffer.size() - 2;
  std::copy_n(packed.begin(), kept, buffer.begin());
  buffer[kept] = '\0';
  buffer[kept + 1] = '\0';
  return static_cast<std::uint32_t>(kept);
}

std::uint32_t ImageFiles::VerInstallFile(std::uint32_t /*flags*/, std::string_view sourceName,
                                         std::string_view destinationName,
                                         std::string_view sourceDirectory,
                                         std::string_view destinationDirectory,
                                         std::string_view /*currentDirectory*/,
                                         std::string& tempName) {
  tempName.clear();
  if (state_.faults.ShouldFail(Call::kVerInstallFile)) return platform::kVifCannotCreate;
  const std::string sourcePath = winpath::Join(sourceDirectory, sourceName);
  const auto contents = ReadBytes(sourcePath);
  if (!contents) return platform::kVifCannotReadSrc;
  ExpandResult expanded = ExpandMediaFile(*contents);
  if (expanded.status == ExpandStatus::kDamaged) return platform::kVifCannotReadSrc;

  // A copy from a CD is read-only, as its source is.
  const auto sourceWindows = ParseWindowsPath(sourcePath, state_.systemDrive);
  const auto source = sourceWindows ? Look(*sourceWindows) : std::nullopt;
  const bool readOnlySource =
      source && (source->attributes & platform::kFileAttributeReadOnly) != 0;
  const std::string destinationPath = winpath::Join(destinationDirectory, destinationName);
  if (const auto onVolume = ChangeOnVolume(destinationPath)) {
    return VolumeInstall(*onVolume, expanded.bytes, readOnlySource);
  }
  const auto destination = ResolveForChange(destinationPath);
  if (!destination || destination->windows.IsRoot()) return platform::kVifCannotCreate;
  if (state_.IsInUse(destination->windows)) return platform::kVifFileInUse;
  switch (host::KindOf(destination->host)) {
    case host::Kind::kMissing:
      break;
    case host::Kind::kFile:
      if (host::IsReadOnly(destination->host)) return platform::kVifWriteProt;
      break;
    default:
      return platform::kVifCannotRename;
  }
  if (host::KindOf(destination->host.parent_path()) != host::Kind::kDirectory) {
    return platform::kVifCannotCreate;
  }
  switch (ReplaceOnDrive(*destination, expanded.bytes, readOnlySource ? 0444 : 0644)) {
    case host::WriteResult::kDone:
      state_.drives.EntryCreated(destination->host);
      return 0;
    case host::WriteResult::kCannotCreate:
      return platform::kVifCannotCreate;
    case host::WriteResult::kCannotRename:
      return platform::kVifCannotRename;
  }
  return platform::kVifCannotCreate;
}

}  // namespace halshift::image
