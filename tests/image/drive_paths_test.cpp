// Tests of the mapping of Windows paths onto drive folders.
#include "platform/image/drive_paths.h"

#include <gtest/gtest.h>

#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

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
