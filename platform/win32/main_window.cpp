// The application's main window handle.
//
// May contain: the one process-wide window handle. Only the user-interface thread touches it.
#include "platform/win32/main_window.h"

namespace halshift::win32 {
namespace {

HWND mainWindow = nullptr;

}  // namespace

void SetMainWindow(HWND window) { mainWindow = window; }

HWND MainWindow() { return mainWindow; }

}  // namespace halshift::win32
