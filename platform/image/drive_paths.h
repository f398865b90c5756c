// Windows paths on the machine image: mapping them onto the image's drives/<letter> folders
// without regard to case.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/winpath.h"

namespace halshift::image {

// The image serves Windows paths throughout; these are its names for them.
using winpath::HasWildcard;
using winpath::MatchesWildcard;
using winpath::ParseWindowsPath;
using winpath::WindowsPath;

// The drives/ folder of an image.
class DriveMap {
 public:
  explicit DriveMap(std::filesystem::path drivesFolder) : drives_(std::move(drivesFolder)) {}

  // The folder of a drive letter, found without regard to case; nothing when it has none.
  std::optional<std::filesystem::path> DriveFolder(char drive) const;
  // The host path of a Windows path: each component names the existing entry of any case, or,
  // when there is none, the name as given. Nothing when the drive has no folder or when a
  // component on the way is a symbolic link (which could lead out of the drive).
  std::optional<std::filesystem::path> Map(const WindowsPath& path) const;
  // The existing entry of a folder whose name equals name without regard to case (an exact
  // match first); nothing when there is none.
  static std::optional<std::string> FindEntry(const std::filesystem::path& folder,
                                              std::string_view name);

 private:
  std::filesystem::path drives_;
};

}  // namespace halshift::image
