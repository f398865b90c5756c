// Layout, keys and drawing of one dialog of the terminal face.
#include "platform/terminal/dialog.h"

#include <algorithm>
#include <map>

#include "base/text.h"
#include "platform/platform.h"
#include "ui/resource.h"

namespace halshift::terminal {
namespace {

using ui::ControlKind;

// "[ ] " and "( ) " before a button's caption.
constexpr int kMarkWidth = 4;

bool IsLabelKind(ControlKind kind) {
  return kind == ControlKind::kLabel || kind == ControlKind::kLabelNoPrefix ||
         kind == ControlKind::kCenteredLabel;
}

bool IsPictureKind(ControlKind kind) {
  return kind == ControlKind::kIcon || kind == ControlKind::kIconSlot;
}

bool IsPushKind(ControlKind kind) {
  return kind == ControlKind::kPushButton || kind == ControlKind::kDefPushButton;
}

bool IsRadioKind(ControlKind kind) {
  return kind == ControlKind::kRadioGroupStart || kind == ControlKind::kRadio;
}

// What a caption shows: with "&" processing for every kind but kLabelNoPrefix.
Mnemonic ShownCaption(ControlKind kind, std::string_view text) {
  if (kind == ControlKind::kLabelNoPrefix) return Mnemonic{std::string(text), std::string::npos};
  return ParseMnemonic(text);
}

// Push button face: "< Apply >", or "[< Apply >]" for the button Enter presses.
std::string ButtonFace(const Mnemonic& caption, bool isDefault) {
  std::string face = "< " + caption.text + " >";
  return isDefault ? "[" + face + "]" : face;
}

std::size_t ButtonMnemonicOffset(bool isDefault) { return isDefault ? 3 : 2; }

}  // namespace

// ---- EditField ----

void EditField::SetText(std::string_view text) {
  text_ = std::string(text);
  caret_ = text_.size();
  scroll_ = 0;
  allSelected_ = false;
}

void EditField::SelectAll() {
  allSelected_ = true;
  caret_ = text_.size();
}

void EditField::ReplaceSelection() {
  if (!AllSelected()) {
    allSelected_ = false;
    return;
  }
  text_.clear();
  caret_ = 0;
  scroll_ = 0;
  allSelected_ = false;
}

bool EditField::HandleKey(const Key& key) {
  switch (key.code) {
    case KeyCode::kChar:
      if (static_cast<unsigned char>(key.ch) < 0x20 || key.ch == 0x7F) return false;
      ReplaceSelection();
      text_.insert(caret_, 1, key.ch);
      ++caret_;
      return true;
    case KeyCode::kBackspace:
      if (AllSelected()) {
        ReplaceSelection();
      } else if (caret_ > 0) {
        text_.erase(--caret_, 1);
      }
      return true;
    case KeyCode::kDelete:
      if (AllSelected()) {
        ReplaceSelection();
      } else if (caret_ < text_.size()) {
        text_.erase(caret_, 1);
      }
      return true;
    case KeyCode::kLeft:
      if (AllSelected()) {
        allSelected_ = false;
        caret_ = 0;
      } else if (caret_ > 0) {
        --caret_;
      }
      return true;
    case KeyCode::kRight:
      allSelected_ = false;
      if (caret_ < text_.size()) ++caret_;
      return true;
    case KeyCode::kHome:
      allSelected_ = false;
      caret_ = 0;
      return true;
    case KeyCode::kEnd:
      allSelected_ = false;
      caret_ = text_.size();
      return true;
    default:
      return false;
  }
}

void EditField::FitTo(int width) {
  const std::size_t window = static_cast<std::size_t>(std::max(width, 1));
  // The caret may stand after the last character, so the window holds window - 1 of them
  // before it.
  if (caret_ < scroll_) scroll_ = caret_;
  if (caret_ >= scroll_ + window) scroll_ = caret_ - window + 1;
  if (scroll_ > text_.size()) scroll_ = text_.size();
}

// ---- DialogModel: layout ----

DialogModel::DialogModel(const ui::DialogTemplate& dialogTemplate) : template_(dialogTemplate) {
  client_ = {0, 0, ColumnOf(template_.width), RowOf(template_.height)};
  for (const ui::ControlTemplate& control : template_.controls) {
    Widget widget{&control, std::string(control.text), false, false, {}, {}, 0, {}};
    if (control.kind == ControlKind::kEdit) widget.edit.SetText(control.text);
    widgets_.push_back(std::move(widget));
  }
  Layout();
  for (std::size_t i = 0; i < widgets_.size(); ++i) {
    if (TakesFocus(i)) {
      SetFocus(i);
      break;
    }
  }
  menu_.push_back({platform::kSystemCommandClose, "&Close"});
}

void DialogModel::Layout() {
  PlaceControls();
  MakeRoomForLabels();
  for (Widget& label : widgets_) {
    if (IsLabelKind(label.control->kind)) FitLabelText(label);
  }
}

void DialogModel::PlaceControls() {
  // Cells from dialog units. Buttons, radio buttons, check boxes and edit boxes are one row
  // high whatever their height in units; a group box's last row is its bottom edge.
  for (Widget& widget : widgets_) {
    const ui::ControlTemplate& c = *widget.control;
    const int left = ColumnOf(c.left);
    const int top = RowOf(c.top);
    int height = RowOf(c.top + c.height) - top;
    if (!IsLabelKind(c.kind) && c.kind != ControlKind::kGroupBox && !IsPictureKind(c.kind)) {
      height = 1;
    }
    if (c.kind == ControlKind::kGroupBox) height = std::max(height, 2);
    widget.rect = {left, top, std::max(ColumnOf(c.left + c.width) - left, 1), std::max(height, 1)};
  }
}

bool DialogModel::LimitsLabel(const Widget& other, const Widget& label) {
  return &other != &label && other.control->kind != ControlKind::kGroupBox &&
         !IsPictureKind(other.control->kind);
}

void DialogModel::MakeRoomForLabels() {
  // A one-line label whose text needs more columns than there are before the next control on
  // its row pushes that control, and every control aligned with it, to the right: the
  // template's proportional font fitted more characters into the same units.
  std::map<int, int> shiftOfColumn;  // template left edge -> cells to move right
  for (const Widget& label : widgets_) {
    if (!IsLabelKind(label.control->kind) || label.rect.height != 1) continue;
    if (label.control->text.find('\n') != std::string_view::npos) continue;
    const int needed = static_cast<int>(ShownCaption(label.control->kind, label.control->text).text.size()) + 1;
    for (const Widget& other : widgets_) {
      if (!LimitsLabel(other, label)) continue;
      const bool sameRows = other.rect.top < label.rect.Bottom() && label.rect.top < other.rect.Bottom();
      if (!sameRows || other.rect.left <= label.rect.left) continue;
      const int room = other.rect.left - label.rect.left;
      if (needed > room) {
        int& shift = shiftOfColumn[other.control->left];
        shift = std::max(shift, needed - room);
      }
    }
  }
  for (Widget& widget : widgets_) {
    const auto shift = shiftOfColumn.find(widget.control->left);
    if (shift == shiftOfColumn.end()) continue;
    widget.rect.left += shift->second;
    widget.rect.width = std::max(1, std::min(widget.rect.width, client_.width - widget.rect.left));
  }
}

Rect DialogModel::ContainerOf(const Rect& own) const {
  Rect container = client_;
  for (const Widget& group : widgets_) {
    if (group.control->kind != ControlKind::kGroupBox) continue;
    const Rect inside{group.rect.left + 1, group.rect.top + 1, group.rect.width - 2,
                      group.rect.height - 2};
    if (own.left >= inside.left && own.top >= inside.top && own.left < inside.Right() &&
        own.top < inside.Bottom() && inside.width * inside.height < container.width * container.height) {
      container = inside;
    }
  }
  return container;
}

void DialogModel::FitLabelText(Widget& label) {
  // A label's text may use the cells to its right and below it up to the next control or the
  // edge of the group box (or dialog) around it.
  const Rect own = label.rect;
  const Rect container = ContainerOf(own);
  // Wrapped text inside a group box keeps one blank column before its edge.
  label.edgeMargin = container.width < client_.width ? 1 : 0;
  int right = container.Right() - label.edgeMargin;
  for (const Widget& other : widgets_) {
    const bool sameRows = other.rect.top < own.Bottom() && own.top < other.rect.Bottom();
    if (LimitsLabel(other, label) && sameRows && other.rect.left > own.left) {
      right = std::min(right, other.rect.left - 1);
    }
  }
  right = std::max(right, std::min(own.Right(), container.Right()));
  int bottom = container.Bottom();
  for (const Widget& other : widgets_) {
    const bool sameColumns = other.rect.left < right && own.left < other.rect.Right();
    if (LimitsLabel(other, label) && sameColumns && other.rect.top > own.top) {
      bottom = std::min(bottom, other.rect.top);
    }
  }
  bottom = std::max(bottom, std::min(own.Bottom(), container.Bottom()));
  label.textArea = {own.left, own.top, std::max(right - own.left, 1), std::max(bottom - own.top, 1)};
  if (right + label.edgeMargin != container.Right()) label.edgeMargin = 0;
}

DialogModel::Widget* DialogModel::Find(int controlId) {
  for (Widget& widget : widgets_) {
    if (widget.control->id == controlId) return &widget;
  }
  return nullptr;
}

const DialogModel::Widget* DialogModel::Find(int controlId) const {
  for (const Widget& widget : widgets_) {
    if (widget.control->id == controlId) return &widget;
  }
  return nullptr;
}

Rect DialogModel::ControlRect(int controlId) const {
  const Widget* widget = Find(controlId);
  return widget != nullptr ? widget->rect : Rect{};
}

// ---- DialogModel: controls ----

void DialogModel::SetText(int controlId, std::string_view text) {
  Widget* widget = Find(controlId);
  if (widget == nullptr) return;
  widget->text = std::string(text);
  if (widget->control->kind == ControlKind::kEdit) {
    widget->edit.SetText(text);
    if (hasFocus_ && &widgets_[focus_] == widget) widget->edit.SelectAll();
  }
}

std::string DialogModel::GetText(int controlId) const {
  const Widget* widget = Find(controlId);
  if (widget == nullptr) return {};
  if (widget->control->kind == ControlKind::kEdit) return widget->edit.Text();
  return widget->text;
}

void DialogModel::SetCheck(int controlId, bool checked) {
  Widget* widget = Find(controlId);
  if (widget == nullptr) return;
  const ControlKind kind = widget->control->kind;
  if (IsRadioKind(kind) || kind == ControlKind::kCheckBox) widget->checked = checked;
}

bool DialogModel::GetCheck(int controlId) const {
  const Widget* widget = Find(controlId);
  return widget != nullptr && widget->checked;
}

void DialogModel::SetEmphasis(int controlId) {
  if (Widget* widget = Find(controlId)) widget->emphasised = true;
}

void DialogModel::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
  menu_.push_back({0, {}});
  menu_.push_back({commandId, std::string(text)});
}

