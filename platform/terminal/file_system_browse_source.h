// The open-file chooser of the terminal face over a machine's drives and folders, listed
// through its file operations (so a drive served from an ISO image lists as a folder does).
//
// May contain: C++ standard library calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/terminal/file_chooser.h"

namespace halshift::terminal {

// The drives and folders of a FileSystem for the chooser.
class FileSystemBrowseSource : public BrowseSource {
 public:
  explicit FileSystemBrowseSource(platform::FileSystem& files) : files_(files) {}
  std::vector<char> Drives() override;
  std::optional<std::vector<DirectoryEntry>> List(std::string_view directory) override;
  // The root of the first CD-ROM drive with media, else of the first drive with media.
  std::string StartDirectory() override;

 private:
  platform::FileSystem& files_;
};

}  // namespace halshift::terminal
