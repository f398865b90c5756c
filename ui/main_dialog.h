// The main dialog of the interactive session (template IDD_HALSHIFT_DIALOG): the state found,
// the recommendation, the choices, and the Apply action that performs them.
#pragma once

#include "app/app.h"
#include "ui/dialog_host.h"
#include "ui/resource.h"

namespace halshift::ui {

class HalUtilityDialog : public DialogHandler {
 public:
  HalUtilityDialog(HalUtilityApp& app, DialogHost& host) : app_(app), host_(host) {}

  // Runs the dialog until it is closed; IDCANCEL, or kDialogFailed when it cannot be shown.
  int DoModal() { return host_.RunModal(IDD_HALSHIFT_DIALOG, *this); }

  void OnInit(DialogControls& dialog) override;
  void OnCommand(DialogControls& dialog, int commandId) override;
  bool OnSystemCommand(DialogControls& dialog, unsigned commandId) override;

  // Shows the state objects: HAL kind, processors, recovery entry, the recommendation with its
  // preselected choice, and the recovery option's caption (unchecked).
  void RefreshState(DialogControls& dialog);

  // The Apply button: asks for the media, runs the chosen recovery and HAL operations, logs
  // and shows their outcomes, identifies the state again and refreshes (ui/apply.cpp).
  void OnApply(DialogControls& dialog);

  // Set by every operation that succeeded during the session; never cleared.
  bool operationSucceeded = false;

 private:
  HalUtilityApp& app_;
  DialogHost& host_;
};

}  // namespace halshift::ui
