// Entry point of halshift.exe: builds the Win32 platform and runs the application object.
//
// May contain: the process's start and end, and the construction of the Win32 bindings.
#include "app/app.h"
#include "platform/win32/command_tail.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "ui/main_dialog.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // GetCommandLineA rather than WinMain's own argument: the tail is taken by the same rule on
  // every start-up code, whether or not the program name was quoted.
  const char* commandLine = ::GetCommandLineA();
  const std::string_view tail =
      halshift::win32::CommandLineTail(commandLine != nullptr ? commandLine : "");

  halshift::win32::SystemInfo system;
  halshift::win32::Registry registry;
  halshift::win32::FileSystem files;
  halshift::win32::PhysicalMemory memory;
  halshift::win32::NativeLinks links;
  halshift::win32::UserInterface ui;
  halshift::win32::StandardOutput out;
  halshift::win32::Clock clock;
  halshift::platform::Platform platform{system, registry, files, memory, links, ui, out, clock};

  halshift::HalUtilityApp app(platform, halshift::ui::RunHalUtilityDialog);
  app.Startup(tail);
  return app.Shutdown();
}