// ---- DialogModel: focus and keys ----

bool DialogModel::TakesFocus(std::size_t index) const {
  const Widget& widget = widgets_[index];
  const ControlKind kind = widget.control->kind;
  return IsRadioKind(kind) || IsPushKind(kind) || kind == ControlKind::kCheckBox ||
         kind == ControlKind::kEdit;
}

bool DialogModel::IsRadio(std::size_t index) const { return IsRadioKind(widgets_[index].control->kind); }

bool DialogModel::IsPushButton(std::size_t index) const {
  return IsPushKind(widgets_[index].control->kind);
}

int DialogModel::FocusId() const { return hasFocus_ ? widgets_[focus_].control->id : 0; }

void DialogModel::SetFocus(std::size_t index) {
  focus_ = index;
  hasFocus_ = true;
  if (widgets_[index].control->kind == ControlKind::kEdit) widgets_[index].edit.SelectAll();
}

void DialogModel::MoveFocus(int direction) {
  const std::size_t count = widgets_.size();
  if (count == 0) return;
  std::size_t index = hasFocus_ ? focus_ : (direction > 0 ? count - 1 : 0);
  for (std::size_t step = 0; step < count; ++step) {
    index = (index + count + static_cast<std::size_t>(direction > 0 ? 1 : count - 1)) % count;
    if (TakesFocus(index)) {
      SetFocus(index);
      return;
    }
  }
  hasFocus_ = hasFocus_ && TakesFocus(focus_);
}

