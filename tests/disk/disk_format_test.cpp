// Disk files told apart by content: images made by mkfs.fat, sfdisk and qemu-img.
#include "platform/image/disk_format.h"

#include <gtest/gtest.h>

#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

TEST(DiskFormatTest, EachFormatByContentWhateverItsName) {
  TempFolder folder;
  // A partitioned raw disk with a FAT16 partition, the source of the conversions, and a bare
  // partition; every file is named ".img", so that the name cannot tell.
  const std::string raw = Quoted(folder / "raw.img");
  const std::string bare = Quoted(folder / "bare.img");
  const std::string out = Quoted(folder / "case.img");
  ASSERT_EQ(Shell("truncate -s 16M " + raw + " && printf 'label: dos\\nstart=2048, type=6, bootable\\n'"
                  " | sfdisk -q " + raw + " && mkfs.fat -F 16 --offset 2048 " + raw + " 15360").status, 0);
  ASSERT_TRUE(MakeFat16(folder / "bare.img", 16));
  const std::string convert = "qemu-img convert -f raw ";
  struct Case {
    const char* name;
    std::string make;
    DiskFormat format;
  };
  const Case cases[] = {
      {"raw disk", "cp " + raw + " " + out, DiskFormat::kRawDisk},
      {"bare partition", "cp " + bare + " " + out, DiskFormat::kBarePartition},
      {"qcow2", convert + "-O qcow2 " + raw + " " + out, DiskFormat::kQcow2},
      {"VDI", convert + "-O vdi " + raw + " " + out, DiskFormat::kVdi},
      {"sparse VMDK", convert + "-O vmdk " + raw + " " + out, DiskFormat::kVmdkSparse},
      // qemu-img names the extent of case.img case-flat.img; it is raw data.
      {"flat VMDK extent",
       convert + "-O vmdk -o subformat=monolithicFlat " + raw + " " + out + " && mv " +
           Quoted(folder / "case-flat.img") + " " + out,
       DiskFormat::kRawDisk},
      {"flat VMDK descriptor", convert + "-O vmdk -o subformat=monolithicFlat " + raw + " " + out,
       DiskFormat::kUnknown},
      {"fixed VHD", convert + "-O vpc -o subformat=fixed " + raw + " " + out, DiskFormat::kFixedVhd},
      {"fixed VHD of a bare partition", convert + "-O vpc -o subformat=fixed " + bare + " " + out,
       DiskFormat::kFixedVhd},
      {"dynamic VHD", convert + "-O vpc " + raw + " " + out, DiskFormat::kVhdDynamic},
      {"VHDX", convert + "-O vhdx " + raw + " " + out, DiskFormat::kVhdx},
      {"zeros", "truncate -s 1M " + out, DiskFormat::kUnknown},
      {"short file", "printf QFI > " + out, DiskFormat::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Shell("rm -f " + out + " " + Quoted(folder / "case-flat.img"));
    ASSERT_EQ(Shell(c.make).status, 0) << c.make;
    std::string error;
    auto device = RawDevice::Open(folder / "case.img", false, nullptr, error);
    ASSERT_TRUE(device) << error;
    const DiskFormat format = DetectDiskFormat(*device);
    EXPECT_EQ(format, c.format) << NameOf(format);
    if (format == DiskFormat::kFixedVhd) {
      EXPECT_EQ(RawDataSize(*device, format), device->Size() - 512);
    } else {
      EXPECT_EQ(RawDataSize(*device, format), device->Size());
    }
    EXPECT_EQ(IsRaw(format), c.format == DiskFormat::kRawDisk || c.format == DiskFormat::kBarePartition ||
                                 c.format == DiskFormat::kFixedVhd);
  }
}

}  // namespace
}  // namespace halshift::image
