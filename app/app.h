// The application object: start-up, run-mode selection, checks and exit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/state.h"
#include "log/activity_log.h"
#include "platform/platform.h"

namespace halshift {

inline constexpr std::string_view kMessageCaption = "halshift Message";
inline constexpr std::string_view kHelpCaption = "Command-Line Help";

class HalUtilityApp {
 public:
  explicit HalUtilityApp(platform::Platform& platform)
      : survey(platform), installation(platform, survey), log(platform), platform_(platform) {}

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

  platform::Platform& platform_;
};

// The silent run's driver (app/command_line.cpp): reads the keywords, finds the media, runs
// the requested operations, logs each outcome; true when everything requested succeeded.
bool RunCommandLine(HalUtilityApp& app, std::string commandLine);

// The interactive window (ui/): shows the main dialog modally until it is closed.
void RunHalUtilityDialog(HalUtilityApp& app);

}  // namespace halshift
