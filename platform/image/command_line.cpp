// Joining the arguments of the Linux build into a Windows command-line tail.
#include "platform/image/command_line.h"

#include <string_view>

namespace halshift::image {
namespace {

void AppendQuoted(std::string& line, std::string_view argument) {
  line += '"';
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quotation mark are doubled, and the mark itself escaped.
    line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  // Before the closing quote, too.
  line.append(backslashes * 2, '\\');
  line += '"';
}

}  // namespace

std::string JoinCommandLine(std::span<const char* const> arguments) {
  std::string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ' ';
    const std::string_view text = arguments[i] != nullptr ? arguments[i] : "";
    if (text.empty() || text.find_first_of(" \t") != std::string_view::npos) {
      AppendQuoted(line, text);
    } else {
      line += text;
    }
  }
  return line;
}

}  // namespace halshift::image
