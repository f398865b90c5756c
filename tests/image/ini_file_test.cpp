// Tests of the machine.ini reader and its entry rewriter.
#include "platform/image/ini_file.h"

#include <gtest/gtest.h>

namespace halshift::image {
namespace {

TEST(IniFileTest, ReadsSectionsKeysAndValuesWithoutBlanksAndComments) {
  const std::string text =
      "; leading comment\r\n"
      "[System]\r\n"
      "  Version = 3.51   ; the old one\r\n"
      "Build=1057\r\n"
      "\r\n"
      "[ drives ]\n"
      "A=removable ;floppy\n"
      "C = fixed\n"
      "[InUse]\n"
      "C:\\WINNT\\System32\\HAL.DLL=\n"
      "Key=a;b\n";
  std::string error;
  const auto ini = IniFile::Parse(text, error);
  ASSERT_TRUE(ini) << error;
  ASSERT_EQ(ini->Sections().size(), 3u);
  EXPECT_EQ(ini->Value("SYSTEM", "version"), "3.51");
  EXPECT_EQ(ini->Value("system", "BUILD"), "1057");
  EXPECT_EQ(ini->Value("Drives", "a"), "removable");
  EXPECT_EQ(ini->Value("Drives", "C"), "fixed");
  EXPECT_EQ(ini->Value("InUse", "c:\\winnt\\system32\\hal.dll"), "");
  // A ';' that follows no blank belongs to the value.
  EXPECT_EQ(ini->Value("InUse", "Key"), "a;b");
  EXPECT_EQ(ini->Value("Drives", "D"), std::nullopt);
  EXPECT_EQ(ini->FindSection("drives")->entries[1].line, 8u);
  EXPECT_EQ(ini->Text(), text);
}

// The lenient reader behind GetPrivateProfileSection: it reads what Parse refuses.
TEST(IniFileTest, LenientSectionLinesAsTheProfileFunctionsReadThem) {
  using Lines = std::vector<std::string>;
  const struct {
    const char* text;
    Lines lines;
  } cases[] = {
      {"[S]\r\n  a \t=  b c \r\n;c\r\n\r\nnoequals \n", {"a=b c", "noequals"}},
      {"[s]\nx=1\n[T]\ny=2\n[ S ]\nz=3\n", {"x=1"}},  // the first section only
      {"x=0\n[S\ny=1\n[S]\n[unclosed\n=v\n", {"[unclosed", "=v"}},
      {"[S] trailing\nk=v;not a comment\n", {"k=v;not a comment"}},
      {"[other]\nk=v\n", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LenientSectionLines(c.text, "s"), c.lines) << c.text;
  }
}

TEST(IniFileTest, DamagedLinesNameTheirLine) {
  struct Case {
    const char* name;
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"no equals sign", "[System]\nVersion=4.0\nnonsense\n", "3: expected key=value"},
      {"entry before a section", "\n; c\nVersion=4.0\n", "3: key=value before any [Section]"},
      {"unclosed header", "[System]\n[Drives\n", "2: a section header lacks its closing ']'"},
      {"empty key", "[System]\n=4.0\n", "2: a key is empty"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(IniFile::Parse(c.text, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(IniFileTest, ReplacingAnEntryKeepsEveryOtherByte) {
  const std::string text =
      "[System]\r\nVersion=4.0 ; note\r\n[InUse]\r\n; held files\r\nC:\\A\\HAL.DLL=\r\n"
      "C:\\A\\NTOSKRNL.EXE=x\r\n";
  std::string error;
  auto ini = IniFile::Parse(text, error);
  ASSERT_TRUE(ini) << error;
  ASSERT_TRUE(ini->ReplaceEntryLine(5, "C:\\A\\del1.tmp", ""));
  EXPECT_EQ(ini->Text(),
            "[System]\r\nVersion=4.0 ; note\r\n[InUse]\r\n; held files\r\nC:\\A\\del1.tmp=\r\n"
            "C:\\A\\NTOSKRNL.EXE=x\r\n");
  EXPECT_EQ(ini->Value("InUse", "c:\\a\\DEL1.TMP"), "");
  EXPECT_EQ(ini->Value("InUse", "C:\\A\\HAL.DLL"), std::nullopt);
  // Only entry lines can be replaced.
  EXPECT_FALSE(ini->ReplaceEntryLine(4, "x", "y"));
  EXPECT_FALSE(ini->ReplaceEntryLine(99, "x", "y"));
}

}  // namespace
}  // namespace halshift::image
