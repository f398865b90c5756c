// The main dialog: its initialization, the state it shows, and its commands.
#include "ui/main_dialog.h"

#include <array>
#include <string>

#include "app/outcome_texts.h"
#include "core/strings.h"
#include "hal/upgrade.h"
#include "inspect/identify.h"
#include "inspect/survey.h"
#include "ui/about_dialog.h"

namespace halshift::ui {
namespace {

constexpr int kBannerWidth = 96;
constexpr int kBannerHeight = 18;
constexpr std::array<int, 3> kStateValueControls = {IDC_CURRENT_HAL, IDC_INSTALLED_PROCESSORS,
                                                    IDC_RECOVERY_STATE};

}  // namespace

void HalUtilityDialog::OnInit(platform::DialogControls& dialog) {
  // An empty menu text leaves the system menu as it is, separator included.
  const std::string aboutItem = app_.LoadString(strings::kAboutMenu);
  if (!aboutItem.empty()) dialog.AppendSystemMenuItem(IDM_ABOUTBOX, aboutItem);
  dialog.SetWindowIcon(IDR_MAINFRAME);
  dialog.SetControlIcon(IDC_BANNER, IDI_BANNER, kBannerWidth, kBannerHeight);
  dialog.SetEmphasisFont(kStateValueControls);
  RefreshState(dialog);
  // Once each, as the window opens, in the order of the log.
  if (inspect::FirmwareHidesProcessors(app_.survey)) {
    dialog.MessageBox(HiddenProcessorsNotice(app_.Machine().ui, app_.survey),
                      app_.LoadString(strings::kMessageCaption), platform::kMbIconExclamation);
  }
  // The state shown is still the recorded one.
  if (inspect::InstalledFilesDisagree(app_.installation)) {
    dialog.MessageBox(InstalledFilesNotice(app_.Machine().ui, app_.installation),
                      app_.LoadString(strings::kMessageCaption), platform::kMbIconExclamation);
  }
}

void HalUtilityDialog::RefreshState(platform::DialogControls& dialog) {
  const HalInstallation& installation = app_.installation;
  dialog.SetText(IDC_CURRENT_HAL, app_.LoadString(strings::HalKindText(installation.halKind)));
  dialog.SetText(IDC_INSTALLED_PROCESSORS, std::to_string(app_.survey.installedProcessors));
  dialog.SetText(IDC_RECOVERY_STATE,
                 app_.LoadString(strings::RecoveryStateText(installation.recoveryPresent)));

  for (int choice : {IDC_UPGRADE_HAL, IDC_DOWNGRADE_HAL, IDC_KEEP_HAL, IDC_RECOVERY_OPTION}) {
    dialog.SetCheck(choice, false);
  }
  if (hal::UpgradeRecommended(app_.survey, installation)) {
    dialog.SetText(IDC_RECOMMENDATION, app_.LoadString(strings::kUpgradeRecommended));
    dialog.SetCheck(IDC_UPGRADE_HAL, true);
  } else if (hal::DowngradeRecommended(app_.survey, installation)) {
    dialog.SetText(IDC_RECOMMENDATION, app_.LoadString(strings::kDowngradeRecommended));
    dialog.SetCheck(IDC_DOWNGRADE_HAL, true);
  } else {
    dialog.SetText(IDC_RECOMMENDATION, app_.LoadString(strings::kCorrectHal));
    dialog.SetCheck(IDC_KEEP_HAL, true);
  }
  // The option removes the entry when it is there and adds it when it is not.
  dialog.SetText(IDC_RECOVERY_OPTION,
                 app_.LoadString(installation.recoveryPresent ? strings::kDisableRecoveryOption
                                                              : strings::kEnableRecoveryOption));
}

void HalUtilityDialog::OnCommand(platform::DialogControls& dialog, int commandId) {
  switch (commandId) {
    case IDC_APPLY:
      OnApply(dialog);
      break;
    case IDC_CLOSE:
      dialog.End(platform::kIdCancel);
      break;
    case ID_HELP:
      app_.ShowHelp();
      break;
    default:
      break;
  }
}

bool HalUtilityDialog::OnSystemCommand(platform::DialogControls&, unsigned commandId) {
  if ((commandId & platform::kSystemCommandMask) != IDM_ABOUTBOX) return false;
  AboutDialog about;
  about.DoModal(host_);
  return true;
}

void RunHalUtilityDialog(HalUtilityApp& app) {
  platform::DialogHost* host = app.Machine().ui.Dialogs();
  if (host == nullptr) return;
  HalUtilityDialog dialog(app, *host);
  dialog.DoModal();
}

}  // namespace halshift::ui
