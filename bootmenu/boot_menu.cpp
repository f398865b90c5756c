// The line view of BOOT.INI: loaded, edited in memory, backed up and saved whole.
#include "bootmenu/boot_menu.h"

#include "base/winpath.h"
#include "core/whole_file.h"

namespace halshift::bootmenu {
namespace {

// The temporary files of a backup or a save, in the root beside BOOT.INI.
constexpr std::string_view kTempPrefix = "BMT";

}  // namespace

bool BootMenuFile::Backup(std::string_view root) {
  root_ = root;
  const std::string backup = winpath::Join(root_, kBackupName);
  backedUp_ = CopyWhole(files_, winpath::Join(root_, kBootMenuName), backup, root_, kTempPrefix);
  files_.SetFileAttributes(backup, kBootMenuAttributes);
  return backedUp_;
}

bool BootMenuFile::Load(std::string_view root) {
  root_ = root;
  lines_.clear();
  const auto bytes = files_.ReadFile(winpath::Join(root_, kBootMenuName));
  if (!bytes) return false;
  lines_ = SplitTextLines(*bytes);
  return true;
}

void BootMenuFile::InsertLine(std::size_t index, std::string line) {
  if (index > lines_.size()) return;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
}

void BootMenuFile::AppendLine(std::string line) { lines_.push_back(std::move(line)); }

void BootMenuFile::RemoveLine(std::size_t index) {
  if (index >= lines_.size()) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool BootMenuFile::Save() {
  const std::string bootMenu = winpath::Join(root_, kBootMenuName);
  const std::string drive = winpath::DriveDesignation(root_);
  // The backup is on the disk before BOOT.INI changes, as the failure text promises; without
  // that, BOOT.INI is not touched.
  const bool saved = backedUp_ && files_.FlushVolume(drive) &&
                     WriteWhole(files_, bootMenu, JoinTextLines(lines_), root_, kTempPrefix);
  files_.SetFileAttributes(bootMenu, kBootMenuAttributes);
  files_.SetFileAttributes(winpath::Join(root_, kBackupName), kBootMenuAttributes);
  // The new menu reaches the disk now, on the boot drive, which need not be the one the
  // change of system files flushes. A failure leaves it to the cache; the edit still stands.
  if (saved) files_.FlushVolume(drive);
  return saved;
}

void RemoveLeftoverTemporaryFiles(platform::FileSystem& files) {
  std::string root = "C:\\";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    root[0] = letter;
    if (files.GetDriveType(root) == platform::kDriveFixed) {
      RemoveTemporaryFiles(files, root, kTempPrefix);
    }
  }
}

}  // namespace halshift::bootmenu
