// The NTFS volume over images made by mkntfs, in the versions 3.1 and 1.2 (NT 4.0's): reads
// and changes checked with ntfsfix, ntfscat and ntfsls, and the refusals that leave the
// image as it was.
#include <gtest/gtest.h>

#include "platform/image/block_device.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/partition_table.h"
#include "tests/disk/ntfs_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

const std::string kHal(6000, 'u');
const std::string kBootIni = "[boot loader]\r\ntimeout=30\r\n";

struct Version {
  int major;
  int minor;
};

// Mounts an image file; the device goes with the volume.
struct Mounted {
  std::unique_ptr<RawDevice> device;
  std::unique_ptr<NtfsVolume> volume;
  std::string error;
};

Mounted MountImage(const std::filesystem::path& image, bool writable = true) {
  Mounted mounted;
  mounted.device = RawDevice::Open(image, writable, nullptr, mounted.error);
  if (mounted.device) mounted.volume = NtfsVolume::Mount(*mounted.device, mounted.error, writable);
  return mounted;
}

class NtfsVolumeTest : public ::testing::TestWithParam<Version> {
 protected:
  void SetUp() override {
    image_ = folder_ / "ntfs.img";
    ASSERT_TRUE(MakeNtfs(image_, 8));
    ASSERT_TRUE(MakeNtfsFolder(image_, "", "WINNT"));
    ASSERT_TRUE(MakeNtfsFolder(image_, "/WINNT", "system32"));
    ASSERT_TRUE(PutNtfsFile(image_, "WINNT/system32/HAL.DLL", kHal, folder_));
    ASSERT_TRUE(PutNtfsFile(image_, "boot.ini", kBootIni, folder_));
    if (GetParam().major != 3) {
      ASSERT_TRUE(SetNtfsVersion(image_, GetParam().major, GetParam().minor));
    }
    std::string report;
    ASSERT_TRUE(NtfsConsistent(image_, &report)) << report;
  }

  void ExpectConsistent() {
    std::string report;
    EXPECT_TRUE(NtfsConsistent(image_, &report)) << report;
    EXPECT_NE(report.find("NTFS volume version is " + std::to_string(GetParam().major) + "." +
                          std::to_string(GetParam().minor)),
              std::string::npos)
        << report;
  }

  TempFolder folder_;
  std::filesystem::path image_;
};

TEST_P(NtfsVolumeTest, ReadsListsAndFindsWithoutRegardToCase) {
  Mounted mounted = MountImage(image_, false);
  ASSERT_TRUE(mounted.volume) << mounted.error;
  NtfsVolume& volume = *mounted.volume;
  EXPECT_EQ(volume.MajorVersion(), GetParam().major);
  EXPECT_EQ(volume.MinorVersion(), GetParam().minor);
  for (const char* path : {"WINNT\\SYSTEM32\\HAL.DLL", "winnt/system32/hal.dll", "\\WinNT\\System32\\Hal.Dll"}) {
    SCOPED_TRACE(path);
    const auto entry = volume.Find(path);
    ASSERT_TRUE(entry) << volume.LastError();
    EXPECT_EQ(entry->name, "HAL.DLL");
    EXPECT_EQ(entry->size, kHal.size());
    EXPECT_FALSE(entry->IsDirectory());
    const auto data = volume.ReadFile(path);
    ASSERT_TRUE(data) << volume.LastError();
    EXPECT_EQ(std::string(data->begin(), data->end()), kHal);
  }
  // The root lists the user's entries only, as stored, not the metadata files.
  const auto root = volume.List("");
  ASSERT_TRUE(root) << volume.LastError();
  std::vector<std::string> names;
  for (const NtfsEntry& entry : *root) names.push_back(entry.name + (entry.IsDirectory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"WINNT/", "boot.ini"}));
  const auto system32 = volume.List("winnt\\SYSTEM32");
  ASSERT_TRUE(system32) << volume.LastError();
  ASSERT_EQ(system32->size(), 1u);
  EXPECT_EQ((*system32)[0].size, kHal.size());
  // What is not there, or not a folder.
  EXPECT_FALSE(volume.Find("WINNT\\SYSTEM32\\HALMPS.DLL"));
  EXPECT_FALSE(volume.Find("BOOT.INI\\X"));
  EXPECT_FALSE(volume.List("BOOT.INI"));
  EXPECT_FALSE(volume.ReadFile("WINNT"));
  EXPECT_FALSE(volume.Find("$MFT"));
  // Mounted for reading, nothing is changed.
  EXPECT_FALSE(volume.WriteFile("NEW.TXT", BytesOf("x")));
  EXPECT_NE(volume.LastError().find("reading only"), std::string::npos) << volume.LastError();
}

