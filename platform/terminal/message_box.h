// The terminal face's message box (MessageBoxA) as a model.//
// May contain: C++ standard library only (no terminal library, no system calls).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/terminal/dialog.h"
#include "platform/terminal/screen.h"

namespace halshift::terminal {


// MessageBoxA: caption, text, OK or Yes and No, an icon letter for exclamation and
// information.
class MessageBoxModel : public Layer {
 public:
  MessageBoxModel(std::string_view text, std::string_view caption, unsigned style);

  Size Extent(Size screen) const override;
  void Draw(Canvas& canvas, Point origin) const override;

  // The answer (IDOK, IDYES, IDNO) once a key ends the box; nothing while it stays open.
  // Escape answers OK in an OK box and does nothing in a Yes/No box, as in Windows; when no
  // input can come any more the box answers OK, or No.
  std::optional<int> HandleKey(const Key& key);

 private:
  struct Button {
    int answer;
    Mnemonic caption;
  };
  std::vector<std::string> Lines(Size screen) const;
  int ButtonsWidth() const;

  std::string text_;
  std::string caption_;
  char icon_ = 0;  // '!' or 'i'
  std::vector<Button> buttons_;
  std::size_t focus_ = 0;
};

}  // namespace halshift::terminal
