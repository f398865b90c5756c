// Fuzzes the machine.ini reader over arbitrary bytes: a file that parses is written back byte
// for byte, and rewriting an entry keeps the file parseable with the same shape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/image/ini_file.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using halshift::image::IniFile;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto ini = IniFile::Parse(bytes, error);
  if (!ini) {
    Check(!error.empty());
    return 0;
  }
  Check(ini->Text() == bytes);
  for (const auto& section : ini->Sections()) {
    for (const auto& entry : section.entries) {
      Check(!entry.key.empty() && entry.line > 0);
      (void)ini->Value(section.name, entry.key);
    }
  }
  // Rewrite the first entry as a moved in-use mark would be rewritten.
  std::size_t index = 0;
  while (index < ini->Sections().size() && ini->Sections()[index].entries.empty()) ++index;
  if (index == ini->Sections().size()) return 0;
  const std::size_t sections = ini->Sections().size();
  const auto& withEntry = ini->Sections()[index];
  const std::size_t entries = withEntry.entries.size();
  Check(ini->ReplaceEntryLine(withEntry.entries.front().line, "C:\\MOVED\\del1.tmp", ""));
  auto again = IniFile::Parse(ini->Text(), error);
  Check(again.has_value());
  Check(again->Sections().size() == sections);
  const auto& section = again->Sections()[index];
  Check(section.entries.size() == entries);
  Check(section.entries.front().key == "C:\\MOVED\\del1.tmp");
  Check(section.entries.front().value.empty());
  return 0;
}