TEST_P(NtfsVolumeTest, CreateWriteRenameOverAndDeleteCheckClean) {
  const std::string newHal(20000, 'm');
  {
    Mounted mounted = MountImage(image_);
    ASSERT_TRUE(mounted.volume) << mounted.error;
    NtfsVolume& volume = *mounted.volume;
    ASSERT_TRUE(volume.WriteFile("winnt\\system32\\halmps.dl$", BytesOf(newHal))) << volume.LastError();
    ASSERT_TRUE(volume.Rename("WINNT\\SYSTEM32\\HALMPS.DL$", "HAL.DLL")) << volume.LastError();
    ASSERT_TRUE(volume.WriteFile("New Name.Txt", BytesOf("new"))) << volume.LastError();
    ASSERT_TRUE(volume.WriteFile("BOOT.INI", BytesOf("shorter"))) << volume.LastError();
    ASSERT_TRUE(volume.Rename("boot.ini", "BOOT.INI")) << volume.LastError();  // only the case changes
    ASSERT_TRUE(volume.Delete("new name.txt")) << volume.LastError();
    ASSERT_TRUE(volume.WriteFile("Kept.Txt", BytesOf("kept"))) << volume.LastError();
    ASSERT_TRUE(volume.CreateFolder("winnt\\Repair")) << volume.LastError();
    ASSERT_TRUE(volume.WriteFile("WINNT\\REPAIR\\setup.log", BytesOf("log"))) << volume.LastError();
    EXPECT_FALSE(volume.CreateFolder("WINNT\\repair"));
    EXPECT_FALSE(volume.CreateFolder("kept.txt"));
    EXPECT_FALSE(volume.Delete("WINNT"));
    EXPECT_FALSE(volume.Rename("Kept.Txt", "WINNT"));
    ASSERT_TRUE(volume.Flush()) << volume.LastError();
  }
  ExpectConsistent();
  EXPECT_EQ(CatNtfsFile(image_, "WINNT/system32/HAL.DLL").output, newHal);
  EXPECT_EQ(CatNtfsFile(image_, "BOOT.INI").output, "shorter");
  EXPECT_EQ(CatNtfsFile(image_, "Kept.Txt").output, "kept");
  const RunResult listing = Shell("ntfsls " + Quoted(image_));
  EXPECT_EQ(listing.output, "BOOT.INI\nKept.Txt\nWINNT\n");
  EXPECT_EQ(Shell("ntfsls " + Quoted(image_) + " -p /WINNT/system32").output, ".\n..\nHAL.DLL\n");
  EXPECT_EQ(CatNtfsFile(image_, "WINNT/Repair/setup.log").output, "log");
  // A fresh mount reads the same.
  Mounted again = MountImage(image_, false);
  ASSERT_TRUE(again.volume) << again.error;
  const auto hal = again.volume->ReadFile("WINNT\\SYSTEM32\\HAL.DLL");
  ASSERT_TRUE(hal);
  EXPECT_EQ(std::string(hal->begin(), hal->end()), newHal);
}

TEST_P(NtfsVolumeTest, AttributesRoundTrip) {
  const std::uint32_t cases[] = {ntfs::kReadOnly | ntfs::kHidden | ntfs::kSystem, ntfs::kArchive, 0,
                                 ntfs::kReadOnly | ntfs::kArchive};
  for (const std::uint32_t attributes : cases) {
    SCOPED_TRACE(attributes);
    {
      Mounted mounted = MountImage(image_);
      ASSERT_TRUE(mounted.volume) << mounted.error;
      // Bits that are not DOS attributes are not set.
      ASSERT_TRUE(mounted.volume->SetAttributes("BOOT.INI", attributes | ntfs::kCompressed));
      ASSERT_TRUE(mounted.volume->Flush());
    }
    ExpectConsistent();
    Mounted mounted = MountImage(image_, false);
    ASSERT_TRUE(mounted.volume) << mounted.error;
    const auto entry = mounted.volume->Find("boot.ini");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->attributes & 0xFFFFu, attributes);
    // The folder's index holds them too.
    const auto root = mounted.volume->List("");
    ASSERT_TRUE(root);
    std::string plain;
    EXPECT_TRUE(mounted.volume->IsPlainFile("BOOT.INI", plain)) << plain;
  }
}

