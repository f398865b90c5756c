// The character grid, mnemonics and text wrapping of the terminal face.
#include "platform/terminal/screen.h"

#include <algorithm>

#include "base/text.h"

namespace halshift::terminal {
namespace {

constexpr int kTabWidth = 8;

// Expands tabs and drops carriage returns of one line.
std::string ExpandLine(std::string_view line) {
  std::string expanded;
  for (char c : line) {
    if (c == '\r') continue;
    if (c == '\t') {
      do {
        expanded += ' ';
      } while (expanded.size() % kTabWidth != 0);
      continue;
    }
    expanded += c;
  }
  return expanded;
}

// Breaks one line (no line feeds) into pieces of at most width characters.
void WrapLine(std::string_view line, int width, std::vector<std::string>& lines) {
  const std::size_t limit = static_cast<std::size_t>(std::max(width, 1));
  while (line.size() > limit) {
    // The last blank within the limit (a blank right after it also counts).
    std::size_t cut = line.substr(0, limit + 1).rfind(' ');
    if (cut == std::string_view::npos || cut == 0) {
      lines.emplace_back(line.substr(0, limit));
      line.remove_prefix(limit);
      continue;
    }
    std::string_view head = line.substr(0, cut);
    while (!head.empty() && head.back() == ' ') head.remove_suffix(1);
    lines.emplace_back(head);
    line.remove_prefix(cut + 1);
  }
  lines.emplace_back(line);
}

}  // namespace

int ColumnOf(int dialogUnitsX) {
  return (dialogUnitsX + kDialogUnitsPerColumn / 2) / kDialogUnitsPerColumn;
}

int RowOf(int dialogUnitsY) {
  return (dialogUnitsY * kRowCells + kRowDialogUnits / 2) / kRowDialogUnits;
}

bool Rect::Overlaps(const Rect& other) const {
  return left < other.Right() && other.left < Right() && top < other.Bottom() &&
         other.top < Bottom();
}

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {}

char LineCharacter(std::uint8_t arms) {
  const bool across = (arms & (kArmLeft | kArmRight)) != 0;
  const bool upDown = (arms & (kArmUp | kArmDown)) != 0;
  if (across && upDown) return '+';
  if (upDown) return '|';
  return across ? '-' : ' ';
}

Cell* Canvas::CellAt(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return nullptr;
  return &cells_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                 static_cast<std::size_t>(x)];
}

void Canvas::Put(int x, int y, char ch, std::uint8_t attributes) {
  Cell* cell = CellAt(x, y);
  if (cell == nullptr) return;
  *cell = Cell{ch, attributes, 0};
}

void Canvas::Line(int x, int y, std::uint8_t arms, std::uint8_t attributes) {
  Cell* cell = CellAt(x, y);
  if (cell == nullptr || arms == 0) return;
  cell->arms = static_cast<std::uint8_t>(cell->arms | arms);
  cell->ch = LineCharacter(cell->arms);
  cell->attributes = attributes;
}

void Canvas::HorizontalLine(int y, int left, int right, std::uint8_t attributes) {
  if (right <= left) return;
  Line(left, y, kArmRight, attributes);
  for (int x = left + 1; x < right; ++x) Line(x, y, kArmLeft | kArmRight, attributes);
  Line(right, y, kArmLeft, attributes);
}

void Canvas::VerticalLine(int x, int top, int bottom, std::uint8_t attributes) {
  if (bottom <= top) return;
  Line(x, top, kArmDown, attributes);
  for (int y = top + 1; y < bottom; ++y) Line(x, y, kArmUp | kArmDown, attributes);
  Line(x, bottom, kArmUp, attributes);
}

int Canvas::Text(int x, int y, std::string_view text, std::uint8_t attributes) {
  for (char c : text) Put(x++, y, c, attributes);
  return x;
}

void Canvas::Fill(const Rect& area, char ch, std::uint8_t attributes) {
  for (int y = area.top; y < area.Bottom(); ++y) {
    for (int x = area.left; x < area.Right(); ++x) Put(x, y, ch, attributes);
  }
}

void Canvas::Frame(const Rect& area, std::string_view title, std::uint8_t titleAttributes) {
  if (area.width < 2 || area.height < 2) return;
  const int right = area.Right() - 1;
  const int bottom = area.Bottom() - 1;
  HorizontalLine(area.top, area.left, right);
  HorizontalLine(bottom, area.left, right);
  VerticalLine(area.left, area.top, bottom);
  VerticalLine(right, area.top, bottom);
  if (title.empty()) return;
  // "+- Title -+": the title is cut to leave the corner and one line cell on each side.
  const int room = area.width - 6;
  if (room <= 0) return;
  const std::string_view shown = title.substr(0, static_cast<std::size_t>(room));
  Put(area.left + 2, area.top, ' ');
  const int end = Text(area.left + 3, area.top, shown, titleAttributes);
  Put(end, area.top, ' ');
}

const Cell& Canvas::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return outside_;
  return cells_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                static_cast<std::size_t>(x)];
}

std::string Canvas::Row(int y) const {
  std::string row;
  for (int x = 0; x < width_; ++x) row += At(x, y).ch;
  while (!row.empty() && row.back() == ' ') row.pop_back();
  return row;
}

std::string Canvas::Dump() const {
  std::string dump;
  for (int y = 0; y < height_; ++y) {
    dump += Row(y);
    dump += '\n';
  }
  return dump;
}

bool Canvas::Shows(std::string_view text) const {
  for (int y = 0; y < height_; ++y) {
    if (Row(y).find(text) != std::string::npos) return true;
  }
  return false;
}


char Mnemonic::Letter() const {
  if (mnemonicIndex >= text.size()) return 0;
  return halshift::text::UpperAscii(text[mnemonicIndex]);
}

Mnemonic ParseMnemonic(std::string_view caption) {
  Mnemonic result;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) {
      ++i;
      if (caption[i] != '&' && result.mnemonicIndex == std::string::npos) {
        result.mnemonicIndex = result.text.size();
      }
    }
    result.text += caption[i];
  }
  return result;
}

std::vector<std::string> WrapText(std::string_view text, int width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    const std::string line =
        ExpandLine(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
    WrapLine(line, width, lines);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ReflowText(std::string_view text, int width) {
  // Runs of blanks and line feeds become one blank, so the paragraph flows evenly.
  std::string flowed;
  for (char c : ExpandLine(text)) {
    const bool blank = c == ' ' || c == '\n';
    if (blank) {
      if (!flowed.empty() && flowed.back() != ' ') flowed += ' ';
    } else {
      flowed += c;
    }
  }
  while (!flowed.empty() && flowed.back() == ' ') flowed.pop_back();
  std::vector<std::string> lines;
  WrapLine(flowed, width, lines);
  return lines;
}

std::vector<std::string> FitText(std::string_view text, int width, int height) {
  std::vector<std::string> lines = WrapText(text, width);
  if (static_cast<int>(lines.size()) > height) lines = ReflowText(text, width);
  if (static_cast<int>(lines.size()) > height) lines.resize(static_cast<std::size_t>(std::max(height, 0)));
  return lines;
}

}  // namespace halshift::terminal
