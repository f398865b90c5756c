// machine.ini: an INI file read into sections and entries, and rewritten one entry at a time
// so that every other line of the file stays byte for byte as it was.
//
// May contain: the C++ standard library. No file access: callers hand in and take out text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::image {

struct IniEntry {
  std::string key;    // trimmed, as written
  std::string value;  // trimmed, trailing comment removed
  std::size_t line = 0;  // 1-based line number in the file
};

struct IniSection {
  std::string name;  // as written between the brackets, trimmed
  std::size_t line = 0;
  std::vector<IniEntry> entries;
};

// The parsed file. Lines are kept with their own line ends so that Text() gives back the file
// exactly as read, apart from entries replaced through ReplaceEntryLine.
class IniFile {
 public:
  // Parses text. A line that is neither blank, a ';' comment, a "[Section]" header nor a
  // "key=value" line inside a section fails the parse: error then reads "<line>: <problem>".
  static std::optional<IniFile> Parse(std::string_view text, std::string& error);

  const std::vector<IniSection>& Sections() const { return sections_; }
  // The first section of that name (without regard to case), or nothing.
  const IniSection* FindSection(std::string_view name) const;
  // The value of a key in a section (both without regard to case), or nothing.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  // Replaces the entry on the given line by "key=value", keeping that line's end, and updates
  // the parsed entry. Returns false when no entry starts on that line.
  bool ReplaceEntryLine(std::size_t line, std::string_view key, std::string_view value);

  std::string Text() const;

 private:
  std::vector<std::string> lines_;  // each with its line end, when it had one
  std::vector<IniSection> sections_;
};

// The lines of the first section of that name (without regard to case) in a profile file, as
// GetPrivateProfileSectionA returns them, from any text and without a parse that can fail:
// blank lines and ';' comments are left out, the blanks around a line, its key and its value
// are dropped (so "key = value" reads "key=value", as Windows and Wine return it), and a line
// without '=' is returned as it is.
std::vector<std::string> LenientSectionLines(std::string_view text, std::string_view section);

// A value without its trailing comment and surrounding blanks: a ';' that starts the value or
// follows a blank begins a comment.
std::string_view StripTrailingComment(std::string_view value);

}  // namespace halshift::image
