// The dialog templates as a table, expanded from the description the resource script uses.
#include "ui/templates.h"

#include <array>

#include "base/version.h"

namespace halshift::ui {
namespace {

#define HALSHIFT_CXX_CONTROL(kind, id, text, icon, left, top, width, height) \
  ControlTemplate{ControlKind::k##kind, id, text, icon, left, top, width, height},

// One array of controls per template...
#define HALSHIFT_DIALOG(id, frame, width, height, title, controls) \
  constexpr ControlTemplate kControls##id[] = {controls(HALSHIFT_CXX_CONTROL)};
#include "ui/templates.inc"
#undef HALSHIFT_DIALOG

// ...and the templates over them.
#define HALSHIFT_DIALOG(id, frame, width, height, title, controls) \
  DialogTemplate{id, FrameKind::k##frame, width, height, title, kControls##id},
constexpr DialogTemplate kTemplates[] = {
#include "ui/templates.inc"
};
#undef HALSHIFT_DIALOG
#undef HALSHIFT_CXX_CONTROL

}  // namespace

std::span<const DialogTemplate> DialogTemplates() { return kTemplates; }

const DialogTemplate* FindDialogTemplate(int id) {
  for (const DialogTemplate& dialog : kTemplates) {
    if (dialog.id == id) return &dialog;
  }
  return nullptr;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
  for (const ControlTemplate& control : dialog.controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace halshift::ui
