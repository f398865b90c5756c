// The command-line tail of a Windows program.
#include "platform/win32/command_tail.h"

namespace halshift::win32 {
namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

std::string_view CommandLineTail(std::string_view commandLine) {
  std::size_t position = 0;
  if (!commandLine.empty() && commandLine.front() == '"') {
    const std::size_t closing = commandLine.find('"', 1);
    position = closing == std::string_view::npos ? commandLine.size() : closing + 1;
  } else {
    while (position < commandLine.size() && !IsBlankOrControl(commandLine[position])) ++position;
  }
  while (position < commandLine.size() && IsBlankOrControl(commandLine[position])) ++position;
  return commandLine.substr(position);
}

}  // namespace halshift::win32