TEST_P(NtfsVolumeTest, RefusalsLeaveTheImageUnchanged) {
  struct Case {
    const char* what;
    std::function<bool(const std::filesystem::path&)> make;
    const char* message;
    bool mounts;  // the refusal is of a file, not of the volume
  };
  const Case cases[] = {
      {"dirty", SetNtfsDirty, "marked dirty: start the virtual machine once and shut it down properly", false},
      {"$LogFile damaged", DamageNtfsLogFile,
       "$LogFile is damaged or not clean: start the virtual machine once and shut it down properly", false},
      {"version 2.0", [](const auto& image) { return SetNtfsVersion(image, 2, 0); }, "version 2.0, neither 1.x nor 3.x",
       false},
      {"version 4.0", [](const auto& image) { return SetNtfsVersion(image, 4, 0); }, "version 4.0", false},
      {"compressed", [](const auto& image) { return SetNtfsFileFlag(image, "/WINNT/system32/HAL.DLL", ntfs::kCompressed); },
       "is compressed", true},
      {"encrypted", [](const auto& image) { return SetNtfsFileFlag(image, "/WINNT/system32/HAL.DLL", ntfs::kEncrypted); },
       "is encrypted", true},
      {"sparse", [](const auto& image) { return SetNtfsFileFlag(image, "/WINNT/system32/HAL.DLL", ntfs::kSparse); },
       "is a sparse file", true},
  };
  const std::filesystem::path pristine = folder_ / "pristine.img";
  std::filesystem::copy_file(image_, pristine);
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    std::filesystem::copy_file(pristine, image_, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(test.make(image_));
    const std::vector<std::uint8_t> before = ReadBytes(image_);
    for (const bool writable : {true, false}) {
      Mounted mounted = MountImage(image_, writable);
      if (!test.mounts) {
        EXPECT_FALSE(mounted.volume);
        EXPECT_NE(mounted.error.find(test.message), std::string::npos) << mounted.error;
        continue;
      }
      ASSERT_TRUE(mounted.volume) << mounted.error;
      std::string reason;
      EXPECT_FALSE(mounted.volume->IsPlainFile("winnt\\system32\\hal.dll", reason));
      EXPECT_NE(reason.find(test.message), std::string::npos) << reason;
      EXPECT_FALSE(mounted.volume->ReadFile("WINNT\\SYSTEM32\\HAL.DLL"));
      EXPECT_NE(mounted.volume->LastError().find(test.message), std::string::npos) << mounted.volume->LastError();
      EXPECT_FALSE(mounted.volume->WriteFile("WINNT\\SYSTEM32\\HAL.DLL", BytesOf("new")));
      const char* expected = writable ? test.message : "reading only";
      EXPECT_NE(mounted.volume->LastError().find(expected), std::string::npos) << mounted.volume->LastError();
    }
    EXPECT_TRUE(ReadBytes(image_) == before) << "the image changed";
  }
}

TEST_P(NtfsVolumeTest, NotNtfsIsRefused) {
  const std::filesystem::path zeros = folder_ / "zeros.img";
  ASSERT_EQ(Shell("truncate -s 4M " + Quoted(zeros)).status, 0);
  Mounted mounted = MountImage(zeros);
  EXPECT_FALSE(mounted.volume);
  EXPECT_NE(mounted.error.find("no NTFS volume"), std::string::npos) << mounted.error;
}

TEST_P(NtfsVolumeTest, PartitionInsideADiskImage) {
  const std::filesystem::path disk = folder_ / "disk.img";
  ASSERT_EQ(Shell("truncate -s 10M " + Quoted(disk) + " && echo 'start=2048, size=16384, type=7, bootable' | "
                  "sfdisk -q " + Quoted(disk) + " && dd if=" + Quoted(image_) + " of=" + Quoted(disk) +
                  " bs=512 seek=2048 conv=notrunc status=none")
                .status,
            0);
  std::string error;
  auto raw = RawDevice::Open(disk, true, nullptr, error);
  ASSERT_TRUE(raw) << error;
  const auto table = ReadPartitionTable(*raw, error);
  ASSERT_TRUE(table) << error;
  ASSERT_EQ(table->partitions.size(), 1u);
  EXPECT_EQ(table->partitions[0].type, 0x07);
  const std::vector<std::uint8_t> before = ReadBytes(disk);
  {
    PartitionDevice partition(*raw, table->partitions[0].Offset(), table->partitions[0].Length());
    auto volume = NtfsVolume::Mount(partition, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_TRUE(volume->WriteFile("WINNT\\SYSTEM32\\HAL.DLL", BytesOf("replaced"))) << volume->LastError();
    ASSERT_TRUE(volume->Flush());
  }
  raw.reset();
  // The partition's bytes changed, nothing outside it.
  const std::vector<std::uint8_t> after = ReadBytes(disk);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 2048 * 512, after.begin()));
  EXPECT_FALSE(std::equal(before.begin(), before.end(), after.begin()));
  const std::filesystem::path part = folder_ / "part.img";
  ASSERT_EQ(Shell("dd if=" + Quoted(disk) + " of=" + Quoted(part) + " bs=512 skip=2048 count=16384 status=none").status, 0);
  std::string report;
  EXPECT_TRUE(NtfsConsistent(part, &report)) << report;
  EXPECT_EQ(CatNtfsFile(part, "WINNT/system32/HAL.DLL").output, "replaced");
}

INSTANTIATE_TEST_SUITE_P(Versions, NtfsVolumeTest, ::testing::Values(Version{3, 1}, Version{1, 2}),
                         [](const ::testing::TestParamInfo<Version>& param) {
                           return "V" + std::to_string(param.param.major) + "_" + std::to_string(param.param.minor);
                         });

}  // namespace
}  // namespace halshift::image
