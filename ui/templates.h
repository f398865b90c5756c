// The dialog templates of halshift as data, for faces that draw the dialogs themselves (the
// terminal) and for tests. The resource script expands the same description (templates.inc).
#pragma once

#include <span>
#include <string_view>

#include "ui/resource.h"

namespace halshift::ui {

inline constexpr std::string_view kDialogFontFace = "MS Shell Dlg";
inline constexpr int kDialogFontPoints = 8;

// A popup with caption and system menu: the main window also has a minimize box, is visible
// and appears in the task bar; the others have a modal frame.
enum class FrameKind { kMainWindow, kModalFrame };

// The kinds listed in templates.inc; each fixes the control's styles.
enum class ControlKind {
  kGroupBox,
  kLabel,
  kLabelNoPrefix,
  kCenteredLabel,
  kIcon,
  kIconSlot,
  kRadioGroupStart,
  kRadio,
  kCheckBox,
  kEdit,
  kPushButton,
  kDefPushButton,
};

// Positions and sizes are in dialog units.
struct ControlTemplate {
  ControlKind kind;
  int id;
  std::string_view text;
  int icon;  // icon resource id of a kIcon control, else 0
  int left;
  int top;
  int width;
  int height;
};

struct DialogTemplate {
  int id;
  FrameKind frame;
  int width;
  int height;
  std::string_view title;
  std::span<const ControlTemplate> controls;  // in tab order
};

// The template with this id (IDD_ABOUTBOX, IDD_HALSHIFT_DIALOG, IDD_SOURCE_MEDIA), or null.
const DialogTemplate* FindDialogTemplate(int id);
// Every template, in the order of templates.inc.
std::span<const DialogTemplate> DialogTemplates();
// The control with this id in the template, or null. Ids shared by several static texts
// (IDC_STATIC) give the first of them.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

}  // namespace halshift::ui