int DialogModel::EnterCommand() const {
  if (hasFocus_ && IsPushButton(focus_)) return widgets_[focus_].control->id;
  for (const Widget& widget : widgets_) {
    if (widget.control->kind == ControlKind::kDefPushButton) return widget.control->id;
  }
  return platform::kIdOk;
}

DialogAction DialogModel::Click(std::size_t index) {
  Widget& widget = widgets_[index];
  const ControlKind kind = widget.control->kind;
  if (kind == ControlKind::kCheckBox) {
    widget.checked = !widget.checked;
  } else if (IsRadioKind(kind)) {
    // An auto radio button marks itself and clears the others of its group.
    std::size_t first = index;
    while (first > 0 && widgets_[first].control->kind != ControlKind::kRadioGroupStart &&
           IsRadio(first - 1)) {
      --first;
    }
    for (std::size_t i = first; i < widgets_.size() && IsRadio(i); ++i) {
      if (i > first && widgets_[i].control->kind == ControlKind::kRadioGroupStart) break;
      widgets_[i].checked = (i == index);
    }
  }
  return DialogAction::Command(widget.control->id);
}

DialogAction DialogModel::MoveInRadioGroup(int direction) {
  std::size_t first = focus_;
  while (first > 0 && widgets_[first].control->kind != ControlKind::kRadioGroupStart &&
         IsRadio(first - 1)) {
    --first;
  }
  std::size_t end = first + 1;
  while (end < widgets_.size() && widgets_[end].control->kind == ControlKind::kRadio) ++end;
  const std::size_t size = end - first;
  std::size_t index = focus_;
  for (std::size_t step = 0; step < size; ++step) {
    const std::size_t offset = index - first;
    index = first + (offset + size + (direction > 0 ? 1 : size - 1)) % size;
    if (TakesFocus(index)) break;
  }
  if (index == focus_) return {};
  SetFocus(index);
  return Click(index);
}

