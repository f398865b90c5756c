// The About box (template IDD_ABOUTBOX), reached from the main window's system menu.
#pragma once

#include "ui/dialog_host.h"
#include "ui/resource.h"

namespace halshift::ui {

// Shows the program's name and version; closes with OK, Escape or the close box.
class AboutDialog : public DialogHandler {
 public:
  int DoModal(DialogHost& host) { return host.RunModal(IDD_ABOUTBOX, *this); }

  void OnInit(DialogControls&) override {}
  void OnCommand(DialogControls& dialog, int commandId) override;
};

}  // namespace halshift::ui
