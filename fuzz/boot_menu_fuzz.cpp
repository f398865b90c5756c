// Fuzzes the boot menu's readers over arbitrary bytes: the text-mode line loader, the
// profile-section entry split and the walk over the operating-systems section.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "inspect/boot_ini.h"

using halshift::fuzzing::Check;

namespace {

// Text-mode reading as the definition reads, a byte at a time: Ctrl-Z ends the text, CR LF
// reads as LF, a lone CR is an ordinary byte, a last line without LF counts when not empty.
std::vector<std::string> LinesByDefinition(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
    if (bytes[i] == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
      line.push_back(bytes[i]);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::bootmenu;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Line view: what a save writes reads back as the same lines.
  const std::vector<std::string> lines = SplitTextLines(bytes);
  Check(lines == LinesByDefinition(bytes));
  for (const auto& line : lines) {
    Check(line.find('\n') == std::string::npos);
    Check(line.find('\x1A') == std::string::npos);
  }
  Check(SplitTextLines(JoinTextLines(lines)) == lines);

  // The walk offers only lines after a header, never a header, and stops at the first taken.
  bool headerSeen = false;
  std::size_t firstCandidate = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (IsOperatingSystemsHeader(lines[i])) {
      headerSeen = true;
    } else if (headerSeen && firstCandidate == lines.size()) {
      firstCandidate = i;
    }
  }
  std::size_t offered = 0;
  const auto found = FindOperatingSystemsLine(lines, [&](std::string_view line) {
    Check(!IsOperatingSystemsHeader(line));
    ++offered;
    return !LineKey(line).empty();
  });
  if (found) {
    Check(*found < lines.size());
    Check(*found >= firstCandidate);
    Check(!LineKey(lines[*found]).empty());
  }
  if (firstCandidate == lines.size()) Check(offered == 0);

  // Entry view: the bytes as a filled section buffer, with every stored count the profile
  // reader could claim around the real size.
  const std::vector<char> buffer(bytes.begin(), bytes.end());
  for (const std::uint32_t stored :
       {static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(size / 2),
        static_cast<std::uint32_t>(size + 7), 0xFFFFFFFFu}) {
    for (const auto& entry : ParseSectionBuffer(buffer, stored)) {
      Check(entry.key.find('=') == std::string::npos);
      Check(entry.key.find('\0') == std::string::npos);
      Check(entry.value.find('\0') == std::string::npos);
      Check(entry.key.size() + entry.value.size() < size + 1);
    }
  }
  return 0;
}
