// The terminal face's drawing surface, keys and text layout, free of any terminal library:
// a character grid that the curses layer copies to the screen and tests read back.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::terminal {

// One character cell of the dialog layout stands for this many dialog units across...
inline constexpr int kDialogUnitsPerColumn = 4;
// ...and for kRowDialogUnits / kRowCells down: the main window's 204 units fill the 23 rows
// that an 80x25 terminal has inside a frame (8.87 units a row).
inline constexpr int kRowDialogUnits = 204;
inline constexpr int kRowCells = 23;

// Column and row of a position in dialog units, rounded to the nearest cell.
int ColumnOf(int dialogUnitsX);
int RowOf(int dialogUnitsY);

struct Point {
  int x = 0;
  int y = 0;
};

struct Size {
  int width = 0;
  int height = 0;
};

// Cells from (left, top), width by height.
struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int Right() const { return left + width; }    // one past the last column
  int Bottom() const { return top + height; }   // one past the last row
  bool Overlaps(const Rect& other) const;
};

// Attributes of a cell; the curses layer maps them to its own.
enum Attribute : std::uint8_t {
  kPlain = 0,
  kReverse = 1,    // focus, selection
  kUnderline = 2,  // mnemonic letters, edit fields
  kBold = 4,       // emphasised values, titles
  kDim = 8,        // hints and empty listings
};

// The arms of a line-drawing cell, towards the neighbouring cells they join: a frame's
// corner has two, an edge two opposite ones, a tee where a line meets an edge three. The
// curses layer draws them with the terminal's line-drawing characters.
enum LineArm : std::uint8_t {
  kArmUp = 1,
  kArmDown = 2,
  kArmLeft = 4,
  kArmRight = 8,
};

// A character, or a piece of a line when arms is not 0. A line cell keeps an ASCII form in ch
// ('-', '|', or '+' where arms of both directions meet), which is what tests read and what a
// terminal without line drawing shows.
struct Cell {
  char ch = ' ';
  std::uint8_t attributes = kPlain;
  std::uint8_t arms = 0;  // LineArm bits
};

// The ASCII form of a line cell with these arms.
char LineCharacter(std::uint8_t arms);

// A grid of cells with a cursor. Every write is clipped to the grid.
class Canvas {
 public:
  Canvas(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // Put, Text and Fill write characters: whatever was in the cell before, line or not, goes.
  void Put(int x, int y, char ch, std::uint8_t attributes = kPlain);
  // Writes text from (x, y) on one row; returns the column after it.
  int Text(int x, int y, std::string_view text, std::uint8_t attributes = kPlain);
  void Fill(const Rect& area, char ch, std::uint8_t attributes = kPlain);
  // Adds arms to the cell: over a line cell they join its arms (an edge that a line meets
  // becomes a tee), over a character they replace it.
  void Line(int x, int y, std::uint8_t arms, std::uint8_t attributes = kPlain);
  // A line across row y from column left to column right, both included. Its ends reach
  // only inwards, so where they lie on a frame's edge they make tees.
  void HorizontalLine(int y, int left, int right, std::uint8_t attributes = kPlain);
  // The same down column x from row top to row bottom.
  void VerticalLine(int x, int top, int bottom, std::uint8_t attributes = kPlain);
  // A frame of lines around area (on its outermost cells), the title in the top edge after
  // the corner, a line cell and a blank: "+- Title -+" in ASCII form.
  void Frame(const Rect& area, std::string_view title, std::uint8_t titleAttributes = kBold);
  // A window drawn anew: area blanked, framed with the title, the cursor hidden until a
  // control of the window places it.
  void Window(const Rect& area, std::string_view title) {
    Fill(area, ' ');
    Frame(area, title);
    HideCursor();
  }

  const Cell& At(int x, int y) const;
  // The characters of row y, trailing blanks removed; line cells in their ASCII form.
  std::string Row(int y) const;
  // Every row joined with line feeds.
  std::string Dump() const;
  // Whether text occurs on any row.
  bool Shows(std::string_view text) const;

  void SetCursor(int x, int y) {
    cursor_ = {x, y};
    cursorVisible_ = true;
  }
  void HideCursor() { cursorVisible_ = false; }
  bool CursorVisible() const { return cursorVisible_; }
  Point Cursor() const { return cursor_; }

 private:
  int width_;
  int height_;
  std::vector<Cell> cells_;
  Cell* CellAt(int x, int y);  // nullptr outside the grid

  Cell outside_;
  Point cursor_;
  bool cursorVisible_ = false;
};

// Something drawn on the screen: a dialog, a box, a viewer. The face stacks them, each centred
// over the ones below.
class Layer {
 public:
  virtual ~Layer() = default;
  // Cells needed, frame included, on a screen of this size.
  virtual Size Extent(Size screen) const = 0;
  // Draws with the frame's top-left corner at origin; the caret goes where the focus is.
  virtual void Draw(Canvas& canvas, Point origin) const = 0;
};

// A key as the face sees it, decoded from whatever the terminal sent.
enum class KeyCode {
  kChar,       // a printable character in ch
  kAlt,        // Alt (or Escape, then a character) with ch
  kTab,
  kBackTab,
  kEnter,
  kEscape,
  kUp,
  kDown,
  kLeft,
  kRight,
  kHome,
  kEnd,
  kPageUp,
  kPageDown,
  kBackspace,
  kDelete,
  kF1,
  kF2,
  kF10,
  kResize,     // the terminal's size changed
  kHangup,     // no more input can come: every modal run ends
  kOther,      // anything else: ignored
};

struct Key {
  KeyCode code = KeyCode::kOther;
  char ch = 0;
  static Key Of(KeyCode code) { return Key{code, 0}; }
  static Key Char(char c) { return Key{KeyCode::kChar, c}; }
  static Key Alt(char c) { return Key{KeyCode::kAlt, c}; }
};

// A caption with its mnemonic: "&Apply" is shown "Apply" with 'A' marked; "&&" is a literal
// "&". mnemonicIndex is the marked character's index in text, or npos without one.
struct Mnemonic {
  std::string text;
  std::size_t mnemonicIndex = std::string::npos;
  char Letter() const;  // the marked letter in upper case, or 0
};
Mnemonic ParseMnemonic(std::string_view caption);

// Breaks text into lines of at most width characters. Line feeds always break; a line longer
// than width is broken after the last blank that fits, or hard at width when it has none.
// Tabs advance to the next multiple of 8; carriage returns are dropped.
std::vector<std::string> WrapText(std::string_view text, int width);
// Like WrapText, but line feeds count as blanks: the text is poured into width as one
// paragraph. Used when the lines as written do not fit the rows there are.
std::vector<std::string> ReflowText(std::string_view text, int width);
// Lines that fit width by height: as written if they fit the rows, else reflowed, and in any
// case cut to height lines.
std::vector<std::string> FitText(std::string_view text, int width, int height);

}  // namespace halshift::terminal