DialogAction DialogModel::PressMnemonic(char letter) {
  const char wanted = text::UpperAscii(letter);
  for (std::size_t i = 0; i < widgets_.size(); ++i) {
    if (!TakesFocus(i) || widgets_[i].control->kind == ControlKind::kEdit) continue;
    if (ParseMnemonic(widgets_[i].text).Letter() != wanted) continue;
    // A push button is pressed where it is; the others take the focus and are clicked.
    if (!IsPushButton(i)) SetFocus(i);
    return Click(i);
  }
  return {};
}

void DialogModel::MoveMenuSelection(int direction) {
  const std::size_t count = menu_.size();
  std::size_t index = menuSelection_;
  for (std::size_t step = 0; step < count; ++step) {
    index = (index + count + static_cast<std::size_t>(direction > 0 ? 1 : count - 1)) % count;
    if (menu_[index].id != 0) break;
  }
  menuSelection_ = index;
}

DialogAction DialogModel::HandleMenuKey(const Key& key) {
  switch (key.code) {
    case KeyCode::kUp:
      MoveMenuSelection(-1);
      return {};
    case KeyCode::kDown:
      MoveMenuSelection(+1);
      return {};
    case KeyCode::kEnter:
      menuOpen_ = false;
      return DialogAction::SystemCommand(menu_[menuSelection_].id);
    case KeyCode::kEscape:
    case KeyCode::kF10:
    case KeyCode::kHangup:
      menuOpen_ = false;
      return {};
    case KeyCode::kChar:
    case KeyCode::kAlt:
      for (const MenuItem& item : menu_) {
        if (item.id != 0 && ParseMnemonic(item.text).Letter() == text::UpperAscii(key.ch)) {
          menuOpen_ = false;
          return DialogAction::SystemCommand(item.id);
        }
      }
      return {};
    default:
      return {};
  }
}

DialogAction DialogModel::HandleKey(const Key& key) {
  if (menuOpen_) return HandleMenuKey(key);

  const bool inEdit = hasFocus_ && widgets_[focus_].control->kind == ControlKind::kEdit;
  switch (key.code) {
    case KeyCode::kTab:
      MoveFocus(+1);
      return {};
    case KeyCode::kBackTab:
      MoveFocus(-1);
      return {};
    case KeyCode::kEnter:
      return DialogAction::Command(EnterCommand());
    case KeyCode::kEscape:
    case KeyCode::kHangup:
      return DialogAction::Command(platform::kIdCancel);
    case KeyCode::kF10:
      menuOpen_ = true;
      menuSelection_ = 0;
      return {};
    case KeyCode::kAlt:
      if (key.ch == ' ') {
        menuOpen_ = true;
        menuSelection_ = 0;
        return {};
      }
      return PressMnemonic(key.ch);
    default:
      break;
  }

  if (inEdit) {
    Widget& widget = widgets_[focus_];
    widget.edit.HandleKey(key);
    widget.edit.FitTo(widget.rect.width - 2);
    return {};
  }
  if (!hasFocus_) return {};
  return HandleFocusedControlKey(key);
}

