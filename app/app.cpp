// Start-up and exit of halshift: help switches, run mode, checks, log and the run itself.
#include "app/app.h"

#include <algorithm>
#include <array>

#include "app/outcome_texts.h"
#include "core/locations.h"
#include "core/strings.h"
#include "base/text.h"
#include "base/winpath.h"
#include "bootmenu/boot_menu.h"
#include "hal/installer.h"
#include "inspect/identify.h"
#include "inspect/survey.h"

namespace halshift {
namespace {

constexpr std::array<std::string_view, 4> kHelpSwitches = {"/?", "-?", "-HELP", "/HELP"};

// Whether the command line, upper-cased, holds a help switch anywhere.
bool AsksForHelp(std::string_view commandLine) {
  return std::any_of(kHelpSwitches.begin(), kHelpSwitches.end(),
                     [&](std::string_view helpSwitch) { return text::Contains(commandLine, helpSwitch); });
}

bool IsWindowsNt40(std::uint32_t version) {
  const bool windowsNt = (version & 0x80000000u) == 0;
  const unsigned major = version & 0xFFu;
  const unsigned minor = (version >> 8) & 0xFFu;
  return windowsNt && major == 4 && minor == 0;
}

}  // namespace

std::string HelpFileOf(std::string_view programPath) {
  std::string helpFile(programPath);
  const auto dot = helpFile.rfind('.');
  if (dot != std::string::npos) helpFile.erase(dot);
  helpFile += ".HLP";
  return helpFile;
}

void HalUtilityApp::ShowStartupBox(unsigned textId) {
  if (silentMode) return;
  platform_.ui.MessageBox(platform::BoxOwner::kNone, LoadString(textId), LoadString(strings::kMessageCaption),
                          platform::kMbIconExclamation);
}

void HalUtilityApp::ShowWarning(std::string text) {
  if (silentMode) return;
  platform_.ui.MessageBox(platform::BoxOwner::kSession, text, LoadString(strings::kMessageCaption),
                          platform::kMbIconExclamation | platform::kMbOk);
}

void HalUtilityApp::ShowHelp() {
  platform_.ui.ShowHelp(HelpFileOf(platform_.system.GetModuleFileName()));
}

bool HalUtilityApp::Startup(std::string_view commandLineTail) {
  std::string commandLine(commandLineTail);
  if (!commandLine.empty()) {
    commandLine = text::ToUpper(commandLine);
    if (AsksForHelp(commandLine)) {
      // The help box comes before the run mode is decided, so it is shown in any case.
      platform_.ui.MessageBox(platform::BoxOwner::kNone, LoadString(strings::kUsage),
                              LoadString(strings::kHelpCaption), platform::kMbOk);
      return false;
    }
    silentMode = true;
  }

  if (!IsWindowsNt40(platform_.system.GetVersion())) {
    ShowStartupBox(strings::kUnsupportedOs);
    exitCode = 0;
    return false;
  }
  if (!platform_.system.OpenServiceControlManager()) {
    ShowStartupBox(strings::kNotAdministrator);
    exitCode = 0;
    return false;
  }

  // The drive designation of the system directory: its letter and colon.
  const std::string systemDirectory = platform_.system.GetSystemDirectory();
  const std::string drive = winpath::DriveDesignation(systemDirectory);
  platform_.files.CreateDirectory(locations::ProgramFolder(drive));
  platform_.files.CreateDirectory(locations::LogFolder(drive));
  if (!log.Open(locations::LogPath(drive))) {
    if (silentMode) {
      exitCode = 0;
      return false;
    }
    ShowStartupBox(strings::kLogNotOpened);
  }

  log.WriteSessionHeader(silentMode, commandLine);
  if (const std::string kept = platform_.system.KeptState(); !kept.empty()) {
    log.WriteEntry(text::FillIn(LoadString(strings::kLogKeptState), {kept}));
  }
  FinishInterruptedChanges();
  survey = inspect::RunSystemSurvey(platform_);
  inspect::IdentifyHal(platform_, installation);
  log.WriteCurrentState(survey, installation);
  if (inspect::FirmwareHidesProcessors(survey)) {
    log.WriteEntry(HiddenProcessorsNotice(platform_.ui, survey) + "\n");
  }
  if (inspect::InstalledFilesDisagree(installation)) {
    log.WriteEntry(InstalledFilesNotice(platform_.ui, installation) + "\n");
  }

  if (silentMode) {
    exitCode = RunCommandLine(*this, commandLine) ? 1 : 0;
  } else {
    if (window_) window_(*this);
    exitCode = 1;
  }
  return false;
}

void HalUtilityApp::FinishInterruptedChanges() {
  const hal::FinishedChange finished = hal::FinishInterruptedChange(platform_);
  switch (finished.outcome) {
    case hal::InterruptedChange::kNone:
      break;
    case hal::InterruptedChange::kCompleted:
      log.WriteEntry(LoadString(strings::kInterruptedCompleted));
      break;
    case hal::InterruptedChange::kUndone:
      log.WriteEntry(LoadString(strings::kInterruptedUndone));
      break;
    case hal::InterruptedChange::kFailed:
      log.WriteEntry(LoadString(strings::kInterruptedFailed));
      break;
  }
  // The change stands; only the repair information lags behind it.
  if (finished.setupLog == hal::SetupLogUpdate::kFailed) {
    log.WriteEntry(SetupLogLagText(platform_.ui, finished.setupLogPath) + "\n");
  }
  bootmenu::RemoveLeftoverTemporaryFiles(platform_.files);
}

int HalUtilityApp::Shutdown() {
  log.WriteSessionFooter();
  log.Close();
  return exitCode;
}

}  // namespace halshift
