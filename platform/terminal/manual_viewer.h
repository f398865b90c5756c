// The terminal face's help: the manual's plain text in a scrollable viewer.
//
// May contain: C++ standard library only (no terminal library, no system calls).
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/terminal/screen.h"

namespace halshift::terminal {
// Plain text as lines of at most width characters: lines as written, a longer one broken at
// its last blank that fits; no empty lines at the end.
std::vector<std::string> ManualLines(std::string_view text, int width);

// A scrollable read-only text in a box filling the screen.
class TextViewerModel : public Layer {
 public:
  TextViewerModel(std::string_view title, std::string_view text);

  Size Extent(Size screen) const override;
  void Draw(Canvas& canvas, Point origin) const override;
  // True once a key closes the viewer (Escape, Enter, q).
  bool HandleKey(const Key& key);
  std::size_t TopLine() const { return top_; }

 private:
  const std::vector<std::string>& LinesFor(int width) const;
  int PageRows() const { return std::max(lastRows_, 1); }

  std::string title_;
  std::string source_;
  mutable int renderedWidth_ = -1;
  mutable std::vector<std::string> lines_;
  mutable int lastRows_ = 1;
  std::size_t top_ = 0;
};

}  // namespace halshift::terminal