DialogAction DialogModel::HandleFocusedControlKey(const Key& key) {
  switch (key.code) {
    case KeyCode::kUp:
    case KeyCode::kLeft:
      if (IsRadio(focus_)) return MoveInRadioGroup(-1);
      MoveFocus(-1);
      return {};
    case KeyCode::kDown:
    case KeyCode::kRight:
      if (IsRadio(focus_)) return MoveInRadioGroup(+1);
      MoveFocus(+1);
      return {};
    case KeyCode::kChar:
      if (key.ch == ' ') {
        // A radio button that is already marked sends no click again.
        if (IsRadio(focus_) && widgets_[focus_].checked) return {};
        return Click(focus_);
      }
      return PressMnemonic(key.ch);
    default:
      return {};
  }
}

// ---- DialogModel: drawing ----

void DialogModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = FrameSize();
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Window(frame, template_.title);
  const Point client{origin.x + 1, origin.y + 1};
  for (std::size_t i = 0; i < widgets_.size(); ++i) {
    DrawWidget(canvas, client, widgets_[i], hasFocus_ && i == focus_ && !menuOpen_);
  }
  if (menuOpen_) DrawMenu(canvas, client);
}

void DialogModel::DrawWidget(Canvas& canvas, Point client, const Widget& widget,
                             bool focused) const {
  const ControlKind kind = widget.control->kind;
  const Rect r{client.x + widget.rect.left, client.y + widget.rect.top, widget.rect.width,
               widget.rect.height};
  switch (kind) {
    case ControlKind::kGroupBox:
      canvas.Frame(r, ShownCaption(kind, widget.text).text, kPlain);
      return;
    case ControlKind::kIcon:
    case ControlKind::kIconSlot:
      return;  // pictures are left to graphical faces
    case ControlKind::kLabel:
    case ControlKind::kLabelNoPrefix:
    case ControlKind::kCenteredLabel:
      DrawLabel(canvas, client, r, widget);
      return;
    case ControlKind::kRadioGroupStart:
    case ControlKind::kRadio:
    case ControlKind::kCheckBox:
      DrawMarkButton(canvas, client, r, widget, focused);
      return;
    case ControlKind::kEdit:
      DrawEdit(canvas, r, widget, focused);
      return;
    case ControlKind::kPushButton:
    case ControlKind::kDefPushButton:
      DrawPushButton(canvas, r, widget, focused);
      return;
  }
}

void DialogModel::DrawLabel(Canvas& canvas, Point client, const Rect& r, const Widget& widget) const {
  const ControlKind kind = widget.control->kind;
  const std::uint8_t base = kPlain;
  const Mnemonic caption = ShownCaption(kind, widget.text);
  const Rect area{client.x + widget.textArea.left, client.y + widget.textArea.top,
                  widget.textArea.width, widget.textArea.height};
  const std::uint8_t attributes = static_cast<std::uint8_t>(base | (widget.emphasised ? kBold : kPlain));
  // Lines as written may reach the edge of the area; text that has to be wrapped keeps
  // one blank column before a group box's edge.
  std::vector<std::string> lines = WrapText(caption.text, area.width + widget.edgeMargin);
  const auto written = static_cast<std::size_t>(std::count(caption.text.begin(), caption.text.end(), '\n')) + 1;
  if (lines.size() != written || static_cast<int>(lines.size()) > area.height) {
    lines = FitText(caption.text, area.width, area.height);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int width = static_cast<int>(lines[i].size());
    int x = area.left;
    if (kind == ControlKind::kCenteredLabel) {
      // Centred in the control's own cells when the line fits them, else in the area.
      const Rect& within = width <= r.width ? r : area;
      x = within.left + std::max(0, (within.width - width) / 2);
    }
    canvas.Text(x, area.top + static_cast<int>(i), lines[i], attributes);
  }
}

