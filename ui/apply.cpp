// The Apply action of the main dialog: the chosen operations, their log entries and messages.
#include <string>
#include <string_view>

#include "core/strings.h"
#include "app/operations.h"
#include "inspect/identify.h"
#include "ui/media_prompt.h"
#include "ui/main_dialog.h"

namespace halshift::ui {
void HalUtilityDialog::OnApply(platform::DialogControls& dialog) {
  const bool upgrade = dialog.GetCheck(IDC_UPGRADE_HAL);
  const bool downgrade = dialog.GetCheck(IDC_DOWNGRADE_HAL);
  const bool recovery = dialog.GetCheck(IDC_RECOVERY_OPTION);
  if (!upgrade && !downgrade && !recovery) {
    app_.ShowWarning(app_.LoadString(strings::kNothingSelected));
    return;
  }

  // The caution is a notice: whatever the answer, the media prompt follows.
  dialog.MessageBox(app_.LoadString(strings::kMediaCaution), app_.LoadString(strings::kCautionCaption),
                    platform::kMbIconExclamation);
  std::optional<std::string> sourceDirectory =
      ChooseSourceDirectory(host_, app_.Machine().ui, app_.survey, app_.Machine().files);
  if (!sourceDirectory) return;

  HalInstallation& installation = app_.installation;
  installation.sourceDirectory = std::move(*sourceDirectory);

  if (recovery) {
    // The option removes the entry when it is there and adds it when it is not.
    const OperationReport report =
        RunOperation(app_, installation.recoveryPresent ? Operation::kDisableRecovery
                                                        : Operation::kEnableRecovery);
    if (report.succeeded) {
      operationSucceeded = true;
    } else {
      const int answer = dialog.MessageBox(report.failure + app_.LoadString(strings::kContinueQuestion),
                                           app_.LoadString(strings::kMessageCaption),
                                           platform::kMbYesNo | platform::kMbIconInformation);
      // No ends the Apply here: the user's marks stay, and nothing is re-read or announced.
      if (answer == platform::kIdNo) return;
    }
  }

  if (upgrade || downgrade) {
    const OperationReport report =
        RunOperation(app_, upgrade ? Operation::kUpgradeHal : Operation::kDowngradeHal);
    if (report.succeeded) {
      operationSucceeded = true;
      if (!report.warning.empty()) app_.ShowWarning(report.warning);
    } else {
      app_.ShowWarning(report.failure);
    }
  }

  inspect::IdentifyHal(app_.Machine(), installation);
  RefreshState(dialog);
  // Changes of an earlier Apply are still waiting for the restart, so the notice follows
  // every Apply once anything has succeeded in the session.
  if (operationSucceeded) app_.ShowWarning(app_.LoadString(strings::kInstallationSuccessful));
}

}  // namespace halshift::ui
