// The Volume seam over NTFS: every change that the image's file operations make on a drive,
// made through the adapter on a volume under its disk's undo journal, then checked with
// ntfsfix -n and ntfscat; and the files an installation's switch needs whole.
#include "platform/image/ntfs_drive.h"

#include <gtest/gtest.h>

#include "platform/image/undo_journal.h"
#include "tests/disk/ntfs_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;
using Path = std::vector<std::string>;

std::unique_ptr<Volume> MountImage(const std::filesystem::path& image, bool writable, std::string& problem) {
  std::shared_ptr<BlockDevice> raw = RawDevice::Open(image, writable, nullptr, problem);
  auto disk = raw ? JournaledDisk(raw, image, writable, problem) : nullptr;
  return disk ? MountNtfsDrive({disk}, *disk, writable, problem) : nullptr;
}

TEST(NtfsDriveTest, ChangesReadBackThroughNtfsTools) {
  TempFolder folder;
  const auto image = folder / "ntfs.img";
  ASSERT_TRUE(MakeNtfs(image, 8));
  ASSERT_TRUE(MakeNtfsFolder(image, "", "WINNT"));
  ASSERT_TRUE(MakeNtfsFolder(image, "/WINNT", "System32"));
  ASSERT_TRUE(PutNtfsFile(image, "WINNT/System32/HAL.DLL", "old hal", folder));
  {
    std::string problem;
    auto drive = MountImage(image, true, problem);
    ASSERT_TRUE(drive) << problem;
    ASSERT_TRUE(drive->Writable());
    const Path staged = {"WINNT", "SYSTEM32", "hsn1A.tmp"};
    const Path hal = {"winnt", "system32", "hal.dll"};
    EXPECT_TRUE(drive->CanCreate("Long Name+1.tmp"));
    EXPECT_FALSE(drive->CanCreate("a:b"));
    EXPECT_TRUE(drive->Write(staged, "new hal"));
    EXPECT_EQ(drive->Find(staged)->name, "hsn1A.tmp");  // as given
    EXPECT_TRUE(drive->Rename(staged, "HAL.DLL"));      // over the old file
    EXPECT_FALSE(drive->Find(staged));
    EXPECT_TRUE(drive->SetAttributes(hal, volume::kReadOnly | volume::kHidden | volume::kSystem | 0x800));
    EXPECT_EQ(drive->Find(hal)->attributes & (volume::kChangeable | 0x800),
              volume::kReadOnly | volume::kHidden | volume::kSystem);
    EXPECT_TRUE(drive->CreateFolder(Path{"WINNT", "repair"}));
    EXPECT_TRUE(drive->Write(Path{"WINNT", "repair", "setup.log"}, std::string(5000, 's')));
    EXPECT_TRUE(drive->Write(Path{"gone.tmp"}, ""));
    EXPECT_TRUE(drive->Delete(Path{"GONE.TMP"}));
    EXPECT_FALSE(drive->Delete(Path{"WINNT"}));
    const auto listed = drive->List(Path{"WINNT"});
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].directory && listed[1].directory);
    EXPECT_TRUE(drive->Flush());
  }
  std::string report;
  EXPECT_TRUE(NtfsConsistent(image, &report)) << report;
  EXPECT_FALSE(std::filesystem::exists(UndoJournalPath(image)));
  EXPECT_EQ(CatNtfsFile(image, "WINNT/System32/HAL.DLL").output, "new hal");
  EXPECT_EQ(CatNtfsFile(image, "WINNT/repair/setup.log").output, std::string(5000, 's'));
  // Read back through a fresh mount for reading only.
  std::string problem;
  auto reading = MountImage(image, false, problem);
  ASSERT_TRUE(reading) << problem;
  EXPECT_FALSE(reading->Writable());
  EXPECT_EQ(reading->Read(Path{"WINNT", "System32", "HAL.DLL"}), "new hal");
}

TEST(NtfsDriveTest, AnInstallationsFileThatIsNotPlainRefusesTheVolume) {
  TempFolder folder;
  const auto image = folder / "ntfs.img";
  ASSERT_TRUE(MakeNtfs(image, 8));
  ASSERT_TRUE(MakeNtfsFolder(image, "", "WINNT"));
  ASSERT_TRUE(MakeNtfsFolder(image, "/WINNT", "System32"));
  ASSERT_TRUE(MakeNtfsFolder(image, "/WINNT/System32", "config"));
  ASSERT_TRUE(MakeNtfsFolder(image, "", "DATA"));
  for (const char* file : {"WINNT/System32/config/SOFTWARE", "WINNT/System32/NTOSKRNL.EXE",
                           "WINNT/System32/NOTEPAD.EXE", "DATA/NTOSKRNL.EXE", "BOOT.INI"}) {
    ASSERT_TRUE(PutNtfsFile(image, file, "bytes", folder));
  }
  const std::filesystem::path pristine = folder / "pristine.img";
  std::filesystem::copy_file(image, pristine);
  struct Case {
    const char* file;
    bool refused;
  };
  for (const Case& test : {Case{"/WINNT/System32/NTOSKRNL.EXE", true}, Case{"/WINNT/System32/config/SOFTWARE", true},
                           Case{"/BOOT.INI", true}, Case{"/WINNT/System32/NOTEPAD.EXE", false},
                           Case{"/DATA/NTOSKRNL.EXE", false}}) {
    SCOPED_TRACE(test.file);
    std::filesystem::copy_file(pristine, image, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(SetNtfsFileFlag(image, test.file, ntfs::kCompressed));
    const auto before = ReadBytes(image);
    std::string problem;
    const bool mounted = MountImage(image, true, problem) != nullptr;
    EXPECT_EQ(mounted, !test.refused) << problem;
    if (test.refused) {
      EXPECT_NE(problem.find("is compressed on the NTFS volume"), std::string::npos) << problem;
    }
    EXPECT_TRUE(ReadBytes(image) == before);
  }
}

}  // namespace
}  // namespace halshift::image
