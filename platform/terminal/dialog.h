// One dialog of the terminal face as a model: its controls laid out in character cells from the
// template, the focus, the keys a person presses and the commands they give, and the drawing
// onto a Canvas. It behaves as the Win32 dialog manager does for the same template.
//
// May contain: C++ standard library only (no terminal library, no system calls).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/dialog_host.h"
#include "platform/terminal/screen.h"
#include "ui/templates.h"

namespace halshift::terminal {

// What a key asks of the dialog's handler.
struct DialogAction {
  enum class Kind {
    kNone,           // handled inside the dialog (focus, marks, editing, the menu) or ignored
    kCommand,        // OnCommand(id): a button pressed, a radio button or check box clicked
    kSystemCommand,  // OnSystemCommand(id), from the system menu
  };
  Kind kind = Kind::kNone;
  unsigned id = 0;

  bool operator==(const DialogAction&) const = default;
  static DialogAction Command(int commandId) {
    return {Kind::kCommand, static_cast<unsigned>(commandId)};
  }
  static DialogAction SystemCommand(unsigned commandId) { return {Kind::kSystemCommand, commandId}; }
};

// The text of a single-line edit box, with its caret, selection and horizontal scroll.
class EditField {
 public:
  void SetText(std::string_view text);
  const std::string& Text() const { return text_; }
  // What the Win32 dialog manager does when the box gets the focus: everything is selected.
  void SelectAll();
  // Handles an editing key; false when the key is not one for the box.
  bool HandleKey(const Key& key);
  // The visible part for a box of width cells: first character shown, caret column.
  std::size_t Scroll() const { return scroll_; }
  std::size_t Caret() const { return caret_; }
  bool AllSelected() const { return allSelected_ && !text_.empty(); }
  // Keeps the caret inside a window of width characters.
  void FitTo(int width);

 private:
  void ReplaceSelection();
  std::string text_;
  std::size_t caret_ = 0;
  std::size_t scroll_ = 0;
  bool allSelected_ = false;
};

class DialogModel : public Layer {
 public:
  explicit DialogModel(const ui::DialogTemplate& dialogTemplate);

  const ui::DialogTemplate& Template() const { return template_; }

  // The controls, as DialogControls reaches them. Ids shared by several controls
  // (IDC_STATIC) reach the first of them.
  void SetText(int controlId, std::string_view text);
  std::string GetText(int controlId) const;
  void SetCheck(int controlId, bool checked);
  bool GetCheck(int controlId) const;
  void SetEmphasis(int controlId);
  // Adds a separator and the item to the system menu.
  void AppendSystemMenuItem(unsigned commandId, std::string_view text);

  // Frame included; the same on every screen.
  Size FrameSize() const { return {client_.width + 2, client_.height + 2}; }
  Size Extent(Size) const override { return FrameSize(); }
  // Client coordinates of a control (the first with that id), for tests.
  Rect ControlRect(int controlId) const;

  // Draws the dialog with its frame's top-left corner at origin, and the system menu when it
  // is open; the caret goes where the focus is.
  void Draw(Canvas& canvas, Point origin) const override;

  DialogAction HandleKey(const Key& key);

  // The id of the control with the focus, 0 when no control can take it.
  int FocusId() const;
  bool MenuOpen() const { return menuOpen_; }
  // The button Enter presses now: the focused push button, else the default button, else
  // IDOK.
  int EnterCommand() const;

 private:
  struct Widget {
    const ui::ControlTemplate* control;
    std::string text;
    bool checked = false;
    bool emphasised = false;
    Rect rect;        // client cells
    Rect textArea;    // labels: the cells their text may use
    int edgeMargin = 0;  // labels: a column more that text as written may take
    EditField edit;   // edit boxes
  };
  struct MenuItem {
    unsigned id;  // 0: separator
    std::string text;
  };

  // Lays the controls out in cells: placed from their units, moved right where a one-line
  // label needs the room, and each label given the cells its text may use.
  void Layout();
  void PlaceControls();
  void MakeRoomForLabels();
  void FitLabelText(Widget& label);
  // The inside of the smallest group box around the top-left cell of own, else the client.
  Rect ContainerOf(const Rect& own) const;
  // Whether other bounds the cells label's text may take (group boxes and icons do not).
  static bool LimitsLabel(const Widget& other, const Widget& label);
  Widget* Find(int controlId);
  const Widget* Find(int controlId) const;
  bool TakesFocus(std::size_t index) const;
  bool IsRadio(std::size_t index) const;
  bool IsPushButton(std::size_t index) const;
  void MoveFocus(int direction);
  void SetFocus(std::size_t index);
  DialogAction Click(std::size_t index);
  DialogAction MoveInRadioGroup(int direction);
  DialogAction PressMnemonic(char letter);
  DialogAction HandleMenuKey(const Key& key);
  // The arrows, Space and the letters for the focused control (not an edit box).
  DialogAction HandleFocusedControlKey(const Key& key);
  void MoveMenuSelection(int direction);
  // r: the widget's cells on the canvas.
  void DrawWidget(Canvas& canvas, Point client, const Widget& widget, bool focused) const;
  void DrawLabel(Canvas& canvas, Point client, const Rect& r, const Widget& widget) const;
  void DrawMarkButton(Canvas& canvas, Point client, const Rect& r, const Widget& widget,
                      bool focused) const;
  void DrawEdit(Canvas& canvas, const Rect& r, const Widget& widget, bool focused) const;
  void DrawPushButton(Canvas& canvas, const Rect& r, const Widget& widget, bool focused) const;
  void DrawMenu(Canvas& canvas, Point client) const;

  const ui::DialogTemplate& template_;
  Rect client_;
  std::vector<Widget> widgets_;
  std::size_t focus_ = 0;
  bool hasFocus_ = false;
  std::vector<MenuItem> menu_;
  bool menuOpen_ = false;
  std::size_t menuSelection_ = 0;
};

}  // namespace halshift::terminal
