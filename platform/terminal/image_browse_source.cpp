// The machine image's drives and folders for the terminal's open-file chooser.
#include "platform/terminal/image_browse_source.h"

#include <filesystem>

namespace halshift::terminal {


std::vector<char> ImageBrowseSource::Drives() {
  std::vector<char> drives;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const unsigned type = files_.GetDriveType(std::string(1, letter) + ":\\");
    if (type != platform::kDriveNoRootDir && type != platform::kDriveUnknown) drives.push_back(letter);
  }
  return drives;
}

std::optional<std::vector<DirectoryEntry>> ImageBrowseSource::List(std::string_view directory) {
  const std::optional<std::filesystem::path> host = image_.HostPath(directory);
  if (!host) return std::nullopt;
  std::error_code error;
  if (!std::filesystem::is_directory(*host, error)) return std::nullopt;
  std::filesystem::directory_iterator it(*host, error);
  if (error) return std::nullopt;
  std::vector<DirectoryEntry> entries;
  for (const std::filesystem::directory_entry& entry : it) {
    std::error_code kindError;
    entries.push_back({entry.path().filename().string(), entry.is_directory(kindError)});
  }
  return entries;
}

std::string ImageBrowseSource::StartDirectory() {
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
