// Message boxes, string resources and the help viewer through user32.
//
// May contain: Win32 calls of the UserInterface service. No logic of the program.
#include <vector>

#include "base/text.h"

#include "platform/win32/main_window.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

// HELP_FINDER: the Help Topics of the help file, with the Contents tab of its .CNT file (not
// HELP_CONTENTS, 0x0003, which opens the contents topic alone).
constexpr UINT kHelpFinder = 0x000B;
constexpr int kFirstStringBuffer = 256;
// String resources hold at most 65535 characters.
constexpr int kLargestStringBuffer = 65536;

HWND SessionOwner() {
  HWND main = MainWindow();
  if (main == nullptr) return ::GetDesktopWindow();
  return ::GetLastActivePopup(main);
}

}  // namespace

int UserInterface::MessageBox(platform::BoxOwner owner, std::string_view text,
                              std::string_view caption, unsigned style) {
  HWND window = owner == platform::BoxOwner::kSession ? SessionOwner() : nullptr;
  return ::MessageBoxA(window, text::Printable(text).c_str(), text::Printable(caption).c_str(), style);
}

std::string UserInterface::LoadString(unsigned id) {
  HINSTANCE module = ::GetModuleHandleA(nullptr);
  // LoadStringA cuts a text to the buffer and says how many characters it stored, never how
  // many there are; a text that filled the buffer may have been cut, so it is loaded again
  // into a larger one.
  for (int size = kFirstStringBuffer; size <= kLargestStringBuffer; size *= 2) {
    std::vector<char> buffer(static_cast<std::size_t>(size), '\0');
    const int stored = ::LoadStringA(module, id, buffer.data(), size);
    if (stored <= 0) return {};
    if (stored < size - 1 || size == kLargestStringBuffer) {
      return std::string(buffer.data(), static_cast<std::size_t>(stored));
    }
  }
  return {};
}

void UserInterface::ShowHelp(std::string_view helpFile) {
  const auto file = ZeroTerminated(helpFile);
  if (!file) return;
  // The main window quits the viewer of this file when it closes.
  SetHelpFile(*file);
  ::WinHelpA(MainWindow(), file->c_str(), kHelpFinder, 0);
}

}  // namespace halshift::win32
