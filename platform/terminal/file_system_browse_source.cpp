// The machine's drives and folders, through its file operations, for the terminal's open-file
// chooser.
#include "platform/terminal/file_system_browse_source.h"

#include "base/winpath.h"

namespace halshift::terminal {
namespace {

// "C:\" or "C:": a drive's root, which names no entry of its own.
bool IsRoot(std::string_view directory) {
  return (directory.size() == 2 || (directory.size() == 3 && winpath::IsSeparator(directory[2]))) &&
         directory[1] == ':';
}

}  // namespace


std::vector<char> FileSystemBrowseSource::Drives() {
  std::vector<char> drives;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const unsigned type = files_.GetDriveType(std::string(1, letter) + ":\\");
    if (type != platform::kDriveNoRootDir && type != platform::kDriveUnknown) drives.push_back(letter);
  }
  return drives;
}

std::optional<std::vector<DirectoryEntry>> FileSystemBrowseSource::List(std::string_view directory) {
  // Through the file operations, so that a drive served from a volume image lists as a folder
  // does, and nothing outside the drives' folders is listed.
  const std::uint32_t attributes = IsRoot(directory) ? platform::kFileAttributeDirectory
                                                     : files_.GetFileAttributes(directory);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & platform::kFileAttributeDirectory) == 0) {
    return std::nullopt;
  }
  if (IsRoot(directory) && files_.GetDriveType(directory) == platform::kDriveNoRootDir) {
    return std::nullopt;
  }
  std::vector<DirectoryEntry> entries;
  for (const platform::FileSystem::FoundFile& found : files_.FindFiles(winpath::Join(directory, "*"))) {
    entries.push_back({found.name, (found.attributes & platform::kFileAttributeDirectory) != 0});
  }
  return entries;
}

std::string FileSystemBrowseSource::StartDirectory() {
  std::string firstWithMedia;
  for (char letter : Drives()) {
    const std::string root = std::string(1, letter) + ":\\";
    if (!List(root)) continue;
    if (files_.GetDriveType(root) == platform::kDriveCdrom) return root;
    if (firstWithMedia.empty()) firstWithMedia = root;
  }
  return firstWithMedia.empty() ? std::string("C:\\") : firstWithMedia;
}

}  // namespace halshift::terminal
