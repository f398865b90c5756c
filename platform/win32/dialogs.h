// The interactive window's dialogs on Win32: the dialog manager over the templates of the
// resource script.
//
// May contain: declarations only.
#pragma once

#include "platform/dialog_host.h"

namespace halshift::win32 {

// The process's one dialog host. It runs every dialog with DialogBoxParamA; the outermost
// dialog is registered as the main window (main_window.h) while it is open.
platform::DialogHost& DialogHostInstance();

}  // namespace halshift::win32
