// The About box: no behaviour beyond closing.
#include "ui/about_dialog.h"

#include "platform/platform.h"

namespace halshift::ui {

void AboutDialog::OnCommand(platform::DialogControls& dialog, int commandId) {
  if (commandId == IDC_OK) dialog.End(platform::kIdOk);
  if (commandId == IDC_CANCEL) dialog.End(platform::kIdCancel);
}

}  // namespace halshift::ui
