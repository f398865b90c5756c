// The system file installer: VerInstallFile with retries, in-use replacement, and the kept
// copies that let a failed change be put back.
#include "hal/installer.h"

#include "base/winpath.h"

namespace halshift::hal {
namespace {

// VerInstallFile bits that say the existing destination cannot be replaced where it is.
constexpr std::uint32_t kInUseMask =
    platform::kVifFileInUse | platform::kVifAccessViolation | platform::kVifSharingViolation;
constexpr int kInstallAttempts = 3;
constexpr std::string_view kPlaceholderPrefix = "del";
// Kept copies get a prefix of their own, so that they are never taken for placeholders.
constexpr std::string_view kKeptCopyPrefix = "old";
// The attributes that SetFileAttributes can give back to a file.
constexpr std::uint32_t kRestorableAttributes =
    platform::kFileAttributeReadOnly | platform::kFileAttributeHidden |
    platform::kFileAttributeSystem | platform::kFileAttributeArchive;

}  // namespace

bool FileExists(platform::FileSystem& files, std::string_view path) {
  return files.FindFirstFile(path);
}

bool SourceFileExists(platform::FileSystem& files, std::string_view path) {
  if (FileExists(files, path)) return true;
  if (path.empty()) return false;
  std::string compressed(path);
  compressed.back() = '_';
  return FileExists(files, compressed);
}

SystemFileInstaller::SystemFileInstaller(platform::FileSystem& files, std::string sourceDirectory,
                                         std::string systemDirectory)
    : files_(files),
      sourceDirectory_(std::move(sourceDirectory)),
      systemDirectory_(std::move(systemDirectory)) {}

SystemFileInstaller::SystemFileInstaller(const HalInstallation& installation)
    : SystemFileInstaller(installation.Machine().files, installation.sourceDirectory,
                          installation.systemDirectory) {}

SystemFileInstaller::~SystemFileInstaller() { Rollback(); }

bool SystemFileInstaller::KeepOldFile(Replacement& replacement) {
  const std::uint32_t attributes = files_.GetFileAttributes(replacement.destinationPath);
  // Two independent questions: a single failed query must not make an existing file look
  // absent, or a rollback would delete the new file and leave nothing.
  replacement.existed = attributes != platform::kInvalidFileAttributes ||
                        FileExists(files_, replacement.destinationPath);
  if (!replacement.existed) return true;
  if (attributes != platform::kInvalidFileAttributes) replacement.originalAttributes = attributes;

  const std::optional<std::string> copyPath = files_.GetTempFileName(systemDirectory_, kKeptCopyPrefix);
  if (!copyPath) return false;
  if (!files_.CopyFile(replacement.destinationPath, *copyPath, false)) {
    files_.DeleteFile(*copyPath);
    return false;
  }
  replacement.keptCopyPath = *copyPath;
  return true;
}

void SystemFileInstaller::MoveAside(Replacement& replacement) {
  const std::optional<std::string> placeholder =
      files_.GetTempFileName(systemDirectory_, kPlaceholderPrefix);
  if (!placeholder) return;  // the next attempt finds the file still in use
  if (FileExists(files_, *placeholder)) files_.DeleteFile(*placeholder);
  if (!files_.MoveFile(replacement.destinationPath, *placeholder)) {
    files_.DeleteFile(*placeholder);
    return;
  }
  if (!files_.MoveFileEx(*placeholder, std::nullopt, platform::kMoveFileDelayUntilReboot)) {
    // Unscheduled, the old image would stay in the system directory for good: put it back,
    // and let the next attempt try again.
    files_.MoveFile(*placeholder, replacement.destinationPath);
    return;
  }
  replacement.movedAsidePath = *placeholder;
}

void SystemFileInstaller::DiscardTemporaryCopy(std::uint32_t result, const std::string& tempName) {
  // A failed VerInstallFile may leave its temporary copy of the source in the destination
  // directory; the caller is to remove it.
  if ((result & platform::kVifTempFile) == 0 || tempName.empty()) return;
  const bool hasDirectory = tempName.find_first_of("\\:") != std::string::npos;
  const std::string path = hasDirectory ? tempName : winpath::Append(systemDirectory_, tempName);
  files_.SetFileAttributes(path, platform::kFileAttributeNormal);
  files_.DeleteFile(path);
}

void SystemFileInstaller::DropKeptCopy(const Replacement& replacement) {
  if (replacement.keptCopyPath.empty()) return;
  files_.SetFileAttributes(replacement.keptCopyPath, platform::kFileAttributeNormal);
  if (!files_.DeleteFile(replacement.keptCopyPath)) {
    files_.MoveFileEx(replacement.keptCopyPath, std::nullopt, platform::kMoveFileDelayUntilReboot);
  }
}

bool SystemFileInstaller::PutKeptCopyBack(const Replacement& replacement) {
  const std::string& destination = replacement.destinationPath;
  if (replacement.keptCopyPath.empty()) return false;
  if (files_.MoveFileEx(replacement.keptCopyPath, destination, platform::kMoveFileReplaceExisting)) {
    return true;
  }
  if (!files_.CopyFile(replacement.keptCopyPath, destination, false)) return false;
  DropKeptCopy(replacement);
  return true;
}

void SystemFileInstaller::Restore(const Replacement& replacement) {
  const std::string& destination = replacement.destinationPath;
  files_.SetFileAttributes(destination, platform::kFileAttributeNormal);
  if (!replacement.movedAsidePath.empty()) {
    // The old file is still the one the running system uses: give it its name back.
    files_.DeleteFile(destination);
    if (files_.MoveFile(replacement.movedAsidePath, destination)) {
      DropKeptCopy(replacement);
    } else {
      PutKeptCopyBack(replacement);
    }
  } else if (replacement.installed && replacement.existed) {
    // When neither works the kept copy stays: it is then the only copy of the old file.
    PutKeptCopyBack(replacement);
  } else if (replacement.installed) {
    files_.DeleteFile(destination);
  } else {
    // VerInstallFile replaces a file whole or not at all: nothing was replaced.
    DropKeptCopy(replacement);
  }
  if (replacement.existed) {
    const std::uint32_t attributes = replacement.originalAttributes & kRestorableAttributes;
    files_.SetFileAttributes(destination, attributes != 0 ? attributes : platform::kFileAttributeNormal);
  }
}

bool SystemFileInstaller::InstallFile(std::string_view sourceName, std::string_view destinationName) {
  Replacement replacement;
  replacement.destinationPath = winpath::Append(systemDirectory_, destinationName);
  if (!KeepOldFile(replacement)) return false;

  // The file may not exist yet; a read-only, hidden or system file must become replaceable.
  files_.SetFileAttributes(replacement.destinationPath, platform::kFileAttributeNormal);

  std::string currentSourceName(sourceName);
  for (int attempt = 0; attempt < kInstallAttempts; ++attempt) {
    std::string tempName;
    const std::uint32_t result =
        files_.VerInstallFile(platform::kViffForceInstall, currentSourceName, destinationName,
                              sourceDirectory_, systemDirectory_, systemDirectory_, tempName);
    if (result == 0) {
      replacement.installed = true;
      replacements_.push_back(std::move(replacement));
      return true;
    }
    DiscardTemporaryCopy(result, tempName);
    if ((result & kInUseMask) != 0) {
      if (replacement.movedAsidePath.empty()) MoveAside(replacement);
    } else if (!currentSourceName.empty()) {
      currentSourceName.back() = '_';  // the compressed name on the media
    }
  }
  Restore(replacement);
  return false;
}

bool SystemFileInstaller::InstallFiles(FileNames sourceNames, FileNames destinationNames) {
  if (sourceNames.empty() || destinationNames.size() < sourceNames.size()) return false;
  const std::size_t firstOfThisCall = replacements_.size();
  for (std::size_t i = 0; i < sourceNames.size(); ++i) {
    const bool installed = SourceFileExists(files_, winpath::Append(sourceDirectory_, sourceNames[i])) &&
                           InstallFile(sourceNames[i], destinationNames[i]);
    if (!installed) {
      while (replacements_.size() > firstOfThisCall) {
        Restore(replacements_.back());
        replacements_.pop_back();
      }
      return false;
    }
  }
  return true;
}

void SystemFileInstaller::Commit() {
  for (const Replacement& replacement : replacements_) DropKeptCopy(replacement);
  replacements_.clear();
}

void SystemFileInstaller::Rollback() {
  while (!replacements_.empty()) {
    Restore(replacements_.back());
    replacements_.pop_back();
  }
}

bool InstallFiles(const HalInstallation& installation, FileNames sourceNames,
                  FileNames destinationNames) {
  SystemFileInstaller installer(installation);
  if (!installer.InstallFiles(sourceNames, destinationNames)) return false;
  installer.Commit();
  return true;
}

}  // namespace halshift::hal
