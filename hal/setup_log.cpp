// The setup.log model: finding and rewriting the [Files.WinNt] lines of system files, and
// reading where setup put the installation ([Paths]).
#include "hal/setup_log.h"

#include <algorithm>

#include "base/text.h"

namespace halshift::hal {
namespace {

constexpr std::string_view kSystemDirectory = "\\system32\\";

// One line of the file: its text and the bytes that end it.
struct Line {
  std::string_view content;
  std::string_view end;  // "\r\n", "\n", "\r" on a last line, or empty
};

// The lines of text in order. Every byte belongs to exactly one line's content or end.
std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  for (const std::string_view whole : text::SplitLines(text)) {
    std::size_t contentEnd = whole.size();
    if (contentEnd > 0 && whole[contentEnd - 1] == '\n') --contentEnd;
    if (contentEnd > 0 && whole[contentEnd - 1] == '\r') --contentEnd;
    lines.push_back({whole.substr(0, contentEnd), whole.substr(contentEnd)});
  }
  return lines;
}

// Whether the line opens a section, and whether that section is [Files.WinNt].
enum class Header { kNone, kOther, kFiles };

Header SectionHeader(std::string_view content) {
  const std::string_view trimmed = text::Trim(content);
  if (trimmed.empty() || trimmed.front() != '[') return Header::kNone;
  const auto close = trimmed.find(']');
  if (close == std::string_view::npos) return Header::kOther;
  return text::EqualsIgnoreCase(trimmed.substr(1, close - 1), kSetupLogSection) ? Header::kFiles
                                                                          : Header::kOther;
}

// The key of an entry line, or nothing for a line without "=".
std::optional<std::string_view> LineKey(std::string_view content) {
  const auto equals = content.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return text::Trim(content.substr(0, equals));
}

std::vector<std::string> SplitFields(std::string_view value) {
  std::vector<std::string> fields;
  std::size_t position = 0;
  while (true) {
    // A field in quotes runs to the closing quote (a comma inside belongs to it); the rest of
    // the field up to the next comma is kept after it.
    std::string field;
    const auto first = value.find_first_not_of(text::kBlanks, position);
    position = first == std::string_view::npos ? value.size() : first;
    if (position < value.size() && value[position] == '"') {
      const auto close = value.find('"', position + 1);
      const std::size_t stop = close == std::string_view::npos ? value.size() : close;
      field.assign(value.substr(position + 1, stop - position - 1));
      position = close == std::string_view::npos ? value.size() : close + 1;
    }
    const auto comma = value.find(',', position);
    const std::size_t stop = comma == std::string_view::npos ? value.size() : comma;
    field += text::Trim(value.substr(position, stop - position));
    fields.push_back(std::move(field));
    if (comma == std::string_view::npos) break;
    position = comma + 1;
  }
  return fields;
}

// Calls visit(index, line) for every entry line inside a [Files.WinNt] section.
template <typename Visit>
void ForEachFileLine(const std::vector<Line>& lines, Visit visit) {
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Header header = SectionHeader(lines[i].content);
    if (header != Header::kNone) {
      inside = header == Header::kFiles;
      continue;
    }
    if (inside) visit(i, lines[i]);
  }
}

void AppendHex(std::string& out, std::uint32_t value) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string digits;
  do {
    digits += kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append(digits.rbegin(), digits.rend());
}

}  // namespace

std::optional<SetupLogEntry> FindSetupLogFile(std::string_view text, std::string_view path) {
  if (text.size() > kMaxSetupLogBytes || path.empty()) return std::nullopt;
  std::optional<SetupLogEntry> found;
  ForEachFileLine(SplitLines(text), [&](std::size_t index, const Line& line) {
    if (found) return;
    const auto key = LineKey(line.content);
    if (!key || !text::EqualsIgnoreCase(*key, path)) return;
    const auto equals = line.content.find('=');
    found = SetupLogEntry{index, std::string(*key), SplitFields(line.content.substr(equals + 1))};
  });
  return found;
}

std::string FormatSetupLogValue(std::string_view mediaName, std::uint32_t checkSum) {
  std::string value = "\"";
  value += text::ToLower(mediaName);
  value += "\",\"";
  AppendHex(value, checkSum);
  value += '"';
  return value;
}

SetupLogRewrite RewriteSetupLog(std::string_view text, std::span<const SetupLogChange> changes) {
  SetupLogRewrite result;
  result.text.assign(text);
  if (text.size() > kMaxSetupLogBytes) {
    result.tooLarge = true;
    return result;
  }
  const std::vector<Line> lines = SplitLines(text);
  std::vector<std::optional<std::string>> replaced(lines.size());
  ForEachFileLine(lines, [&](std::size_t index, const Line& line) {
    const auto key = LineKey(line.content);
    if (!key || key->empty()) return;
    for (std::size_t c = 0; c < changes.size(); ++c) {
      if (!text::EqualsIgnoreCase(*key, changes[c].path)) continue;
      // The key, the "=" and the blanks after it stay as the line has them.
      const auto equals = line.content.find('=');
      const auto valueStart = line.content.find_first_not_of(text::kBlanks, equals + 1);
      std::string content(line.content.substr(0, std::min(valueStart, line.content.size())));
      content += FormatSetupLogValue(changes[c].mediaName, changes[c].checkSum);
      if (content != line.content) {
        replaced[index] = std::move(content);
        result.changed.push_back({index, c});
      }
      return;
    }
  });
  if (result.changed.empty()) return result;

  result.text.clear();
  result.text.reserve(text.size() + 16 * result.changed.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    result.text += replaced[i] ? std::string_view(*replaced[i]) : lines[i].content;
    result.text += lines[i].end;
  }
  return result;
}

SetupLogPaths ReadSetupLogPaths(std::string_view text) {
  SetupLogPaths paths;
  if (text.size() > kMaxSetupLogBytes) return paths;
  struct Key {
    std::string_view name;
    std::string* field;
    bool found = false;
  };
  Key keys[] = {{"TargetDirectory", &paths.targetDirectory},
                {"TargetDevice", &paths.targetDevice},
                {"SystemPartition", &paths.systemPartition}};
  bool inside = false;
  for (const Line& line : SplitLines(text)) {
    const std::string_view trimmed = text::Trim(line.content);
    if (!trimmed.empty() && trimmed.front() == '[') {
      if (inside) break;  // only the first [Paths] section counts
      const auto close = trimmed.find(']');
      if (close != std::string_view::npos &&
          text::EqualsIgnoreCase(trimmed.substr(1, close - 1), kSetupLogPathsSection)) {
        inside = true;
      }
      continue;
    }
    if (!inside) continue;
    const auto key = LineKey(line.content);
    if (!key) continue;
    for (Key& wanted : keys) {
      if (wanted.found || !text::EqualsIgnoreCase(*key, wanted.name)) continue;
      wanted.found = true;
      *wanted.field = SplitFields(line.content.substr(line.content.find('=') + 1)).front();
    }
  }
  return paths;
}

std::string SystemFilePath(std::string_view systemRoot, std::string_view fileName) {
  if (systemRoot.size() >= 2 && systemRoot[1] == ':') systemRoot.remove_prefix(2);
  while (!systemRoot.empty() && systemRoot.back() == '\\') systemRoot.remove_suffix(1);
  std::string path(systemRoot);
  path += kSystemDirectory;
  path += fileName;
  return path;
}

}  // namespace halshift::hal
