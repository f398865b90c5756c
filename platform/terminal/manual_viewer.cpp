// The terminal face's help: the manual's plain text, and its viewer.
#include "platform/terminal/manual_viewer.h"

namespace halshift::terminal {

std::vector<std::string> ManualLines(std::string_view text, int width) {
  std::vector<std::string> lines = WrapText(text, std::max(width, 20));
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

TextViewerModel::TextViewerModel(std::string_view title, std::string_view text)
    : title_(title), source_(text) {}

const std::vector<std::string>& TextViewerModel::LinesFor(int width) const {
  if (width != renderedWidth_) {
    lines_ = ManualLines(source_, width);
    renderedWidth_ = width;
  }
  return lines_;
}

Size TextViewerModel::Extent(Size screen) const {
  return {std::max(screen.width - 2, 30), std::max(screen.height - 2, 8)};
}

void TextViewerModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = Extent({canvas.Width(), canvas.Height()});
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Window(frame, title_);
  const std::vector<std::string>& lines = LinesFor(extent.width - 4);
  const int rows = extent.height - 3;
  lastRows_ = rows;
  for (int i = 0; i < rows; ++i) {
    const std::size_t at = top_ + static_cast<std::size_t>(i);
    if (at >= lines.size()) break;
    canvas.Text(origin.x + 2, origin.y + 1 + i, lines[at]);
  }
  const std::size_t last = std::min(lines.size(), top_ + static_cast<std::size_t>(rows));
  const std::string status = "Lines " + std::to_string(lines.empty() ? 0 : top_ + 1) + "-" +
                             std::to_string(last) + " of " + std::to_string(lines.size()) +
                             "   Up/Down/PgUp/PgDn: scroll   Esc/q: close";
  canvas.Text(origin.x + 2, frame.Bottom() - 2, status.substr(0, static_cast<std::size_t>(extent.width - 4)), kDim);
}

bool TextViewerModel::HandleKey(const Key& key) {
  const std::size_t count = lines_.size();
  const std::size_t page = static_cast<std::size_t>(PageRows());
  const std::size_t maxTop = count > page ? count - page : 0;
  switch (key.code) {
    case KeyCode::kEscape:
    case KeyCode::kEnter:
    case KeyCode::kHangup:
      return true;
    case KeyCode::kChar:
      if (key.ch == 'q' || key.ch == 'Q') return true;
      if (key.ch == ' ') top_ = std::min(maxTop, top_ + page);
      return false;
    case KeyCode::kUp:
      if (top_ > 0) --top_;
      return false;
    case KeyCode::kDown:
      top_ = std::min(maxTop, top_ + 1);
      return false;
    case KeyCode::kPageUp:
      top_ = top_ > page ? top_ - page : 0;
      return false;
    case KeyCode::kPageDown:
      top_ = std::min(maxTop, top_ + page);
      return false;
    case KeyCode::kHome:
      top_ = 0;
      return false;
    case KeyCode::kEnd:
      top_ = maxTop;
      return false;
    default:
      return false;
  }
}

}  // namespace halshift::terminal
