// Tests of the Windows path rules: parsing, joining, the directory above, wildcards.
#include "base/winpath.h"

#include <gtest/gtest.h>

namespace halshift::winpath {
namespace {

TEST(WinPathTest, ParsesAndResolvesComponents) {
  struct Case {
    const char* input;
    const char* text;  // nullptr: refused
  };
  const Case cases[] = {
      {"C:\\WINNT\\System32\\HAL.DLL", "C:\\WINNT\\System32\\HAL.DLL"},
      {"d:/i386/hal.dl_", "D:\\i386\\hal.dl_"},
      {"\\I386\\HAL.DLL", "E:\\I386\\HAL.DLL"},  // no drive: the default drive
      {"BOOT.INI", "E:\\BOOT.INI"},
      {"C:\\", "C:\\"},
      {"C:", "C:\\"},
      {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
      {"C:\\..\\..\\x", "C:\\x"},  // ".." at the root stays there
      {"C:\\a\\\\b\\", "C:\\a\\b"},
      {"\\\\server\\share\\x", nullptr},
      {"\\??\\C:\\x", nullptr},
      {"1:\\x", nullptr},
      {"C:\\a:b", nullptr},
      {"C:\\a|b", nullptr},
      {"C:\\a\x01", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseWindowsPath(c.input, 'e');
    if (c.text == nullptr) {
      EXPECT_FALSE(parsed) << c.input;
    } else {
      ASSERT_TRUE(parsed) << c.input;
      EXPECT_EQ(parsed->Text(), c.text) << c.input;
    }
  }
  EXPECT_FALSE(ParseWindowsPath("C:\\" + std::string(kMaxPath, 'a'), 'C'));
  EXPECT_TRUE(ParseWindowsPath("C:\\x\\", 'C')->trailingSeparator);
  EXPECT_EQ(ParseWindowsPath("c:\\Winnt", 'C')->Key(), "C:\\WINNT");
}

TEST(WinPathTest, WildcardsMatchAsFindFirstFileDoes) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.*", "NTLDR", true},          {"*.*", "hal.dll", true},        {"*", "x", true},
      {"HAL*.DL?", "halmps.dl_", true}, {"HAL*.DL?", "hal.dll", true},  {"HAL*.DL?", "hal.dl", true},
      {"HAL.DL?", "HAL.DLLX", false},   {"HAL.DL?", "HAL.DL", true},    {"HAL.DL?", "HAL.DL_", true},
      {"A?.B", "A.B", true},            {"?AL.DLL", "HAL.DLL", true},   {"?AL.DLL", "AL.DLL", false},
      {"HAL.*", "HAL", true},           {"HAL.*", "HALX", false},       {"*.EXE", "NTOSKRNL.EXE", true},
      {"*.EXE", "NTOSKRNL.EX_", false}, {"a*b*c", "aXXbYYc", true},     {"a*b*c", "aXXbYY", false},
      {"DEL*.TMP", "del1A2B.TMP", true}, {"HAL*.DLL", "UPHAL.DLL", false}, {"HAL*.DLL", "HALMPS.DL_", false},
      {"*.C", "A.B.C", true},           {"*AB", "AAB", true},           {"*AB", "ABA", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
  }
  EXPECT_TRUE(MatchesAnyWildcard("HAL*.DLL; HAL*.DL_", "HAL.DL_"));
  EXPECT_FALSE(MatchesAnyWildcard("HAL*.DLL;HAL*.DL_", "NTDLL.DLL"));
  EXPECT_TRUE(MatchesAnyWildcard("", "ANY"));
  EXPECT_TRUE(MatchesAnyWildcard("X.*", "X"));  // the chooser lists what FindFirstFileA finds
}

TEST(WinPathTest, JoinsSplitsAndClimbs) {
  EXPECT_EQ(JoinUnchecked("D:\\I386", "HAL.DLL"), "D:\\I386\\HAL.DLL");
  EXPECT_EQ(JoinUnchecked("", "HAL.DLL"), "\\HAL.DLL");       // an empty directory names the root
  EXPECT_EQ(JoinUnchecked("C:\\", "HAL.DLL"), "C:\\\\HAL.DLL");  // no test for a separator present
  EXPECT_EQ(Join("D:\\", "I386"), "D:\\I386");
  EXPECT_EQ(Join("D:\\I386", "HAL.DLL"), "D:\\I386\\HAL.DLL");
  EXPECT_EQ(Join("D:/I386/", "HAL.DLL"), "D:/I386/HAL.DLL");
  EXPECT_EQ(DirectoryOf("D:\\I386\\HAL.DLL"), "D:\\I386");
  EXPECT_EQ(DirectoryOf("HAL.DLL"), "");
  EXPECT_EQ(FileNameOf("C:\\WINNT\\System32\\hal.dll"), "hal.dll");
  EXPECT_EQ(FileNameOf("hal.dll"), "hal.dll");
  EXPECT_EQ(ParentDirectory("D:\\I386"), "D:\\");
  EXPECT_EQ(ParentDirectory("D:\\NT4SP6\\I386"), "D:\\NT4SP6");
  EXPECT_EQ(ParentDirectory("D:\\NT4SP6\\I386\\"), "D:\\NT4SP6");
  EXPECT_EQ(ParentDirectory("D:\\"), "D:\\");
  EXPECT_EQ(DriveDesignation("C:\\WINNT"), "C:");
  EXPECT_EQ(DriveDesignation("C"), "C");
  EXPECT_EQ(FoldCase("c:\\WinNT\\hal.dll"), "C:\\WINNT\\HAL.DLL");
}

// Only the exact form GetTempFileNameA gives is a temporary file of a prefix; what a pattern
// such as "del*.TMP" also finds (through the long name or the 8.3 short name) is not.
TEST(WinPathTest, TempFileNamesHaveExactlyTheGetTempFileNameForm) {
  struct Case {
    const char* name;
    const char* prefix;
    bool matches;
  } cases[] = {
      {"hsn1A2F.TMP", "hsn", true},     {"HSN0.tmp", "hsn", true},
      {"del7.TMP", "del", true},        {"delFFFF.TMP", "del", true},
      {"BMTab0.TMP", "BMT", true},      {"slt3.TMP", "slt", true},
      {"hsnotes.TMP", "hsn", false},    {"delete.tmp", "del", false},
      {"deltaX.tmp", "del", false},     {"BMTEST.TMP", "BMT", false},
      {"del12345.TMP", "del", false},   {"del.TMP", "del", false},
      {"delivery.tmpl", "del", false},  {"DELIVE~1.TMP", "del", false},
      {"del1.TMP.bak", "del", false},   {"xdel1.TMP", "del", false},
      {"del 1.TMP", "del", false},      {"hsn1A2F.TMP", "del", false},
      {"ab12.TMP", "abcdef", false},    {"abc12.TMP", "abcdef", true},  // three characters used
      {"x1.TMP", "x", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsTempFileName(c.name, c.prefix), c.matches) << c.prefix << " / " << c.name;
  }
}

}  // namespace
}  // namespace halshift::winpath
