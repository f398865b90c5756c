// The application object: start-up, run-mode selection, checks and exit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/state.h"
#include "app/activity_log.h"
#include "platform/platform.h"

namespace halshift {

class HalUtilityApp;

// The interactive window: shows the main dialog modally until it is closed. The program hands
// it over (ui/main_dialog.h), so that the shell does not build on the window that builds on
// it; without one, an interactive session ends as if the dialog had been closed at once.
using InteractiveWindow = std::function<void(HalUtilityApp& app)>;

// The help file of a program file: its path with everything from its last "." replaced by
// ".HLP".
std::string HelpFileOf(std::string_view programPath);

class HalUtilityApp {
 public:
  explicit HalUtilityApp(platform::Platform& platform, InteractiveWindow window = {})
      : log(platform),
        platform_(platform),
        window_(std::move(window)) {}

  // Does all of the program's work for the command-line tail (the text after the program
  // name, leading blanks removed). Always returns false: there is no message loop to run.
  bool Startup(std::string_view commandLineTail);
  // Writes the log footer, closes the log and returns the exit code.
  int Shutdown();

  // A warning box titled "halshift Message" (OK, exclamation); nothing in silent mode.
  void ShowWarning(std::string text);
  // Opens the help file: the program's path with everything from its last "." as ".HLP".
  void ShowHelp();
  // A text of the string table.
  std::string LoadString(unsigned id) { return platform_.ui.LoadString(id); }

  platform::Platform& Machine() { return platform_; }

  bool silentMode = false;
  std::int32_t exitCode = 0;
  SystemSurvey survey;
  HalInstallation installation;
  ActivityLog log;

 private:
  void ShowStartupBox(unsigned textId);
  // A change of system files or of the boot menu that an ended process left unfinished is
  // finished, or undone, and logged in one entry; what such a run left behind is removed.
  void FinishInterruptedChanges();

  platform::Platform& platform_;
  InteractiveWindow window_;
};

// The silent run's driver (app/command_line.cpp): reads the keywords, finds the media, runs
// the requested operations, logs each outcome; true when everything requested succeeded.
bool RunCommandLine(HalUtilityApp& app, std::string commandLine);

}  // namespace halshift
