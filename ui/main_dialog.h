// The main dialog of the interactive session (template IDD_HALSHIFT_DIALOG): the state found,
// the recommendation, the choices, and the Apply action that performs them.
#pragma once

#include "app/app.h"
#include "platform/dialog_host.h"
#include "ui/resource.h"

namespace halshift::ui {

class HalUtilityDialog : public platform::DialogHandler {
 public:
  HalUtilityDialog(HalUtilityApp& app, platform::DialogHost& host) : app_(app), host_(host) {}

  // Runs the dialog until it is closed; IDCANCEL, or platform::kDialogFailed when it cannot be shown.
  int DoModal() { return host_.RunModal(IDD_HALSHIFT_DIALOG, *this); }

  void OnInit(platform::DialogControls& dialog) override;
  void OnCommand(platform::DialogControls& dialog, int commandId) override;
  bool OnSystemCommand(platform::DialogControls& dialog, unsigned commandId) override;

  // Shows the state objects: HAL kind, processors, recovery entry, the recommendation with its
  // preselected choice, and the recovery option's caption (unchecked).
  void RefreshState(platform::DialogControls& dialog);

  // The Apply button: asks for the media, runs the chosen recovery and HAL operations, logs
  // and shows their outcomes, identifies the state again and refreshes (ui/apply.cpp).
  void OnApply(platform::DialogControls& dialog);

  // Set by every operation that succeeded during the session; never cleared.
  bool operationSucceeded = false;

 private:
  HalUtilityApp& app_;
  platform::DialogHost& host_;
};

// The interactive window of a session: the main dialog on the platform's dialog host, shown
// modally until it is closed; nothing when the platform cannot show dialogs.
void RunHalUtilityDialog(HalUtilityApp& app);

}  // namespace halshift::ui
