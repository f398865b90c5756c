// The process's standard output through kernel32.
//
// May contain: Win32 calls of the StandardOutput service. No logic of the program.
#include <algorithm>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace halshift::win32 {

void StandardOutput::Write(std::string_view text) {
  // A program of the windows subsystem has no standard output unless its starter gave it one
  // (a redirection); without one the text goes nowhere.
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 0x10000));
    DWORD written = 0;
    if (!::WriteFile(out, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

}  // namespace halshift::win32
