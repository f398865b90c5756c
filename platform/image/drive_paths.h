// Windows paths on the machine image: parsing "C:\A\B" into a drive and components, and
// mapping them onto the image's drives/<letter> folders without regard to case.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::image {

// Paths of MAX_PATH (260) characters or more are refused, as Windows refuses them.
inline constexpr std::size_t kMaxPath = 260;

struct WindowsPath {
  char drive = 'C';                     // upper case
  std::vector<std::string> components;  // "." and ".." resolved; none for the root
  bool trailingSeparator = false;       // the text ended in '\' or '/' after a component

  // "C:\A\B" with the components as given; "C:\" for the root.
  std::string Text() const;
  // Text() upper-cased: two paths name the same file exactly when their keys are equal.
  std::string Key() const;
  bool IsRoot() const { return components.empty(); }
};

// Parses a Windows path. A path without a drive ("\I386\HAL.DLL", or a relative one) lies on
// defaultDrive, from its root. ".." at the root stays at the root. Nothing for UNC and device
// paths, for names with characters that Windows does not allow (< > : " | and control
// characters) and for paths of kMaxPath characters or more. '*' and '?' are accepted here;
// the operations that take no pattern refuse them.
std::optional<WindowsPath> ParseWindowsPath(std::string_view path, char defaultDrive);

bool HasWildcard(std::string_view name);
// Matches a name against a pattern of '*' and '?' without regard to case, as FindFirstFileA
// does: "*.*" matches every name, and "NAME.*" also matches "NAME".
bool MatchesWildcard(std::string_view pattern, std::string_view name);

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
