// The application's main window, which owns the session's message boxes and the help viewer.
//
// May contain: the record of one window handle. The dialog code sets it while the main dialog
// is shown and clears it (nullptr) when the dialog ends.
#pragma once

#include "platform/win32/windows_api.h"

namespace halshift::win32 {

void SetMainWindow(HWND window);
// nullptr while there is no main window.
HWND MainWindow();

}  // namespace halshift::win32
