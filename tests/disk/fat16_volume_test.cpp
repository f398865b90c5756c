// FAT16 volumes made by mkfs.fat and filled by mtools, read and changed by the program, then
// checked with fsck.fat -n and mtools.
#include "platform/image/fat16_volume.h"

#include <gtest/gtest.h>

#include "platform/image/machine_image.h"
#include "platform/image/partition_table.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

std::string Text(const std::optional<std::vector<std::uint8_t>>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
}

class Fat16VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = folder_ / "fat16.img";
    ASSERT_TRUE(MakeFat16(image_, 32));
    ASSERT_EQ(Shell("mmd -i " + Quoted(image_) + " ::WINNT ::WINNT/SYSTEM32").status, 0);
    ASSERT_TRUE(PutFile(image_, 0, "::BOOT.INI", "[boot loader]\r\ntimeout=30\r\n", folder_));
    ASSERT_TRUE(PutFile(image_, 0, "::WINNT/SYSTEM32/HAL.DLL", std::string(5000, 'h'), folder_));
    ASSERT_TRUE(PutFile(image_, 0, "::WINNT/Long File Name.txt", "long", folder_));
  }
  std::unique_ptr<Fat16Volume> Mount() {
    std::string error;
    device_ = RawDevice::Open(image_, true, nullptr, error);
    if (!device_) return nullptr;
    auto volume = Fat16Volume::Mount(*device_, error);
    EXPECT_TRUE(volume) << error;
    return volume;
  }
  void ExpectClean() {
    std::string report;
    EXPECT_EQ(Fsck(image_, &report), FsckVerdict::kClean) << report;
  }

  TempFolder folder_;
  std::filesystem::path image_;
  std::unique_ptr<RawDevice> device_;
};

TEST_F(Fat16VolumeTest, ReadsWhatMtoolsWrote) {
  auto volume = Mount();
  ASSERT_TRUE(volume);
  EXPECT_EQ(Text(volume->ReadFile("BOOT.INI")), "[boot loader]\r\ntimeout=30\r\n");
  EXPECT_EQ(Text(volume->ReadFile("\\winnt\\system32\\hal.dll")), std::string(5000, 'h'));
  EXPECT_EQ(Text(volume->ReadFile("WINNT/long file name.TXT")), "long");
  const auto list = volume->List("WINNT");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].name, "SYSTEM32");
  EXPECT_TRUE((*list)[0].IsDirectory());
  EXPECT_EQ((*list)[1].longName, "Long File Name.txt");
  // The short name that mtools made for it reaches the same file.
  EXPECT_EQ(Text(volume->ReadFile("WINNT\\" + (*list)[1].name)), "long");
  EXPECT_FALSE(volume->ReadFile("WINNT"));
  EXPECT_FALSE(volume->ReadFile("MISSING.TXT"));
  EXPECT_FALSE(volume->List("BOOT.INI"));
  EXPECT_FALSE(volume->ReadFile("WINNT\\..\\BOOT.INI"));
}

TEST_F(Fat16VolumeTest, CreateWriteRenameDeleteAttributesStayCleanAndMtoolsAgrees) {
  auto volume = Mount();
  ASSERT_TRUE(volume);
  // A file of several clusters in a subfolder, then one that replaces BOOT.INI's data.
  const std::string big(9000, 'x');
  ASSERT_TRUE(volume->WriteFile("WINNT\\SYSTEM32\\HALMPS.DLL", BytesOf(big))) << volume->LastError();
  ASSERT_TRUE(volume->WriteFile("BOOT.INI", BytesOf("[boot loader]\r\ntimeout=10\r\n")));
  ASSERT_TRUE(volume->WriteFile("EMPTY.TXT", {}));
  ASSERT_TRUE(volume->Flush());
  ExpectClean();
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/SYSTEM32/HALMPS.DLL").output, big);
  EXPECT_EQ(TypeFile(image_, 0, "::BOOT.INI").output, "[boot loader]\r\ntimeout=10\r\n");
  EXPECT_EQ(TypeFile(image_, 0, "::EMPTY.TXT").output, "");

  // Rename over an existing file: HAL.DLL gets HALMPS.DLL's data; rename to a new name.
  ASSERT_TRUE(volume->Rename("WINNT\\SYSTEM32\\HALMPS.DLL", "HAL.DLL")) << volume->LastError();
  ASSERT_TRUE(volume->Rename("EMPTY.TXT", "NOTHING"));
  ExpectClean();
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/SYSTEM32/HAL.DLL").output, big);
  EXPECT_NE(TypeFile(image_, 0, "::WINNT/SYSTEM32/HALMPS.DLL").status, 0);
  EXPECT_EQ(TypeFile(image_, 0, "::NOTHING").status, 0);

  ASSERT_TRUE(volume->SetAttributes("BOOT.INI", fat::kReadOnly | fat::kHidden | fat::kSystem));
  ASSERT_TRUE(volume->SetAttributes("WINNT", 0));  // a folder stays a folder
  const RunResult attributes = Shell("mattrib -i " + Quoted(image_) + " ::BOOT.INI");
  EXPECT_NE(attributes.output.find("  SHR"), std::string::npos) << attributes.output;
  EXPECT_TRUE(volume->Find("WINNT")->IsDirectory());

  ASSERT_TRUE(volume->Delete("NOTHING"));
  ASSERT_TRUE(volume->Delete("WINNT\\Long File Name.txt"));
  EXPECT_FALSE(volume->Delete("WINNT"));
  ASSERT_TRUE(volume->Flush());
  ExpectClean();
  const RunResult listing = Shell("mdir -a -b -i " + Quoted(image_) + " ::WINNT");
  EXPECT_EQ(listing.output, "::/WINNT/SYSTEM32/\n");
  EXPECT_EQ(Shell("mdir -a -b -i " + Quoted(image_) + " ::").output, "::/WINNT/\n::/BOOT.INI\n");
}

