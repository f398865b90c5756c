// The curses binding of the terminal face: copies a Canvas to the screen and decodes keys.
//
// May contain: curses, POSIX and C++ standard library calls. Nothing else of the face lives
// here, so everything above it can be tested without a terminal.
#include <curses.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/terminal/user_interface.h"

namespace halshift::terminal {
namespace {

// How long to wait, after an Escape, for the character that makes it an Alt key.
constexpr int kAltFollowMilliseconds = 30;
constexpr int kEscapeDelayMilliseconds = 25;
// getch fails once when a signal interrupts it; only a run of failures means that input is
// gone for good.
constexpr int kFailuresBeforeHangup = 50;
constexpr int kEscape = 27;
constexpr int kControlC = 3;

class CursesTerminal : public Terminal {
 public:
  ~CursesTerminal() override {
    Stop();
    if (screen_ != nullptr) delscreen(screen_);
  }

  bool Start() override {
    // Curses takes the terminal's character set from the locale when the screen is made, and
    // writes multibyte characters with it. In the user's UTF-8 locale it draws the lines with
    // the Unicode box-drawing characters where the terminal's own line-drawing mode is missing
    // or known not to work with UTF-8; in the "C" locale it has only that mode, or ASCII.
    // The rest of the program keeps the "C" locale: Stop puts it back.
    if (const char* current = std::setlocale(LC_CTYPE, nullptr);
        current != nullptr && savedCharacterSet_.empty()) {
      savedCharacterSet_ = current;
    }
    std::setlocale(LC_CTYPE, "");
    if (screen_ == nullptr) {
      // newterm, unlike initscr, reports a terminal it cannot drive instead of exiting.
      screen_ = newterm(nullptr, stdout, stdin);
      if (screen_ == nullptr) {
        RestoreCharacterSet();
        return false;
      }
    } else {
      set_term(screen_);
    }
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    set_escdelay(kEscapeDelayMilliseconds);
    running_ = true;
    clearok(stdscr, TRUE);
    return true;
  }

  void Stop() override {
    if (!running_) return;
    curs_set(1);
    endwin();
    running_ = false;
    RestoreCharacterSet();
  }

  Size ScreenSize() override {
    int rows = 0;
    int columns = 0;
    getmaxyx(stdscr, rows, columns);
    return {columns, rows};
  }

  void Present(const Canvas& canvas) override {
    erase();
    for (int y = 0; y < canvas.Height(); ++y) {
      for (int x = 0; x < canvas.Width(); ++x) {
        const Cell& cell = canvas.At(x, y);
        const unsigned char byte = static_cast<unsigned char>(cell.ch);
        // Only printable ASCII goes to the screen as it is: the canvas holds the ANSI code
        // page's bytes, which the terminal's character set need not share.
        chtype ch = (byte >= 0x20 && byte < 0x7F) ? byte : '?';
        if (cell.arms != 0) ch = LineDrawing(cell.arms);
        mvaddch(y, x, ch | Attributes(cell.attributes));
      }
    }
    if (canvas.CursorVisible()) {
      curs_set(1);
      move(canvas.Cursor().y, canvas.Cursor().x);
    } else {
      curs_set(0);
    }
    refresh();
  }

  Key ReadKey() override {
    for (int failures = 0; failures < kFailuresBeforeHangup; ++failures) {
      const int ch = getch();
      if (ch == ERR) continue;
      return Decode(ch);
    }
    return Key::Of(KeyCode::kHangup);
  }

 private:
  static chtype Attributes(std::uint8_t attributes) {
    chtype result = A_NORMAL;
    if ((attributes & kReverse) != 0) result |= A_REVERSE;
    if ((attributes & kUnderline) != 0) result |= A_UNDERLINE;
    if ((attributes & kBold) != 0) result |= A_BOLD;
    if ((attributes & kDim) != 0) result |= A_DIM;
    return result;
  }

  // The line-drawing character for a cell with these arms (not 0). Curses shows it with the
  // terminal's glyph, the box-drawing character, or, where the terminal has neither, its own
  // ASCII stand-in, which is the cell's ASCII form ('+', '-' or '|'). A lone arm is drawn as
  // the whole line through the cell.
  static chtype LineDrawing(std::uint8_t arms) {
    const bool up = (arms & kArmUp) != 0;
    const bool down = (arms & kArmDown) != 0;
    const bool left = (arms & kArmLeft) != 0;
    const bool right = (arms & kArmRight) != 0;
    if (!up && !down) return ACS_HLINE;
    if (!left && !right) return ACS_VLINE;
    if (up && down && left && right) return ACS_PLUS;
    if (up && down) return left ? ACS_RTEE : ACS_LTEE;
    if (left && right) return up ? ACS_BTEE : ACS_TTEE;
    if (down) return right ? ACS_ULCORNER : ACS_URCORNER;
    return right ? ACS_LLCORNER : ACS_LRCORNER;
  }

  void RestoreCharacterSet() {
    if (savedCharacterSet_.empty()) return;
    std::setlocale(LC_CTYPE, savedCharacterSet_.c_str());
    savedCharacterSet_.clear();
  }

  static Key Decode(int ch) {
    switch (ch) {
      case KEY_RESIZE: return Key::Of(KeyCode::kResize);
      case '\t': return Key::Of(KeyCode::kTab);
      case KEY_BTAB: return Key::Of(KeyCode::kBackTab);
      case '\n':
      case '\r':
      case KEY_ENTER: return Key::Of(KeyCode::kEnter);
      case KEY_UP: return Key::Of(KeyCode::kUp);
      case KEY_DOWN: return Key::Of(KeyCode::kDown);
      case KEY_LEFT: return Key::Of(KeyCode::kLeft);
      case KEY_RIGHT: return Key::Of(KeyCode::kRight);
      case KEY_HOME: return Key::Of(KeyCode::kHome);
      case KEY_END: return Key::Of(KeyCode::kEnd);
      case KEY_PPAGE: return Key::Of(KeyCode::kPageUp);
      case KEY_NPAGE: return Key::Of(KeyCode::kPageDown);
      case KEY_BACKSPACE:
      case 8:
      case 127: return Key::Of(KeyCode::kBackspace);
      case KEY_DC: return Key::Of(KeyCode::kDelete);
      case KEY_F(1): return Key::Of(KeyCode::kF1);
      case KEY_F(2): return Key::Of(KeyCode::kF2);
      case KEY_F(10): return Key::Of(KeyCode::kF10);
      case kControlC: return Key::Of(KeyCode::kEscape);
      case kEscape: {
        // Terminals send Alt+letter as Escape followed by the letter.
        timeout(kAltFollowMilliseconds);
        const int next = getch();
        timeout(-1);
        if (next >= 0x20 && next < 0x7F) return Key::Alt(static_cast<char>(next));
        if (next != ERR && next != kEscape) ungetch(next);
        return Key::Of(KeyCode::kEscape);
      }
      default:
        if (ch >= 0x20 && ch < 0x7F) return Key::Char(static_cast<char>(ch));
        return Key::Of(KeyCode::kOther);
    }
  }

  SCREEN* screen_ = nullptr;
  bool running_ = false;
  std::string savedCharacterSet_;  // LC_CTYPE from before Start, while the screen is up
};

}  // namespace

std::unique_ptr<Terminal> MakeCursesTerminal() { return std::make_unique<CursesTerminal>(); }

bool FullScreenTerminalAvailable() {
  if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  if (term == nullptr || *term == '\0') return false;
  return std::string_view(term) != "dumb";
}

}  // namespace halshift::terminal
