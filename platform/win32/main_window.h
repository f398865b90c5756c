// The application's main window, which owns the session's message boxes and the help viewer.
//
// May contain: the record of one window handle and of the help file the session opened. The
// dialog code sets the window while the main dialog is shown and clears it (nullptr) when the
// dialog ends; ShowHelp records the file it opens, which the main window quits when it closes.
#pragma once

#include <string>

#include "platform/win32/windows_api.h"

namespace halshift::win32 {

void SetMainWindow(HWND window);
// nullptr while there is no main window.
HWND MainWindow();

void SetHelpFile(std::string file);
// Empty while no help file has been opened.
const std::string& HelpFile();

}  // namespace halshift::win32
