// The About box (template IDD_ABOUTBOX), reached from the main window's system menu.
#pragma once

#include "platform/dialog_host.h"
#include "ui/resource.h"

namespace halshift::ui {

// Shows the program's name and version; closes with OK, Escape or the close box.
class AboutDialog : public platform::DialogHandler {
 public:
  int DoModal(platform::DialogHost& host) { return host.RunModal(IDD_ABOUTBOX, *this); }

  void OnInit(platform::DialogControls&) override {}
  void OnCommand(platform::DialogControls& dialog, int commandId) override;
};

}  // namespace halshift::ui
