// The mapping of Windows paths onto drives/<letter>.
#include "platform/image/drive_paths.h"

#include <sys/stat.h>

#include "base/text.h"

namespace halshift::image {

std::optional<std::string> DriveMap::FindEntry(const std::filesystem::path& folder,
                                               std::string_view name) {
  std::error_code ec;
  std::optional<std::string> caseless;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry == name) return entry;
    if (!caseless && text::EqualsIgnoreCase(entry, name)) caseless = entry;
  }
  return caseless;
}

std::optional<std::filesystem::path> DriveMap::DriveFolder(char drive) const {
  const auto entry = FindEntry(drives_, std::string(1, drive));
  if (!entry) return std::nullopt;
  const auto folder = drives_ / *entry;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return folder;
}

std::optional<std::filesystem::path> DriveMap::Map(const WindowsPath& path) const {
  auto host = DriveFolder(path.drive);
  if (!host) return std::nullopt;
  bool exists = true;  // whether host names an existing folder so far
  for (const auto& component : path.components) {
    std::optional<std::string> entry;
    if (exists) entry = FindEntry(*host, component);
    if (entry) {
      *host /= *entry;
      struct stat st {};
      if (lstat(host->c_str(), &st) != 0) {
        exists = false;
      } else if (S_ISLNK(st.st_mode)) {
        return std::nullopt;
      } else {
        exists = S_ISDIR(st.st_mode);
      }
    } else {
      *host /= component;
      exists = false;
    }
  }
  return host;
}

}  // namespace halshift::image
