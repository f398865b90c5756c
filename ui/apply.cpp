// The Apply action of the main dialog: the chosen operations, their log entries and messages.
#include <string>
#include <string_view>

#include "app/strings.h"
#include "hal/media_prompt.h"
#include "ui/main_dialog.h"

namespace halshift::ui {
namespace {

constexpr std::string_view kCautionCaption = "Caution";
constexpr std::string_view kContinueQuestion = "\nWould like to continue with the next operation";

}  // namespace

void HalUtilityDialog::OnApply(DialogControls& dialog) {
  const bool upgrade = dialog.GetCheck(IDC_UPGRADE_HAL);
  const bool downgrade = dialog.GetCheck(IDC_DOWNGRADE_HAL);
  const bool recovery = dialog.GetCheck(IDC_RECOVERY_OPTION);
  if (!upgrade && !downgrade && !recovery) {
    app_.ShowWarning(app_.LoadString(strings::kNothingSelected));
    return;
  }

  // The caution is a notice: whatever the answer, the media prompt follows.
  dialog.MessageBox(app_.LoadString(strings::kMediaCaution), kCautionCaption,
                    platform::kMbIconExclamation);
  std::optional<std::string> sourceDirectory =
      hal::ChooseSourceDirectory(host_, app_.survey, app_.Machine().files);
  if (!sourceDirectory) return;

  HalInstallation& installation = app_.installation;
  installation.SetSourceDirectory(std::move(*sourceDirectory));
  std::string error;

  if (recovery) {
    const bool disabling = installation.recoveryPresent != 0;
    const bool succeeded =
        disabling ? installation.DisableRecovery(error) : installation.EnableRecovery(error);
    if (succeeded) {
      app_.log.WriteEntry(app_.LoadString(disabling ? strings::kDisabled : strings::kEnabled));
      operationSucceeded = true;
    } else {
      const std::string failure =
          app_.LoadString(disabling ? strings::kDisableFailed : strings::kEnableFailed) + error;
      app_.log.WriteEntry(failure + "\n");
      const int answer = dialog.MessageBox(failure + std::string(kContinueQuestion),
                                           kMessageCaption,
                                           platform::kMbYesNo | platform::kMbIconInformation);
      // No ends the Apply here: the user's marks stay, and nothing is re-read or announced.
      if (answer == platform::kIdNo) return;
    }
  }

  if (upgrade || downgrade) {
    const bool succeeded = upgrade ? installation.UpgradeHal(error)
                                   : installation.DowngradeHal(error);
    if (succeeded) {
      app_.log.WriteEntry(app_.LoadString(upgrade ? strings::kUpgraded : strings::kDowngraded));
      operationSucceeded = true;
    } else {
      const std::string failure =
          app_.LoadString(upgrade ? strings::kUpgradeFailed : strings::kDowngradeFailed) + error;
      app_.log.WriteEntry(failure + "\n");
      app_.ShowWarning(failure);
    }
  }

  installation.IdentifyHal();
  RefreshState(dialog);
  // Changes of an earlier Apply are still waiting for the restart, so the notice follows
  // every Apply once anything has succeeded in the session.
  if (operationSucceeded) app_.ShowWarning(app_.LoadString(strings::kInstallationSuccessful));
}

}  // namespace halshift::ui
