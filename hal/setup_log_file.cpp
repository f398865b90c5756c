// Keeping setup.log in step on disk: the backup, the rewrite through a temporary file, and the
// removal of what a cut-off rewrite leaves.
#include "hal/setup_log_file.h"

#include <span>
#include <vector>

#include "base/winpath.h"
#include "hal/pe_file.h"
#include "hal/setup_log.h"

namespace halshift::hal {
namespace {

constexpr std::string_view kRepairFolder = "repair";
constexpr std::string_view kSetupLogName = "setup.log";
// The attributes that SetFileAttributes can give back to a file.
constexpr std::uint32_t kRestorableAttributes =
    platform::kFileAttributeReadOnly | platform::kFileAttributeHidden |
    platform::kFileAttributeSystem | platform::kFileAttributeArchive;

std::uint32_t Restorable(std::uint32_t attributes) {
  if (attributes == platform::kInvalidFileAttributes) return platform::kFileAttributeNormal;
  const std::uint32_t restorable = attributes & kRestorableAttributes;
  return restorable != 0 ? restorable : platform::kFileAttributeNormal;
}

void RemoveTemporary(platform::FileSystem& files, std::string_view path) {
  files.SetFileAttributes(path, platform::kFileAttributeNormal);
  files.DeleteFile(path);
}

// The lines to write: each file of the record with the checksum of its new bytes. Nothing when
// a destination does not hold the file the record describes.
std::optional<std::vector<SetupLogChange>> ChangesOf(platform::FileSystem& files,
                                                     const IntentRecord& record) {
  std::vector<SetupLogChange> changes;
  for (const IntentFile& file : record.files) {
    const std::optional<std::string> bytes = files.ReadFile(file.destinationPath);
    if (!bytes || bytes->size() != file.size || ContentHash(*bytes) != file.hash) {
      return std::nullopt;
    }
    const std::span<const std::uint8_t> image(
        reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    changes.push_back({SystemFilePath(record.systemRoot, winpath::FileNameOf(file.destinationPath)),
                       file.mediaName, pe::ComputeFileCheckSum(image)});
  }
  return changes;
}

// Copies setup.log as it is on disk to the backup beside it, whole or not at all: through a
// temporary file, flushed before it replaces an earlier backup. The backup gets the
// attributes of setup.log.
bool Backup(platform::FileSystem& files, const std::string& setupLog, const std::string& folder,
            std::uint32_t attributes) {
  const std::string backup = winpath::Append(folder, kSetupLogBackupName);
  const auto temp = files.GetTempFileName(folder, kSetupLogTempPrefix);
  if (!temp) return false;
  bool copied = files.CopyFile(setupLog, *temp, false);
  if (copied) {
    // The copy carries setup.log's attributes, read-only among them, which a flush cannot open.
    files.SetFileAttributes(*temp, platform::kFileAttributeNormal);
    copied = files.FlushFile(*temp);
  }
  if (copied) {
    files.SetFileAttributes(backup, platform::kFileAttributeNormal);
    copied = files.MoveFileEx(*temp, backup, platform::kMoveFileReplaceExisting);
  }
  if (!copied) {
    RemoveTemporary(files, *temp);
    return false;
  }
  files.SetFileAttributes(backup, Restorable(attributes));
  return true;
}

// Writes text to a temporary file beside setup.log, flushed, and moves it over setup.log in
// one step; setup.log gets its attributes back whatever happened.
bool Replace(platform::FileSystem& files, const std::string& setupLog, const std::string& folder,
             std::uint32_t attributes, std::string_view text) {
  const auto temp = files.GetTempFileName(folder, kSetupLogTempPrefix);
  if (!temp) return false;
  bool written = false;
  if (auto out = files.OpenFile(*temp, platform::OpenMode::kCreateTruncate)) {
    const bool wrote = out->Write(text);
    const bool closed = out->Close();
    written = wrote && closed;
  }
  bool replaced = false;
  if (written) {
    files.SetFileAttributes(setupLog, platform::kFileAttributeNormal);
    replaced = files.MoveFileEx(*temp, setupLog, platform::kMoveFileReplaceExisting);
    files.SetFileAttributes(setupLog, Restorable(attributes));
  }
  if (!replaced) RemoveTemporary(files, *temp);
  return replaced;
}

}  // namespace

std::string SetupLogPath(std::string_view systemRoot) {
  return winpath::Append(winpath::Append(systemRoot, kRepairFolder), kSetupLogName);
}

SetupLogUpdate UpdateSetupLog(platform::FileSystem& files, const IntentRecord& record) {
  const std::string& setupLog = record.setupLogPath;
  if (setupLog.empty() || !files.FindFirstFile(setupLog)) return SetupLogUpdate::kUnchanged;
  const std::optional<std::string> text = files.ReadFile(setupLog);
  if (!text) return SetupLogUpdate::kFailed;
  const auto changes = ChangesOf(files, record);
  if (!changes) return SetupLogUpdate::kFailed;
  const SetupLogRewrite rewrite = RewriteSetupLog(*text, *changes);
  if (rewrite.tooLarge || rewrite.changed.empty()) return SetupLogUpdate::kUnchanged;

  const std::string folder = winpath::DirectoryOf(setupLog);
  const std::uint32_t attributes = files.GetFileAttributes(setupLog);
  if (!Backup(files, setupLog, folder, attributes)) return SetupLogUpdate::kFailed;
  if (!Replace(files, setupLog, folder, attributes, rewrite.text)) return SetupLogUpdate::kFailed;
  return SetupLogUpdate::kUpdated;
}

void RemoveSetupLogLeftovers(platform::FileSystem& files, std::string_view systemRoot) {
  if (systemRoot.empty()) return;
  const std::string folder = winpath::Append(systemRoot, kRepairFolder);
  const std::string pattern = std::string(kSetupLogTempPrefix) + "*.TMP";
  for (const auto& found : files.FindFiles(winpath::Append(folder, pattern))) {
    if ((found.attributes & platform::kFileAttributeDirectory) != 0) continue;
    RemoveTemporary(files, winpath::Append(folder, found.name));
  }
}

}  // namespace halshift::hal
