// The terminal face's geometry, text wrapping, mnemonics, wildcard patterns and paths.
#include "platform/terminal/screen.h"

#include <gtest/gtest.h>

#include "platform/terminal/file_chooser.h"
#include "platform/terminal/manual_viewer.h"
#include "ui/templates.h"

namespace halshift::terminal {
namespace {

TEST(TerminalGeometry, DialogUnitsRoundToCells) {
  struct Case {
    int units;
    int column;
    int row;
  } cases[] = {
      {0, 0, 0}, {1, 0, 0}, {2, 1, 0}, {4, 1, 0}, {5, 1, 1}, {9, 2, 1}, {26, 7, 3},
      {127, 32, 14}, {188, 47, 21}, {204, 51, 23}, {287, 72, 32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ColumnOf(c.units), c.column) << c.units;
    EXPECT_EQ(RowOf(c.units), c.row) << c.units;
  }
}

// Every dialog, with its frame, fits an 80x25 terminal.
TEST(TerminalGeometry, EveryTemplateFitsEightyByTwentyFive) {
  for (const ui::DialogTemplate& dialog : ui::DialogTemplates()) {
    EXPECT_LE(ColumnOf(dialog.width) + 2, 80) << dialog.title;
    EXPECT_LE(RowOf(dialog.height) + 2, 25) << dialog.title;
  }
}

TEST(TerminalText, WrapBreaksAtBlanksAndLineFeeds) {
  struct Case {
    const char* name;
    const char* text;
    int width;
    std::vector<std::string> lines;
  } cases[] = {
      {"fits", "short text", 20, {"short text"}},
      {"line feeds kept", "one\ntwo", 20, {"one", "two"}},
      {"empty line kept", "a\n\nb", 20, {"a", "", "b"}},
      {"at a blank", "alpha beta gamma", 10, {"alpha beta", "gamma"}},
      {"blank right after the limit", "alpha beta gamma", 5, {"alpha", "beta", "gamma"}},
      {"no blank: hard cut", "abcdefghij", 4, {"abcd", "efgh", "ij"}},
      {"tab to eight", "\t halshift", 40, {"         halshift"}},
      {"carriage return dropped", "a\r\nb", 10, {"a", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(WrapText(c.text, c.width), c.lines) << c.name;
}

TEST(TerminalText, FitReflowsOnlyWhenTheLinesDoNotFit) {
  // Two written lines fit two rows: kept as written.
  EXPECT_EQ(FitText("first\nsecond", 20, 2), (std::vector<std::string>{"first", "second"}));
  // Written lines that wrap to more rows than there are are poured as one paragraph.
  EXPECT_EQ(FitText("aaa bbb\nccc ddd", 8, 2), (std::vector<std::string>{"aaa bbb", "ccc ddd"}));
  EXPECT_EQ(FitText("aaa bbb ccc\nddd", 8, 2), (std::vector<std::string>{"aaa bbb", "ccc ddd"}));
  // And cut when even that does not fit.
  EXPECT_EQ(FitText("aaa bbb ccc ddd eee", 7, 2), (std::vector<std::string>{"aaa bbb", "ccc ddd"}));
  EXPECT_TRUE(FitText("anything", 10, 0).empty());
}

TEST(TerminalText, MnemonicMarksTheLetterAfterTheAmpersand) {
  struct Case {
    const char* caption;
    const char* shown;
    char letter;
  } cases[] = {
      {"&Apply", "Apply", 'A'},
      {"E&xit", "Exit", 'X'},
      {"OK", "OK", 0},
      {"Save && &Quit", "Save & Quit", 'Q'},
      {"&About halshift...", "About halshift...", 'A'},
      {"trailing &", "trailing &", 0},
  };
  for (const Case& c : cases) {
    const Mnemonic m = ParseMnemonic(c.caption);
    EXPECT_EQ(m.text, c.shown) << c.caption;
    EXPECT_EQ(m.Letter(), c.letter) << c.caption;
  }
}

// Canvas rows show line cells in their ASCII form, so the frames below read "+- Title -+".
TEST(TerminalCanvas, ClipsEveryWriteAndFramesWithTitle) {
  Canvas canvas(10, 3);
  canvas.Text(7, 1, "abcdef");
  canvas.Put(-1, 0, 'x');
  canvas.Put(10, 0, 'x');
  canvas.Put(0, 3, 'x');
  EXPECT_EQ(canvas.Row(1), "       abc");
  EXPECT_EQ(canvas.Row(0), "");
  canvas.Frame({0, 0, 10, 3}, "Title that is long");
  EXPECT_EQ(canvas.Row(0), "+- Titl -+");
  EXPECT_EQ(canvas.Row(1), "|      ab|");
  EXPECT_EQ(canvas.Row(2), "+--------+");
  EXPECT_EQ(canvas.At(99, 99).ch, ' ');
}

// The arms tell the curses layer which line-drawing character a cell is; its ASCII form is
// what the rows above read.
TEST(TerminalCanvas, FrameCellsAreLinesJoinedAtTheCorners) {
  Canvas canvas(6, 4);
  canvas.Frame({1, 0, 5, 4}, "");
  struct Case {
    const char* name;
    int x;
    int y;
    std::uint8_t arms;
  } cases[] = {
      {"top left", 1, 0, kArmDown | kArmRight},
      {"top edge", 3, 0, kArmLeft | kArmRight},
      {"top right", 5, 0, kArmDown | kArmLeft},
      {"left edge", 1, 1, kArmUp | kArmDown},
      {"right edge", 5, 2, kArmUp | kArmDown},
      {"bottom left", 1, 3, kArmUp | kArmRight},
      {"bottom right", 5, 3, kArmUp | kArmLeft},
      {"inside", 3, 1, 0},
      {"outside", 0, 1, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(canvas.At(c.x, c.y).arms, c.arms) << c.name;
  EXPECT_EQ(canvas.Dump(), " +---+\n |   |\n |   |\n +---+\n");
}

TEST(TerminalCanvas, LinesMeetingAFrameMakeTeesAndCrossings) {
  Canvas canvas(7, 5);
  canvas.Frame({0, 0, 7, 5}, "");
  canvas.HorizontalLine(2, 0, 6);
  canvas.VerticalLine(3, 0, 4);
  struct Case {
    const char* name;
    int x;
    int y;
    std::uint8_t arms;
  } cases[] = {
      {"left tee", 0, 2, kArmUp | kArmDown | kArmRight},
      {"right tee", 6, 2, kArmUp | kArmDown | kArmLeft},
      {"top tee", 3, 0, kArmLeft | kArmRight | kArmDown},
      {"bottom tee", 3, 4, kArmLeft | kArmRight | kArmUp},
      {"crossing", 3, 2, kArmUp | kArmDown | kArmLeft | kArmRight},
      {"line between", 1, 2, kArmLeft | kArmRight},
      {"corner untouched", 0, 0, kArmDown | kArmRight},
  };
  for (const Case& c : cases) EXPECT_EQ(canvas.At(c.x, c.y).arms, c.arms) << c.name;
  EXPECT_EQ(canvas.Row(2), "+--+--+");
  EXPECT_EQ(canvas.Row(1), "|  |  |");
}

TEST(TerminalCanvas, CharactersReplaceLinesAndLinesReplaceCharacters) {
  Canvas canvas(8, 3);
  canvas.Frame({0, 0, 8, 3}, "Ab");
  // The title is characters written over the top edge.
  EXPECT_EQ(canvas.Row(0), "+- Ab -+");
  EXPECT_EQ(canvas.At(3, 0).arms, 0);
  EXPECT_EQ(canvas.At(2, 0).arms, 0);
  EXPECT_EQ(canvas.At(1, 0).arms, kArmLeft | kArmRight);
  canvas.Put(0, 1, 'x');
  EXPECT_EQ(canvas.At(0, 1).arms, 0);
  canvas.Fill({6, 0, 2, 3}, ' ');
  EXPECT_EQ(canvas.At(7, 1).arms, 0);
  EXPECT_EQ(canvas.At(7, 1).ch, ' ');
  // A line drawn over a character takes the cell and only its own arms.
  canvas.Line(0, 1, kArmLeft | kArmRight);
  EXPECT_EQ(canvas.At(0, 1).arms, kArmLeft | kArmRight);
  EXPECT_EQ(canvas.At(0, 1).ch, '-');
  canvas.Line(99, 1, kArmUp);  // clipped like every write
  EXPECT_EQ(canvas.At(99, 1).arms, 0);
}

TEST(TerminalCanvas, AsciiFormOfEveryLineCell) {
  struct Case {
    std::uint8_t arms;
    char ascii;
  } cases[] = {
      {0, ' '},
      {kArmLeft, '-'},
      {kArmRight, '-'},
      {kArmLeft | kArmRight, '-'},
      {kArmUp, '|'},
      {kArmDown, '|'},
      {kArmUp | kArmDown, '|'},
      {kArmDown | kArmRight, '+'},
      {kArmUp | kArmLeft, '+'},
      {kArmUp | kArmDown | kArmLeft, '+'},
      {kArmUp | kArmDown | kArmLeft | kArmRight, '+'},
  };
  for (const Case& c : cases) EXPECT_EQ(LineCharacter(c.arms), c.ascii) << int{c.arms};
}

TEST(TerminalManual, LinesFitTheViewerAsWritten) {
  struct Case {
    std::string_view text;
    int width;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      // Lines as Halibut wrote them, indents kept, empty lines kept inside, none at the end.
      {"NAME\n\n   halshift - switch\n\n\n", 40, {"NAME", "", "   halshift - switch"}},
      // A line wider than the box breaks at its last blank that fits.
      {"   one two three four", 24, {"   one two three four"}},
      {"   one two three four five six", 24, {"   one two three four", "five six"}},
      // A code line without blanks breaks hard.
      {std::string_view("aaaaaaaaaaaaaaaaaaaaaaaaa"), 20, {"aaaaaaaaaaaaaaaaaaaa", "aaaaa"}},
      // Tabs advance to the next multiple of 8.
      {"a\tb", 30, {"a       b"}},
      {"", 30, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ManualLines(c.text, c.width), c.lines) << c.text;
  for (const std::string& line : ManualLines(std::string(300, 'x'), 30)) EXPECT_LE(line.size(), 30u);
}

}  // namespace
}  // namespace halshift::terminal
