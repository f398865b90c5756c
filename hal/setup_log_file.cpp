// Keeping setup.log in step on disk: the backup, the rewrite through a temporary file, and the
// removal of what a cut-off rewrite leaves.
#include "hal/setup_log_file.h"

#include <span>
#include <vector>

#include "base/winpath.h"
#include "inspect/pe_file.h"
#include "hal/setup_log.h"
#include "core/whole_file.h"

namespace halshift::hal {
namespace {

constexpr std::string_view kRepairFolder = "repair";
constexpr std::string_view kSetupLogName = "setup.log";
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

  // The backup and the new file keep the attributes setup.log has, whatever happens.
  const std::string folder = winpath::DirectoryOf(setupLog);
  const std::uint32_t attributes = RestorableAttributes(files.GetFileAttributes(setupLog));
  const std::string backup = winpath::Append(folder, kSetupLogBackupName);
  const bool backedUp = CopyWhole(files, setupLog, backup, folder, kSetupLogTempPrefix);
  if (backedUp) files.SetFileAttributes(backup, attributes);
  // The backup is on the disk before setup.log changes: once setup.log is the new file, its
  // backup holds the old one. Without that, setup.log is not touched.
  const bool replaced = backedUp && files.FlushVolume(winpath::DriveDesignation(setupLog)) &&
                        WriteWhole(files, setupLog, rewrite.text, folder, kSetupLogTempPrefix);
  files.SetFileAttributes(setupLog, attributes);
  return replaced ? SetupLogUpdate::kUpdated : SetupLogUpdate::kFailed;
}

void RemoveSetupLogLeftovers(platform::FileSystem& files, std::string_view systemRoot) {
  if (systemRoot.empty()) return;
  RemoveTemporaryFiles(files, winpath::Append(systemRoot, kRepairFolder), kSetupLogTempPrefix);
}

}  // namespace halshift::hal
