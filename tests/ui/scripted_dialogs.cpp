// The scripted dialog host of the interactive window's tests.
#include "tests/ui/scripted_dialogs.h"

#include "platform/platform.h"
#include "ui/resource.h"

namespace halshift::testing {

ScriptedDialog::ScriptedDialog(ScriptedDialogHost& host, const ui::DialogTemplate& dialogTemplate,
                               platform::DialogHandler& handler)
    : host_(host), template_(dialogTemplate), handler_(handler) {
  for (const ui::ControlTemplate& control : dialogTemplate.controls) {
    if (control.id == IDC_STATIC) continue;
    controls[control.id] = Control{&control, std::string(control.text)};
  }
}

ScriptedDialog::Control& ScriptedDialog::At(int controlId) {
  auto found = controls.find(controlId);
  if (found == controls.end()) {
    ADD_FAILURE() << "dialog " << template_.id << " has no control " << controlId;
    static Control nowhere{nullptr, {}};
    nowhere = Control{nullptr, {}};
    return nowhere;
  }
  return found->second;
}

void ScriptedDialog::SetText(int controlId, std::string_view text) { At(controlId).text = text; }
std::string ScriptedDialog::GetText(int controlId) { return At(controlId).text; }

void ScriptedDialog::SetCheck(int controlId, bool checked) {
  Control& control = At(controlId);
  if (control.control != nullptr) {
    const ui::ControlKind kind = control.control->kind;
    EXPECT_TRUE(kind == ui::ControlKind::kRadio || kind == ui::ControlKind::kRadioGroupStart ||
                kind == ui::ControlKind::kCheckBox)
        << "check mark set on control " << controlId << ", which takes none";
  }
  control.checked = checked;
}

bool ScriptedDialog::GetCheck(int controlId) { return At(controlId).checked; }

void ScriptedDialog::End(int result) {
  EXPECT_FALSE(result_.has_value()) << "dialog " << template_.id << " ended twice";
  result_ = result;
}

int ScriptedDialog::MessageBox(std::string_view text, std::string_view caption, unsigned style) {
  host_.boxes.push_back({template_.id, std::string(text), std::string(caption), style});
  if (!host_.boxAnswers.empty()) {
    const int answer = host_.boxAnswers.front();
    host_.boxAnswers.pop_front();
    return answer;
  }
  return (style & 0xF) == platform::kMbYesNo ? platform::kIdYes : platform::kIdOk;
}

std::optional<std::string> ScriptedDialog::ChooseOpenFile(const platform::OpenFileRequest& request) {
  ScriptedDialogHost::FileRequest copy{std::string(request.title),
                                       std::string(request.initialName), {}, request.flags};
  for (const platform::FileFilter& filter : request.filters) {
    copy.filters.emplace_back(filter.label, filter.pattern);
  }
  host_.fileRequests.push_back(std::move(copy));
  std::string filters;
  for (const platform::FileFilter& filter : request.filters) {
    filters += std::string(filter.label) + "|" + std::string(filter.pattern) + ";";
  }
  host_.fileRequestFilters.push_back(filters);
  if (host_.fileAnswers.empty()) {
    ADD_FAILURE() << "unexpected open-file chooser";
    return std::nullopt;
  }
  auto answer = host_.fileAnswers.front();
  host_.fileAnswers.pop_front();
  return answer;
}

bool ScriptedDialog::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
  systemMenuItems.emplace_back(commandId, std::string(text));
  return true;
}

void ScriptedDialog::SetControlIcon(int controlId, int iconId, int width, int height) {
  At(controlId);
  controlIcons.push_back({controlId, iconId, width, height});
}

void ScriptedDialog::SetEmphasisFont(std::span<const int> controlIds) {
  for (int id : controlIds) {
    At(id);
    emphasised.push_back(id);
  }
}

void ScriptedDialog::Click(int controlId) {
  Control& clicked = At(controlId);
  if (clicked.control != nullptr) {
    switch (clicked.control->kind) {
      case ui::ControlKind::kCheckBox:
        clicked.checked = !clicked.checked;
        break;
      case ui::ControlKind::kRadio:
      case ui::ControlKind::kRadioGroupStart: {
        // Clear the other buttons of the group: the run of radio buttons around this one.
        const auto& all = template_.controls;
        std::size_t at = 0;
        while (all[at].id != controlId) ++at;
        std::size_t first = at;
        while (all[first].kind != ui::ControlKind::kRadioGroupStart) --first;
        for (std::size_t i = first; i < all.size(); ++i) {
          if (i > first && all[i].kind != ui::ControlKind::kRadio) break;
          controls[all[i].id].checked = false;
        }
        clicked.checked = true;
        break;
      }
      default:
        break;
    }
  }
  handler_.OnCommand(*this, controlId);
}

void ScriptedDialog::SystemCommand(unsigned commandId) {
  if (!handler_.OnSystemCommand(*this, commandId)) {
    ADD_FAILURE() << "system command " << commandId << " left to the default handling";
  }
}

int ScriptedDialogHost::RunModal(int templateId, platform::DialogHandler& handler) {
  shown.push_back(templateId);
  // A loop that keeps showing dialogs no script asked for would never end: stop it as a
  // person would, with Cancel, and fail.
  if (shown.size() > kMaxDialogs) {
    ADD_FAILURE() << "more than " << kMaxDialogs << " dialogs shown";
    return platform::kIdCancel;
  }
  const ui::DialogTemplate* dialogTemplate = ui::FindDialogTemplate(templateId);
  if (dialogTemplate == nullptr) {
    ADD_FAILURE() << "no template " << templateId;
    return platform::kDialogFailed;
  }
  if (scenes.empty()) {
    if (!expectFailure) ADD_FAILURE() << "dialog " << templateId << " shown with no scene left";
    return platform::kDialogFailed;
  }
  Scene scene = std::move(scenes.front());
  scenes.pop_front();

  ScriptedDialog dialog(*this, *dialogTemplate, handler);
  open.push_back(&dialog);
  handler.OnInit(dialog);
  if (templateId == IDD_SOURCE_MEDIA) {
    promptTexts.push_back(dialog.GetText(IDC_MEDIA_PROMPT));
    proposedLocations.push_back(dialog.GetText(IDC_FILE_LOCATION));
  }
  scene(dialog);
  open.pop_back();
  if (!dialog.Ended()) {
    ADD_FAILURE() << "the scene of dialog " << templateId << " left it open";
    return platform::kDialogFailed;
  }
  return dialog.Result();
}

}  // namespace halshift::testing
