// The source media prompt: asks the user where the Windows NT installation files are, until
// the answer names a directory that holds the uniprocessor HAL, or the user cancels.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/state.h"
#include "platform/platform.h"
#include "platform/dialog_host.h"
#include "ui/resource.h"

namespace halshift::ui {

// The modal "Insert Source Media" dialog (template IDD_SOURCE_MEDIA). Each time it opens it
// names the disc to insert and proposes the HAL on the first CD-ROM drive; Browse fills the
// location from the open-file chooser; OK takes whatever the location box holds.
class SourceMediaDialog : public platform::DialogHandler {
 public:
  SourceMediaDialog(platform::UserInterface& ui, const SystemSurvey& survey)
      : ui_(ui), survey_(survey) {}

  // Shows the dialog once; IDOK, IDCANCEL or platform::kDialogFailed.
  int DoModal(platform::DialogHost& host) { return host.RunModal(IDD_SOURCE_MEDIA, *this); }

  void OnInit(platform::DialogControls& dialog) override;
  void OnCommand(platform::DialogControls& dialog, int commandId) override;

  // The prompt shown in the dialog for the survey's service pack and mediaDrive.
  std::string PromptText() const;

  std::string fileLocation;  // the location the user accepted last
  std::string mediaDrive;    // the drive the prompt names, such as "D:"

 private:
  void OnBrowse(platform::DialogControls& dialog);
  std::string Text(unsigned id) const;

  platform::UserInterface& ui_;
  const SystemSurvey& survey_;
};

// Shows the media prompt until its location names an existing HAL file ("HAL.DLL" or
// "HAL.DL_" in its name), or a directory (or a file in a directory) that holds "hal.dll" or
// "hal.dl_". Returns that directory in upper case, or nothing when the user cancelled or the
// prompt could not be shown.
std::optional<std::string> ChooseSourceDirectory(platform::DialogHost& host,
                                                 platform::UserInterface& ui,
                                                 const SystemSurvey& survey,
                                                 platform::FileSystem& files);

}  // namespace halshift::ui
