// The Volume seam over FAT16: every change that the image's file operations make on a drive,
// made through the adapter on a volume that mtools filled, then checked with fsck.fat -n and
// mtools.
#include "platform/image/fat16_drive.h"

#include <gtest/gtest.h>

#include "platform/image/machine_image.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;
using Path = std::vector<std::string>;

TEST(Fat16DriveTest, ChangesReadBackThroughMtools) {
  TempFolder folder;
  const auto image = folder / "fat16.img";
  ASSERT_TRUE(MakeFat16(image, 32));
  ASSERT_EQ(Shell("mmd -i " + Quoted(image) + " ::WINNT ::WINNT/System32").status, 0);
  ASSERT_TRUE(PutFile(image, 0, "::WINNT/System32/HAL.DLL", "old hal", folder));
  ASSERT_TRUE(PutFile(image, 0, "::WINNT/Long File Name.txt", "long", folder));
  {
    std::string error;
    std::shared_ptr<BlockDevice> device = RawDevice::Open(image, true, nullptr, error);
    ASSERT_TRUE(device) << error;
    auto mounted = Fat16Volume::Mount(*device, error);
    ASSERT_TRUE(mounted) << error;
    Fat16Drive drive({device}, std::move(mounted));

    // Listing: the long name first, the 8.3 name beside it; attributes as FAT keeps them.
    const auto listed = drive.List(Path{"winnt"});
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "System32");
    EXPECT_EQ(listed[0].shortName, "SYSTEM32");
    EXPECT_TRUE(listed[0].directory);
    EXPECT_EQ(listed[1].name, "Long File Name.txt");
    EXPECT_EQ(listed[1].shortName.substr(0, 7), "LONGFI~");
    EXPECT_EQ(drive.Read(Path{"WINNT", "LONG FILE NAME.TXT"}), "long");

    const Path staged = {"WINNT", "SYSTEM32", "hsn1.tmp"};
    const Path hal = {"WINNT", "system32", "hal.dll"};
    EXPECT_TRUE(drive.CanCreate("hsn1.tmp"));
    EXPECT_FALSE(drive.CanCreate("a*b.dll"));
    EXPECT_TRUE(drive.Write(staged, "new hal"));
    EXPECT_TRUE(drive.Rename(staged, "hal.dll"));  // over the old file
    EXPECT_FALSE(drive.Find(staged));
    EXPECT_TRUE(drive.SetAttributes(hal, volume::kReadOnly | volume::kHidden | volume::kSystem));
    EXPECT_EQ(drive.Find(hal)->attributes & volume::kChangeable,
              volume::kReadOnly | volume::kHidden | volume::kSystem);
    EXPECT_TRUE(drive.CreateFolder(Path{"repair"}));
    // A name that is no 8.3 name gets a long name and an alias.
    EXPECT_TRUE(drive.CreateFolder(Path{"orvsystem"}));
    EXPECT_TRUE(drive.CreateFolder(Path{"ORVSYSTEM", "log"}));
    EXPECT_TRUE(drive.Write(Path{"orvsystem", "log", "halshift.log"}, "entry"));
    EXPECT_EQ(drive.Find(Path{"orvsystem"})->shortName, "ORVSYS~1");
    EXPECT_TRUE(drive.Write(Path{"repair", "setup.log"}, std::string(5000, 's')));
    EXPECT_TRUE(drive.Write(Path{"gone.tmp"}, ""));
    EXPECT_TRUE(drive.Delete(Path{"GONE.TMP"}));
    EXPECT_FALSE(drive.Delete(Path{"repair"}));
    EXPECT_TRUE(drive.Flush());
  }
  std::string report;
  EXPECT_EQ(Fsck(image, &report), FsckVerdict::kClean) << report;
  EXPECT_EQ(TypeFile(image, 0, "::WINNT/SYSTEM32/HAL.DLL").output, "new hal");
  EXPECT_EQ(TypeFile(image, 0, "::REPAIR/SETUP.LOG").output, std::string(5000, 's'));
  EXPECT_EQ(TypeFile(image, 0, "::orvsystem/LOG/HALSHIFT.LOG").output, "entry");
  EXPECT_EQ(TypeFile(image, 0, "::ORVSYS~1/log/halshift.log").output, "entry");
  EXPECT_NE(Shell("mattrib -i " + Quoted(image) + " ::WINNT/SYSTEM32/HAL.DLL").output.find("SHR"),
            std::string::npos);
  EXPECT_EQ(Shell("mdir -b -i " + Quoted(image) + " ::").output.find("GONE"), std::string::npos);
}

}  // namespace
}  // namespace halshift::image
