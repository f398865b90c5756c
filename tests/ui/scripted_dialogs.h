// A platform::DialogHost that plays a script instead of a person: each RunModal takes the next scene,
// which acts on the dialog (types, ticks, presses buttons) after the handler's OnInit. The
// controls are made from the real templates, so an id the template lacks fails the test.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialog_host.h"
#include "ui/templates.h"

namespace halshift::testing {

struct DialogBox {
  int dialogId;  // template of the dialog that owned the box
  std::string text;
  std::string caption;
  unsigned style;
};

class ScriptedDialogHost;

// One open dialog: its controls' texts and marks, and what the handler asked of it.
class ScriptedDialog : public platform::DialogControls {
 public:
  ScriptedDialog(ScriptedDialogHost& host, const ui::DialogTemplate& dialogTemplate,
                 platform::DialogHandler& handler);

  void SetText(int controlId, std::string_view text) override;
  std::string GetText(int controlId) override;
  void SetCheck(int controlId, bool checked) override;
  bool GetCheck(int controlId) override;
  void End(int result) override;
  int MessageBox(std::string_view text, std::string_view caption, unsigned style) override;
  std::optional<std::string> ChooseOpenFile(const platform::OpenFileRequest& request) override;
  bool AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
  void SetWindowIcon(int iconId) override { windowIcon = iconId; }
  void SetControlIcon(int controlId, int iconId, int width, int height) override;
  void SetEmphasisFont(std::span<const int> controlIds) override;

  // What a person does: a click (auto radio buttons and check boxes change their own mark
  // first, radio buttons clearing the others of their group), typing into a control, a
  // system-menu command.
  void Click(int controlId);
  void Type(int controlId, std::string_view text) { SetText(controlId, text); }
  void SystemCommand(unsigned commandId);

  int Id() const { return template_.id; }
  bool Ended() const { return result_.has_value(); }
  int Result() const { return result_.value_or(platform::kDialogFailed); }

  struct Control {
    const ui::ControlTemplate* control;
    std::string text;
    bool checked = false;
  };
  Control& At(int controlId);

  std::map<int, Control> controls;
  std::vector<std::pair<unsigned, std::string>> systemMenuItems;
  int windowIcon = 0;
  std::vector<std::vector<int>> controlIcons;  // {control, icon, width, height}
  std::vector<int> emphasised;

 private:
  ScriptedDialogHost& host_;
  const ui::DialogTemplate& template_;
  platform::DialogHandler& handler_;
  std::optional<int> result_;
};

class ScriptedDialogHost : public platform::DialogHost {
 public:
  using Scene = std::function<void(ScriptedDialog&)>;

  // Runs the next scene on the dialog. Without a scene left, the dialog "cannot be shown":
  // the test fails unless failing is what it expects (expectFailure).
  int RunModal(int templateId, platform::DialogHandler& handler) override;

  void Then(Scene scene) { scenes.push_back(std::move(scene)); }
  // A scene that only presses a button.
  void ThenPress(int controlId) {
    Then([controlId](ScriptedDialog& dialog) { dialog.Click(controlId); });
  }

  static constexpr std::size_t kMaxDialogs = 50;

  std::deque<Scene> scenes;
  bool expectFailure = false;
  std::vector<int> shown;                  // template ids, in the order they were run
  std::vector<DialogBox> boxes;            // boxes owned by a dialog
  std::deque<int> boxAnswers;              // answers to them; IDOK / IDYES when empty
  // The chooser requests made, copied: a request's texts live only as long as the call.
  struct FileRequest {
    std::string title;
    std::string initialName;
    std::vector<std::pair<std::string, std::string>> filters;  // label, pattern
    unsigned flags = 0;
  };
  std::vector<FileRequest> fileRequests;
  std::vector<std::string> fileRequestFilters;  // "label|pattern;..." of each request
  std::deque<std::optional<std::string>> fileAnswers;  // nothing: the chooser was cancelled
  std::vector<std::string> promptTexts;   // IDC_MEDIA_PROMPT of each media prompt shown
  std::vector<std::string> proposedLocations;  // IDC_FILE_LOCATION after each OnInit
  std::vector<ScriptedDialog*> open;
};

}  // namespace halshift::testing
