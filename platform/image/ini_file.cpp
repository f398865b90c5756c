// machine.ini reader and entry rewriter.
#include "platform/image/ini_file.h"

#include "base/text.h"

namespace halshift::image {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) { return text::Trim(s, text::kBlanksAndLineEnds); }

// The line without its line end.
std::string_view Content(std::string_view line) { return text::TrimEnd(line, "\r\n"); }

}  // namespace

std::string_view StripTrailingComment(std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == ';' && (i == 0 || IsBlank(value[i - 1]))) return Trim(value.substr(0, i));
  }
  return Trim(value);
}

std::vector<std::string> LenientSectionLines(std::string_view text, std::string_view section) {
  std::vector<std::string> lines;
  bool inSection = false;
  bool found = false;
  for (std::string_view line : text::SplitLines(text)) {
    line = text::Trim(text::TrimEnd(line, text::kBlanksAndLineEnds));
    if (line.empty()) continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) {
        if (found) break;  // only the first section of that name is read
        inSection = text::EqualsIgnoreCase(text::Trim(line.substr(1, close - 1)), section);
        found = inSection;
        continue;
      }
    }
    if (!inSection || line.front() == ';') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      lines.emplace_back(line);
    } else {
      std::string entry(text::Trim(line.substr(0, equals)));
      entry += '=';
      entry += text::Trim(line.substr(equals + 1));
      lines.push_back(std::move(entry));
    }
  }
  return lines;
}

std::optional<IniFile> IniFile::Parse(std::string_view text, std::string& error) {
  IniFile file;
  for (const std::string_view line : text::SplitLines(text)) file.lines_.emplace_back(line);
  for (std::size_t i = 0; i < file.lines_.size(); ++i) {
    const std::size_t lineNumber = i + 1;
    const std::string_view line = Trim(Content(file.lines_[i]));
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::string_view header = StripTrailingComment(line);
      if (header.size() < 2 || header.back() != ']') {
        error = std::to_string(lineNumber) + ": a section header lacks its closing ']'";
        return std::nullopt;
      }
      IniSection section;
      section.name = std::string(Trim(header.substr(1, header.size() - 2)));
      section.line = lineNumber;
      file.sections_.push_back(std::move(section));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error = std::to_string(lineNumber) + ": expected key=value";
      return std::nullopt;
    }
    if (file.sections_.empty()) {
      error = std::to_string(lineNumber) + ": key=value before any [Section]";
      return std::nullopt;
    }
    IniEntry entry;
    entry.key = std::string(Trim(line.substr(0, equals)));
    entry.value = std::string(StripTrailingComment(line.substr(equals + 1)));
    entry.line = lineNumber;
    if (entry.key.empty()) {
      error = std::to_string(lineNumber) + ": a key is empty";
      return std::nullopt;
    }
    file.sections_.back().entries.push_back(std::move(entry));
  }
  return file;
}

const IniSection* IniFile::FindSection(std::string_view name) const {
  for (const auto& section : sections_) {
    if (text::EqualsIgnoreCase(section.name, name)) return &section;
  }
  return nullptr;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
  for (const auto& s : sections_) {
    if (!text::EqualsIgnoreCase(s.name, section)) continue;
    for (const auto& entry : s.entries) {
      if (text::EqualsIgnoreCase(entry.key, key)) return entry.value;
    }
  }
  return std::nullopt;
}

bool IniFile::ReplaceEntryLine(std::size_t line, std::string_view key, std::string_view value) {
  if (line == 0 || line > lines_.size()) return false;
  for (auto& section : sections_) {
    for (auto& entry : section.entries) {
      if (entry.line != line) continue;
      std::string& stored = lines_[line - 1];
      const std::string_view content = Content(stored);
      const std::string ending = stored.substr(content.size());
      stored = std::string(key) + "=" + std::string(value) + ending;
      entry.key = std::string(key);
      entry.value = std::string(value);
      return true;
    }
  }
  return false;
}

std::string IniFile::Text() const {
  std::string out;
  for (const auto& line : lines_) out += line;
  return out;
}

}  // namespace halshift::image
