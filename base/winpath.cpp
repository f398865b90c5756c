// Windows path rules: joining, splitting, parsing and wildcard matching.
#include "base/winpath.h"

#include <algorithm>

#include "base/text.h"

namespace halshift::winpath {
namespace {

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

// Matching over upper-cased text, by a table of which pattern suffix matches which name
// suffix. '?' is the system's DOS question mark: it matches one character other than '.', or
// nothing when the name is at a '.' or at its end.
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

// Patterns are separated by ';' with spaces around them; tabs are part of a name.
std::string_view Trimmed(std::string_view text) { return text::Trim(text, " "); }

}  // namespace

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Join(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || !IsSeparator(path.back())) path += '\\';
  path += name;
  return path;
}

std::string JoinUnchecked(std::string_view directory, std::string_view name) {
  std::string path(directory);
  path += '\\';
  path += name;
  return path;
}

std::string DirectoryOf(std::string_view path) {
  const auto separator = path.rfind('\\');
  if (separator == std::string_view::npos) return {};
  return std::string(path.substr(0, separator));
}

std::string_view FileNameOf(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string ParentDirectory(std::string_view directory) {
  std::string path(directory);
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos) return path;
  path.resize(cut);
  if (path.size() == 2 && path[1] == ':') path += '\\';
  return path;
}

std::string DriveDesignation(std::string_view path) { return std::string(path.substr(0, 2)); }

std::string FoldCase(std::string_view path) { return text::ToUpper(path); }

std::string WindowsPath::Text() const {
  std::string out(1, drive);
  out += ":\\";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += '\\';
    out += components[i];
  }
  return out;
}

std::string WindowsPath::Key() const { return FoldCase(Text()); }

std::optional<WindowsPath> ParseWindowsPath(std::string_view path, char defaultDrive) {
  if (path.empty() || path.size() >= kMaxPath) return std::nullopt;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return std::nullopt;
  if (path.size() >= 4 && path.substr(0, 4) == "\\??\\") return std::nullopt;
  WindowsPath parsed;
  parsed.drive = text::UpperAscii(defaultDrive);
  std::string_view rest = path;
  if (path.size() >= 2 && path[1] == ':') {
    if (!IsLetter(path[0])) return std::nullopt;
    parsed.drive = text::UpperAscii(path[0]);
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

bool MatchesAnyWildcard(std::string_view patterns, std::string_view name) {
  if (Trimmed(patterns).empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = patterns.find(';', start);
    const std::string_view one =
        Trimmed(patterns.substr(start, end == std::string_view::npos ? patterns.npos : end - start));
    if (!one.empty() && MatchesWildcard(one, name)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

bool IsTempFileName(std::string_view name, std::string_view prefix) {
  constexpr std::size_t kPrefixLength = 3;
  constexpr std::size_t kMaxDigits = 4;
  constexpr std::string_view kExtension = ".TMP";
  prefix = prefix.substr(0, kPrefixLength);
  if (name.size() < prefix.size() + 1 + kExtension.size()) return false;
  if (!text::EqualsIgnoreCase(name.substr(0, prefix.size()), prefix)) return false;
  if (!text::EqualsIgnoreCase(name.substr(name.size() - kExtension.size()), kExtension)) {
    return false;
  }
  const std::string_view digits =
      name.substr(prefix.size(), name.size() - prefix.size() - kExtension.size());
  return !digits.empty() && digits.size() <= kMaxDigits &&
         std::all_of(digits.begin(), digits.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

}  // namespace halshift::winpath