TEST_F(Fat16VolumeTest, RenameOverAFileInTheSameSectorIsOneWrite) {
  {
    auto volume = Mount();
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volume->WriteFile("WINNT\\SYSTEM32\\HALMPS.DL$", BytesOf("new hal")));
  }
  device_.reset();
  // Every write after the first fails: the rename is done by then, only the freeing of the
  // replaced data is left undone (lost clusters).
  FaultInjector faults;
  faults.FailCall(Call::kWriteDisk, 2, true);
  std::string error;
  auto device = RawDevice::Open(image_, true, &faults, error);
  ASSERT_TRUE(device);
  auto volume = Fat16Volume::Mount(*device, error);
  ASSERT_TRUE(volume);
  EXPECT_FALSE(volume->Rename("WINNT\\SYSTEM32\\HALMPS.DL$", "HAL.DLL"));
  EXPECT_EQ(faults.CallCount(Call::kWriteDisk), 2);
  device.reset();
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/SYSTEM32/HAL.DLL").output, "new hal");
  EXPECT_NE(TypeFile(image_, 0, "::WINNT/SYSTEM32/HALMPS.DL$").status, 0);
  std::string report;
  EXPECT_EQ(Fsck(image_, &report), FsckVerdict::kLostClustersOnly) << report;
}

TEST_F(Fat16VolumeTest, NewNamesAreShortNamesOrLongNamesWithAnAlias) {
  auto volume = Mount();
  ASSERT_TRUE(volume);
  // Not 8.3 names: a rename refuses them; a new file gets long-name entries only where the
  // name can be a long name.
  struct Name {
    const char* name;
    bool longName;
  };
  for (const Name& n : {Name{"lower.txt", true}, Name{"TOOLONGNAME.TXT", true}, Name{"A.LONG", true},
                        Name{"TWO.DOTS.X", true}, Name{"SPACE X", true}, Name{"A+B", true},
                        Name{".X", true}, Name{"", false}, Name{"X.", false}, Name{"A*B", false}}) {
    SCOPED_TRACE(n.name);
    EXPECT_FALSE(IsValidShortName(n.name));
    EXPECT_EQ(IsValidLongName(n.name), n.longName);
    EXPECT_FALSE(volume->Rename("BOOT.INI", n.name));
    EXPECT_EQ(volume->WriteFile(std::string("WINNT\\") + n.name, BytesOf(n.name)), n.longName);
    if (n.longName) {
      EXPECT_EQ(Text(volume->ReadFile(std::string("WINNT/") + n.name)), n.name);
    }
  }
  for (const char* name : {"HAL.DLL", "NTLDR", "A", "12345678.123", "$WIN_NT$.~BT", "NT4-1.LOG"}) {
    EXPECT_TRUE(IsValidShortName(name)) << name;
  }
  // An existing file is reached by its long name without regard to case.
  EXPECT_TRUE(volume->WriteFile("WINNT\\LONG FILE NAME.TXT", BytesOf("new")));
  ExpectClean();
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/Long File Name.txt").output, "new");
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/TOOLON~1.TXT").output, "TOOLONGNAME.TXT");
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/two.dots.x").output, "TWO.DOTS.X");
  EXPECT_EQ(Shell("mdir -a -b -i " + Quoted(image_) + " ::").output, "::/WINNT/\n::/BOOT.INI\n");
}

TEST_F(Fat16VolumeTest, FolderGrowsByAClusterWhenFull) {
  auto volume = Mount();
  ASSERT_TRUE(volume);
  // 2 KiB clusters hold 64 entries; 80 files need a second cluster of the folder.
  for (int i = 0; i < 80; ++i) {
    const std::string name = "WINNT\\SYSTEM32\\F" + std::to_string(i) + ".DAT";
    ASSERT_TRUE(volume->WriteFile(name, BytesOf(std::to_string(i)))) << name << volume->LastError();
  }
  ExpectClean();
  EXPECT_EQ(TypeFile(image_, 0, "::WINNT/SYSTEM32/F79.DAT").output, "79");
  const auto list = volume->List("WINNT\\SYSTEM32");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 81u);
}

