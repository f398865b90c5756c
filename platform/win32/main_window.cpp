// The application's main window handle.
//
// May contain: the one process-wide window handle and help file. Only the user-interface thread touches it.
#include "platform/win32/main_window.h"

namespace halshift::win32 {
namespace {

HWND mainWindow = nullptr;
std::string helpFile;

}  // namespace

void SetMainWindow(HWND window) { mainWindow = window; }

HWND MainWindow() { return mainWindow; }

void SetHelpFile(std::string file) { helpFile = std::move(file); }

const std::string& HelpFile() { return helpFile; }

}  // namespace halshift::win32
