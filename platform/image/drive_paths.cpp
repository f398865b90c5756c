// Windows path parsing, wildcard matching and the mapping onto drives/<letter>.
#include "platform/image/drive_paths.h"

#include <sys/stat.h>

#include "app/text.h"

namespace halshift::image {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAllowedInName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20) return false;
  switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
      return false;
    default:
      return true;
  }
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Matching over upper-cased text, by a table of which pattern suffix matches which name
// suffix. '?' is the system's DOS question mark: it matches one character other than '.', or
// nothing when the name is at a '.' or at its end ("HAL.DL?" matches "HAL.DL").
bool MatchUpper(std::string_view pattern, std::string_view name) {
  const std::size_t columns = name.size() + 1;
  std::vector<char> matches((pattern.size() + 1) * columns, 0);
  const auto at = [&](std::size_t p, std::size_t n) -> char& { return matches[p * columns + n]; };
  at(pattern.size(), name.size()) = 1;
  for (std::size_t p = pattern.size(); p-- > 0;) {
    for (std::size_t n = name.size() + 1; n-- > 0;) {
      const bool atEnd = n == name.size();
      bool result = false;
      if (pattern[p] == '*') {
        result = at(p + 1, n) || (!atEnd && at(p, n + 1));
      } else if (pattern[p] == '?') {
        result = (!atEnd && name[n] != '.' && at(p + 1, n + 1)) ||
                 ((atEnd || name[n] == '.') && at(p + 1, n));
      } else {
        result = !atEnd && pattern[p] == name[n] && at(p + 1, n + 1);
      }
      at(p, n) = result ? 1 : 0;
    }
  }
  return at(0, 0) != 0;
}

}  // namespace

std::string WindowsPath::Text() const {
  std::string out(1, drive);
  out += ":\\";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += '\\';
    out += components[i];
  }
  return out;
}

std::string WindowsPath::Key() const { return text::ToUpper(Text()); }

std::optional<WindowsPath> ParseWindowsPath(std::string_view path, char defaultDrive) {
  if (path.empty() || path.size() >= kMaxPath) return std::nullopt;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return std::nullopt;
  if (path.size() >= 4 && path.substr(0, 4) == "\\??\\") return std::nullopt;
  WindowsPath parsed;
  parsed.drive = UpperLetter(defaultDrive);
  std::string_view rest = path;
  if (path.size() >= 2 && path[1] == ':') {
    if (!IsLetter(path[0])) return std::nullopt;
    parsed.drive = UpperLetter(path[0]);
    rest.remove_prefix(2);
  }
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string_view component = rest.substr(start, end - start);
    if (component == "..") {
      if (!parsed.components.empty()) parsed.components.pop_back();
    } else if (!component.empty() && component != ".") {
      for (char c : component) {
        if (!IsAllowedInName(c)) return std::nullopt;
      }
      parsed.components.emplace_back(component);
    }
    if (end >= rest.size()) break;
    start = end + 1;
  }
  parsed.trailingSeparator =
      !rest.empty() && IsSeparator(rest.back()) && !parsed.components.empty();
  return parsed;
}

bool HasWildcard(std::string_view name) {
  return name.find('*') != std::string_view::npos || name.find('?') != std::string_view::npos;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  const std::string upperPattern = text::ToUpper(pattern);
  const std::string upperName = text::ToUpper(name);
  if (upperPattern == "*.*") return true;
  if (MatchUpper(upperPattern, upperName)) return true;
  if (upperPattern.size() >= 2 && upperPattern.compare(upperPattern.size() - 2, 2, ".*") == 0 &&
      upperName.find('.') == std::string::npos) {
    return MatchUpper(std::string_view(upperPattern).substr(0, upperPattern.size() - 2),
                      upperName);
  }
  return false;
}

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
