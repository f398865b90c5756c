// The media drive of an offline machine through the file operations: an ISO image is read as a
// folder is (names in any case, without ";1"), and every change fails on it, as on a CD; a CD's
// folder is read-only too.
#include <gtest/gtest.h>

#include "tests/support/host_file.h"
#include "tests/support/offline_tree.h"

namespace halshift {
namespace {

using namespace testing;

// The tree with its media as an ISO image made from the CD's folder, opened in this process.
std::unique_ptr<OpenedMachine> OpenWithIso(TempImage& tree) {
  MakeOfflineTree(tree);
  const std::string iso = (tree.Root() / "sp6.iso").string();
  const ProgramRun made = RunCommand({"xorriso", "-as", "mkisofs", "-quiet", "-o", iso, DriveFolder(tree, 'D')});
  EXPECT_EQ(made.exitCode, 0) << made.err;
  std::filesystem::rename(DriveFolder(tree, 'D'), tree.Root() / "cd");
  std::filesystem::create_symlink(iso, DriveFolder(tree, 'D'));  // --media follows what a person names
  return OpenOfflineTree(tree);
}

TEST(OfflineMediaTest, AnIsoImageReadsAsTheCdsFolderAndRefusesEveryChange) {
  TempImage tree;
  auto machine = OpenWithIso(tree);
  ASSERT_TRUE(machine);
  platform::FileSystem& files = machine->Platform().files;
  EXPECT_EQ(files.GetDriveType("D:\\"), platform::kDriveCdrom);
  EXPECT_EQ(files.GetDriveType("C:\\"), platform::kDriveFixed);

  const std::string cd = (tree.Root() / "cd").string();
  const auto expectedBytes = [&](const char* relative) {
    return halshift::testing::ReadHostFile(cd + "/" + relative);
  };
  EXPECT_EQ(files.ReadFile("D:\\i386\\hal.dll"), expectedBytes("I386/HAL.DLL"));
  EXPECT_TRUE(files.FindFirstFile("D:\\I386\\HAL.DL?"));
  EXPECT_TRUE(files.FindFirstFile("d:\\I386"));
  EXPECT_FALSE(files.FindFirstFile("D:\\I386\\NOSUCH.DLL"));
  EXPECT_EQ(files.GetFileAttributes("D:\\I386\\HAL.DLL"), platform::kFileAttributeReadOnly);
  EXPECT_EQ(files.GetFileAttributes("D:\\I386"),
            platform::kFileAttributeReadOnly | platform::kFileAttributeDirectory);
  EXPECT_EQ(files.GetFileAttributes("D:\\I386\\*"), platform::kInvalidFileAttributes);
  std::size_t listed = 0;
  for (const auto& found : files.FindFiles("D:\\I386\\*.DLL")) {
    ++listed;
    EXPECT_EQ(found.name.find(';'), std::string::npos) << found.name;
    EXPECT_EQ(found.size, expectedBytes(("I386/" + found.name).c_str()).size()) << found.name;
  }
  EXPECT_GE(listed, 3u);

  // Every change fails, and nothing shows on the drive afterwards.
  std::string tempName;
  EXPECT_FALSE(files.CreateDirectory("D:\\NEW"));
  EXPECT_FALSE(files.CopyFile("C:\\BOOT.INI", "D:\\BOOT.INI", false));
  EXPECT_FALSE(files.MoveFile("D:\\I386\\HAL.DLL", "D:\\I386\\OLD.DLL"));
  EXPECT_FALSE(files.DeleteFile("D:\\I386\\HAL.DLL"));
  EXPECT_FALSE(files.SetFileAttributes("D:\\I386\\HAL.DLL", platform::kFileAttributeNormal));
  EXPECT_FALSE(files.GetTempFileName("D:\\I386", "hsn"));
  EXPECT_FALSE(files.OpenFile("D:\\I386\\NEW.TXT", platform::OpenMode::kCreateTruncate));
  EXPECT_NE(files.VerInstallFile(0, "HAL.DLL", "X.DLL", "D:\\I386", "D:\\I386", "", tempName), 0u);
  EXPECT_FALSE(files.FindFirstFile("D:\\NEW"));
  EXPECT_FALSE(files.FindFirstFile("D:\\I386\\OLD.DLL"));

  // As a source it serves the installer and CopyFile; a copy from a CD is read-only.
  EXPECT_EQ(files.VerInstallFile(0, "HAL.DLL", "X.DLL", "D:\\I386", "C:\\WINNT", "", tempName), 0u);
  EXPECT_EQ(tree.ReadDriveFile("C:\\WINNT\\X.DLL"), expectedBytes("I386/HAL.DLL"));
  EXPECT_TRUE(files.CopyFile("D:\\I386\\HAL.DLL", "C:\\WINNT\\Y.DLL", true));
  EXPECT_EQ(files.GetFileAttributes("C:\\WINNT\\Y.DLL"), platform::kFileAttributeReadOnly);
}

// ".." stops at a drive's root: the files beside the drive folders (the example's machine.ini
// and registry.reg) are out of reach, and a folder made "above" the root is made in it.
TEST(OfflineMediaTest, DotDotStopsAtTheDrivesRoot) {
  TempImage tree;
  MakeOfflineTree(tree);
  auto machine = OpenOfflineTree(tree);
  ASSERT_TRUE(machine);
  platform::FileSystem& files = machine->Platform().files;
  ASSERT_TRUE(std::filesystem::exists(tree.Root() / "registry.reg"));
  for (const char* path : {"C:\\..\\..\\registry.reg", "C:\\WINNT\\..\\..\\..\\machine.ini",
                           "D:\\..\\..\\registry.reg", "\\..\\drives\\C\\BOOT.INI"}) {
    EXPECT_FALSE(files.ReadFile(path)) << path;
    EXPECT_FALSE(files.FindFirstFile(path)) << path;
  }
  EXPECT_TRUE(files.CreateDirectory("C:\\..\\..\\ABOVE"));
  EXPECT_TRUE(std::filesystem::is_directory(tree.DrivePath("C:\\ABOVE")));
  EXPECT_FALSE(std::filesystem::exists(tree.Root() / "ABOVE"));
}

TEST(OfflineMediaTest, TheCdsFolderIsReadOnlyToo) {
  TempImage tree;
  MakeOfflineTree(tree);
  const TreeSnapshot before = SnapshotTree(DriveFolder(tree, 'D'));
  auto machine = OpenOfflineTree(tree);
  ASSERT_TRUE(machine);
  platform::FileSystem& files = machine->Platform().files;
  EXPECT_TRUE(files.FindFirstFile("D:\\I386\\HAL.DLL"));
  EXPECT_FALSE(files.CreateDirectory("D:\\NEW"));
  EXPECT_FALSE(files.DeleteFile("D:\\I386\\HAL.DLL"));
  EXPECT_FALSE(files.OpenFile("D:\\I386\\NEW.TXT", platform::OpenMode::kAppendExclusive));
  EXPECT_FALSE(files.MoveFile("D:\\I386\\HAL.DLL", "D:\\HAL.DLL"));
  EXPECT_EQ(SnapshotTree(DriveFolder(tree, 'D')), before);
}

}  // namespace
}  // namespace halshift
