// Tests of Windows path parsing, wildcard matching and the mapping onto drive folders.
#include "platform/image/drive_paths.h"

#include <gtest/gtest.h>

#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

TEST(DrivePathsTest, ParsesAndResolvesComponents) {
  struct Case {
    const char* input;
    const char* text;  // nullptr: refused
  };
  const Case cases[] = {
      {"C:\\WINNT\\System32\\HAL.DLL", "C:\\WINNT\\System32\\HAL.DLL"},
      {"d:/i386/hal.dl_", "D:\\i386\\hal.dl_"},
      {"\\I386\\HAL.DLL", "E:\\I386\\HAL.DLL"},  // no drive: the system drive
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

TEST(DrivePathsTest, WildcardsMatchAsFindFirstFileDoes) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"*.*", "NTLDR", true},        {"*.*", "hal.dll", true},   {"*", "x", true},
      {"HAL*.DL?", "halmps.dl_", true}, {"HAL*.DL?", "hal.dll", true},
      {"HAL*.DL?", "hal.dl", true},  {"HAL.DL?", "HAL.DLLX", false}, {"A?.B", "A.B", true},  {"?AL.DLL", "HAL.DLL", true}, {"?AL.DLL", "AL.DLL", false},
      {"HAL.*", "HAL", true},        {"HAL.*", "HALX", false},   {"*.EXE", "NTOSKRNL.EXE", true},
      {"*.EXE", "NTOSKRNL.EX_", false}, {"a*b*c", "aXXbYYc", true}, {"a*b*c", "aXXbYY", false},
      {"DEL*.TMP", "del1A2B.TMP", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
  }
}

TEST(DrivePathsTest, MapsWithoutCaseAndNeverLeavesTheDrive) {
  testing::TempImage image;
  image.WriteDriveFile("C:\\WinNT\\System32\\Hal.dll", "x");
  image.MakeDriveDirectory("D:\\I386");
  const DriveMap drives(image.Root() / "drives");
  const auto map = [&](const char* path) { return drives.Map(*ParseWindowsPath(path, 'C')); };

  EXPECT_EQ(map("c:\\WINNT\\SYSTEM32\\HAL.DLL"), image.DrivePath("C:\\WinNT\\System32\\Hal.dll"));
  // A new name keeps the case given; folders on the way keep theirs.
  EXPECT_EQ(map("C:\\winnt\\NewFile.Txt"), image.DrivePath("C:\\WinNT\\NewFile.Txt"));
  EXPECT_EQ(map("C:\\..\\..\\..\\WINNT"), image.DrivePath("C:\\WinNT"));
  EXPECT_EQ(map("C:\\"), image.Root() / "drives" / "C");
  EXPECT_FALSE(map("E:\\x"));  // no folder: no media
}

TEST(DrivePathsTest, SymbolicLinksOnTheWayAreNotFollowed) {
  testing::TempImage image;
  image.MakeDriveDirectory("C:\\WINNT");
  std::filesystem::create_directory_symlink(image.Root(), image.DrivePath("C:\\out"));
  const DriveMap drives(image.Root() / "drives");
  EXPECT_FALSE(drives.Map(*ParseWindowsPath("C:\\out\\machine.ini", 'C')));
}

}  // namespace
}  // namespace halshift::image
