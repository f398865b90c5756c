// The one way the Win32 bindings reach the Windows headers.
//
// May contain: <windows.h> and the few other Windows SDK headers the bindings need, and the
// #undef's that keep their macros out of the platform interfaces' names. Every file in
// platform/win32 includes this header instead of <windows.h>; nothing outside platform/win32
// includes it.
#pragma once

#include <windows.h>
#include <winver.h>

// <windows.h> maps these names to their ...A or ...W functions by macro. The platform
// interfaces use the bare names as method names, so the macros must go; the bindings call the
// ...A functions by their full names.
#undef CopyFile
#undef CreateDirectory
#undef CreateFile
#undef DeleteFile
#undef FindFirstFile
#undef GetDriveType
#undef GetFileAttributes
#undef GetModuleFileName
#undef GetPrivateProfileSection
#undef GetSystemDirectory
#undef GetTempFileName
#undef LoadString
#undef MessageBox
#undef MoveFile
#undef MoveFileEx
#undef QueryDosDevice
#undef SetFileAttributes
#undef VerInstallFile
#undef LoadLibrary
#undef GetModuleHandle
#undef WinHelp
#undef GetCommandLine