void DialogModel::DrawMarkButton(Canvas& canvas, Point client, const Rect& r, const Widget& widget,
                                 bool focused) const {
  const ControlKind kind = widget.control->kind;
  const std::uint8_t base = kPlain;
  const bool radio = kind != ControlKind::kCheckBox;
  std::string mark = radio ? (widget.checked ? "(*) " : "( ) ")
                           : (widget.checked ? "[X] " : "[ ] ");
  canvas.Text(r.left, r.top, mark, base);
  const Mnemonic caption = ParseMnemonic(widget.text);
  const std::uint8_t attributes = static_cast<std::uint8_t>(base | (focused ? kReverse : kPlain));
  const int room = std::max(0, client_.width + client.x - (r.left + kMarkWidth));
  canvas.Text(r.left + kMarkWidth, r.top, std::string_view(caption.text).substr(0, static_cast<std::size_t>(room)), attributes);
  if (caption.mnemonicIndex != std::string::npos && caption.mnemonicIndex < static_cast<std::size_t>(room)) {
    const int x = r.left + kMarkWidth + static_cast<int>(caption.mnemonicIndex);
    canvas.Put(x, r.top, caption.text[caption.mnemonicIndex], static_cast<std::uint8_t>(attributes | kUnderline));
  }
  if (focused) canvas.SetCursor(r.left + 1, r.top);
}

void DialogModel::DrawEdit(Canvas& canvas, const Rect& r, const Widget& widget, bool focused) const {
  const std::uint8_t base = kPlain;
  const int inner = std::max(r.width - 2, 1);
  EditField view = widget.edit;
  view.FitTo(inner);
  canvas.Put(r.left, r.top, '[', base);
  canvas.Put(r.left + inner + 1, r.top, ']', base);
  const std::string& text = view.Text();
  for (int i = 0; i < inner; ++i) {
    const std::size_t at = view.Scroll() + static_cast<std::size_t>(i);
    const char ch = at < text.size() ? text[at] : ' ';
    std::uint8_t attributes = static_cast<std::uint8_t>(base | kUnderline);
    if (focused && view.AllSelected() && at < text.size()) attributes |= kReverse;
    canvas.Put(r.left + 1 + i, r.top, ch, attributes);
  }
  if (focused) {
    canvas.SetCursor(r.left + 1 + static_cast<int>(view.Caret() - view.Scroll()), r.top);
  }
}

void DialogModel::DrawPushButton(Canvas& canvas, const Rect& r, const Widget& widget,
                                 bool focused) const {
  const std::uint8_t base = kPlain;
  const bool isDefault = widget.control->id == EnterCommand();
  const Mnemonic caption = ParseMnemonic(widget.text);
  const std::string face = ButtonFace(caption, isDefault);
  const int width = static_cast<int>(face.size());
  const int x = r.left + std::max(0, (r.width - width) / 2);
  const std::uint8_t attributes = static_cast<std::uint8_t>(base | (focused ? kReverse : kPlain));
  canvas.Text(x, r.top, face, attributes);
  if (caption.mnemonicIndex != std::string::npos) {
    const int at = x + static_cast<int>(ButtonMnemonicOffset(isDefault) + caption.mnemonicIndex);
    canvas.Put(at, r.top, caption.text[caption.mnemonicIndex],
               static_cast<std::uint8_t>(attributes | kUnderline | kBold));
  }
  if (focused) canvas.SetCursor(x + static_cast<int>(ButtonMnemonicOffset(isDefault)), r.top);
}

void DialogModel::DrawMenu(Canvas& canvas, Point client) const {
  std::size_t widest = 0;
  for (const MenuItem& item : menu_) widest = std::max(widest, ParseMnemonic(item.text).text.size());
  const int width = static_cast<int>(widest) + 4;
  const int height = static_cast<int>(menu_.size()) + 2;
  // Drops down from the top-left corner of the window, as the system menu does.
  const Rect box{client.x - 1, client.y, width, height};
  canvas.Fill(box, ' ');
  canvas.Frame(box, {});
  for (std::size_t i = 0; i < menu_.size(); ++i) {
    const int y = box.top + 1 + static_cast<int>(i);
    if (menu_[i].id == 0) {
      // Edge to edge, so that the separator meets the frame in tees.
      canvas.HorizontalLine(y, box.left, box.Right() - 1);
      continue;
    }
    const Mnemonic caption = ParseMnemonic(menu_[i].text);
    const std::uint8_t attributes = i == menuSelection_ ? kReverse : kPlain;
    std::string line = " " + caption.text;
    line.resize(static_cast<std::size_t>(width - 2), ' ');
    canvas.Text(box.left + 1, y, line, attributes);
    if (caption.mnemonicIndex != std::string::npos) {
      canvas.Put(box.left + 2 + static_cast<int>(caption.mnemonicIndex), y,
                 caption.text[caption.mnemonicIndex], static_cast<std::uint8_t>(attributes | kUnderline));
    }
    if (i == menuSelection_) canvas.SetCursor(box.left + 2, y);
  }
}

}  // namespace halshift::terminal