TEST(Fat16MountTest, RefusesOtherVolumesAndDirtyOnesWithoutWriting) {
  struct Case {
    const char* name;
    std::string mkfs;
    int mebibytes;
    std::size_t dirtyByte;
    std::uint8_t dirtyMask;
    std::string error;
  };
  const Case cases[] = {
      {"FAT12", "mkfs.fat -F 12", 4, 0, 0, "it is a FAT12 volume; halshift changes FAT16 volumes only"},
      {"FAT32", "mkfs.fat -F 32", 40, 0, 0, "it is a FAT32 volume, which Windows NT 4.0 cannot start from"},
      {"NT dirty flag", "mkfs.fat -F 16", 16, 0x25, 0x01,
       "the volume was not shut down cleanly (its dirty flag is set): let chkdsk check it first"},
      // FAT entry 1 is the two bytes after the media entry; bit 15 cleared is a shutdown
      // that did not finish.
      {"clean-shutdown bit cleared", "mkfs.fat -F 16", 16, 0, 0x80,
       "the volume was not shut down cleanly (its dirty flag is set): let chkdsk check it first"},
      {"no file system", "true", 4, 0, 0,
       "it holds no FAT file system: the boot sector does not start with a jump"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const auto image = folder / "v.img";
    ASSERT_EQ(Shell("truncate -s " + std::to_string(c.mebibytes) + "M " + Quoted(image) + " && " + c.mkfs +
                  " " + Quoted(image)).status, 0);
    auto bytes = ReadBytes(image);
    if (c.dirtyMask == 0x80) {
      const std::size_t fat = static_cast<std::size_t>(bytes[0x0E] | (bytes[0x0F] << 8)) * 512;
      bytes[fat + 3] &= 0x7F;
    } else if (c.dirtyMask != 0) {
      bytes[c.dirtyByte] |= c.dirtyMask;
    }
    WriteBytes(image, bytes);
    std::string error;
    auto device = RawDevice::Open(image, true, nullptr, error);
    ASSERT_TRUE(device);
    EXPECT_FALSE(Fat16Volume::Mount(*device, error));
    EXPECT_EQ(error, c.error);
    device.reset();
    EXPECT_EQ(ReadBytes(image), bytes);
  }
}

TEST(Fat16PartitionTest, VolumeInsideAPartitionedDiskThroughItsPartition) {
  TempFolder folder;
  const auto image = folder / "disk.img";
  const std::uint64_t start = 2048;
  ASSERT_EQ(Shell("truncate -s 64M " + Quoted(image) + " && printf 'label: dos\\nstart=2048, size=30720, "
                "type=7\\nstart=32768, type=5\\nstart=34816, size=40960, type=6\\n' | sfdisk -q " +
                Quoted(image)).status, 0);
  // The system volume on the logical drive, ARC partition 2.
  const std::uint64_t logical = 34816;
  ASSERT_EQ(Shell("mkfs.fat -F 16 --offset " + std::to_string(logical) + " " + Quoted(image) + " 20480").status, 0);
  ASSERT_TRUE(PutFile(image, logical * 512, "::NTLDR", "loader", folder));
  std::string error;
  auto disk = RawDevice::Open(image, true, nullptr, error);
  ASSERT_TRUE(disk);
  const auto table = ReadPartitionTable(*disk, error);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->partitions.size(), 2u);
  const Partition& p = table->partitions[1];
  EXPECT_EQ(p.arcNumber, 2);
  EXPECT_TRUE(IsFat16Type(p.type));
  EXPECT_EQ(p.startSector, logical);
  PartitionDevice part(*disk, p.Offset(), p.Length());
  auto volume = Fat16Volume::Mount(part, error);
  ASSERT_TRUE(volume) << error;
  EXPECT_EQ(Text(volume->ReadFile("ntldr")), "loader");
  ASSERT_TRUE(volume->WriteFile("BOOT.INI", BytesOf("[boot loader]\r\n")));
  ASSERT_TRUE(volume->Flush());
  EXPECT_EQ(TypeFile(image, logical * 512, "::BOOT.INI").output, "[boot loader]\r\n");
  std::string report;
  EXPECT_EQ(Fsck(image, &report, logical * 512), FsckVerdict::kClean) << report;
  // The first partition is untouched by all this: still zeros.
  std::vector<std::uint8_t> first(30720 * 512);
  ASSERT_TRUE(disk->Read(start * 512, first));
  EXPECT_EQ(std::count(first.begin(), first.end(), 0), static_cast<std::ptrdiff_t>(first.size()));
}

}  // namespace
}  // namespace halshift::image
