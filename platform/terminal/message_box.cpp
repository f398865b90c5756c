// The terminal face's message box.
#include "platform/terminal/message_box.h"

#include <algorithm>

#include "base/text.h"
#include "platform/platform.h"

namespace halshift::terminal {
namespace {

// A message box's text is wrapped to this many columns, less on a narrower screen.
constexpr int kBoxTextWidth = 64;
// The icon letter stands in "(!) " before the text.
constexpr int kIconWidth = 4;
constexpr int kButtonGap = 3;

std::string ButtonFace(const Mnemonic& caption, bool focused) {
  std::string face = "< " + caption.text + " >";
  return focused ? "[" + face + "]" : face;
}

}  // namespace


MessageBoxModel::MessageBoxModel(std::string_view text, std::string_view caption, unsigned style)
    : text_(text), caption_(caption) {
  const unsigned icon = style & platform::kMbIconMask;
  if (icon == platform::kMbIconExclamation) icon_ = '!';
  if (icon == platform::kMbIconInformation) icon_ = 'i';
  if ((style & platform::kMbButtonsMask) == platform::kMbYesNo) {
    buttons_ = {{platform::kIdYes, ParseMnemonic("&Yes")}, {platform::kIdNo, ParseMnemonic("&No")}};
  } else {
    buttons_ = {{platform::kIdOk, ParseMnemonic("OK")}};
  }
}

std::vector<std::string> MessageBoxModel::Lines(Size screen) const {
  const int indent = icon_ != 0 ? kIconWidth : 0;
  const int width = std::max(10, std::min(kBoxTextWidth, screen.width - 6 - indent));
  return WrapText(text_, width);
}

int MessageBoxModel::ButtonsWidth() const {
  int width = 0;
  for (const Button& button : buttons_) {
    width += static_cast<int>(ButtonFace(button.caption, true).size()) + kButtonGap;
  }
  return width - kButtonGap;
}

Size MessageBoxModel::Extent(Size screen) const {
  const std::vector<std::string> lines = Lines(screen);
  int widest = 0;
  for (const std::string& line : lines) widest = std::max(widest, static_cast<int>(line.size()));
  const int indent = icon_ != 0 ? kIconWidth : 0;
  const int inner = std::max({widest + indent, ButtonsWidth(), static_cast<int>(caption_.size()) + 4});
  // Frame, a blank column on each side; frame, blank, text, blank, buttons, frame.
  return {inner + 4, static_cast<int>(lines.size()) + 5};
}

void MessageBoxModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = Extent({canvas.Width(), canvas.Height()});
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Window(frame, caption_);
  const std::vector<std::string> lines = Lines({canvas.Width(), canvas.Height()});
  int x = origin.x + 2;
  if (icon_ != 0) {
    canvas.Put(x, origin.y + 2, '(');
    canvas.Put(x + 1, origin.y + 2, icon_, kBold);
    canvas.Put(x + 2, origin.y + 2, ')');
    x += kIconWidth;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    canvas.Text(x, origin.y + 2 + static_cast<int>(i), lines[i]);
  }
  const int row = frame.Bottom() - 2;
  int bx = origin.x + (extent.width - ButtonsWidth()) / 2;
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    const bool focused = i == focus_;
    const std::string face = ButtonFace(buttons_[i].caption, focused);
    // Unfocused faces are one cell narrower on each side; keep the buttons where they are.
    const int x0 = focused ? bx : bx + 1;
    canvas.Text(x0, row, face, focused ? kReverse : kPlain);
    const std::size_t mark = buttons_[i].caption.mnemonicIndex;
    if (mark != std::string::npos) {
      const int offset = (focused ? 3 : 2) + static_cast<int>(mark);
      canvas.Put(x0 + offset, row, buttons_[i].caption.text[mark],
                 static_cast<std::uint8_t>((focused ? kReverse : kPlain) | kUnderline | kBold));
    }
    if (focused) canvas.SetCursor(x0 + 3, row);
    bx += static_cast<int>(ButtonFace(buttons_[i].caption, true).size()) + kButtonGap;
  }
}

std::optional<int> MessageBoxModel::HandleKey(const Key& key) {
  const bool yesNo = buttons_.size() > 1;
  switch (key.code) {
    case KeyCode::kEnter:
      return buttons_[focus_].answer;
    case KeyCode::kTab:
    case KeyCode::kRight:
    case KeyCode::kDown:
      focus_ = (focus_ + 1) % buttons_.size();
      return std::nullopt;
    case KeyCode::kBackTab:
    case KeyCode::kLeft:
    case KeyCode::kUp:
      focus_ = (focus_ + buttons_.size() - 1) % buttons_.size();
      return std::nullopt;
    case KeyCode::kEscape:
      if (yesNo) return std::nullopt;
      return platform::kIdOk;
    case KeyCode::kHangup:
      return yesNo ? platform::kIdNo : platform::kIdOk;
    case KeyCode::kChar:
    case KeyCode::kAlt:
      if (key.ch == ' ') return buttons_[focus_].answer;
      for (const Button& button : buttons_) {
        if (button.caption.Letter() != 0 && button.caption.Letter() == text::UpperAscii(key.ch)) {
          return button.answer;
        }
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace halshift::terminal
