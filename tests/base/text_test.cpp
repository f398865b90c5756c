// The text helpers: trimming and the split into lines that every parser of lines shares.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace halshift::text {
namespace {

TEST(TextTest, TrimsOnlyTheGivenCharactersAtTheEnds) {
  struct Case {
    std::string_view input;
    std::string_view characters;
    std::string_view trimmed;
  };
  const Case cases[] = {
      {" \tkey = value\t ", kBlanks, "key = value"},
      {"value\r\n", kBlanks, "value\r\n"},
      {" value\r\n", kBlanksAndLineEnds, "value"},
      {" \t \r\n", kBlanksAndLineEnds, ""},
      {"", kBlanks, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Trim(c.input, c.characters), c.trimmed) << c.input;
  EXPECT_EQ(TrimEnd("\r\nline\r\r\n", "\r\n"), "\r\nline");
}

TEST(TextTest, SplitsLinesKeepingEveryByte) {
  const std::string_view text = "a\r\n\nb\rc\nlast";
  const std::vector<std::string_view> lines = SplitLines(text);
  EXPECT_EQ(lines, (std::vector<std::string_view>{"a\r\n", "\n", "b\rc\n", "last"}));
  EXPECT_TRUE(SplitLines("").empty());
  EXPECT_EQ(SplitLines("one\n"), std::vector<std::string_view>{"one\n"});
}

TEST(TextTest, ChangesCaseOfAsciiLettersOnly) {
  EXPECT_EQ(ToUpper("halmps.dll \xE4"), "HALMPS.DLL \xE4");
  EXPECT_EQ(ToLower("HALMPS.DLL \xC4"), "halmps.dll \xC4");
  EXPECT_TRUE(EqualsIgnoreCase("OriginalFilename", "ORIGINALFILENAME"));
  EXPECT_FALSE(EqualsIgnoreCase("hal", "hal "));
}

}  // namespace
}  // namespace halshift::text
