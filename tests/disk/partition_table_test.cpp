// The master boot record and the chain of extended boot records: disks made with sfdisk, and
// damaged chains made by hand.
#include "platform/image/partition_table.h"

#include <gtest/gtest.h>

#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using testing::disk::Quoted;
using testing::disk::Shell;
using testing::disk::TempFolder;

// A disk of the given sectors with a master boot record whose entries are given.
struct RawEntry {
  std::uint8_t boot, type;
  std::uint32_t start, length;
};

void PutEntry(std::vector<std::uint8_t>& disk, std::uint64_t sector, int index, const RawEntry& e) {
  const std::size_t at = sector * 512 + 0x1BE + static_cast<std::size_t>(index) * 16;
  disk[at] = e.boot;
  disk[at + 4] = e.type;
  for (int i = 0; i < 4; ++i) {
    disk[at + 8 + i] = static_cast<std::uint8_t>(e.start >> (8 * i));
    disk[at + 12 + i] = static_cast<std::uint8_t>(e.length >> (8 * i));
  }
  disk[sector * 512 + 0x1FE] = 0x55;
  disk[sector * 512 + 0x1FF] = 0xAA;
}

TEST(PartitionTableTest, SfdiskDiskNumbersPrimariesThenLogicalDrives) {
  TempFolder folder;
  const auto image = folder / "disk.img";
  // Primary FAT16, the extended partition in the second entry, a primary after it, and three
  // logical drives: NT counts the primaries first in table order.
  const std::string layout =
      "label: dos\n"
      "start=2048, size=20480, type=6, bootable\n"
      "start=22528, size=61440, type=5\n"
      "start=83968, size=8192, type=7\n"
      "start=24576, size=8192, type=e\n"
      "start=34816, size=8192, type=6\n"
      "start=45056, size=8192, type=b\n";
  ASSERT_EQ(Shell("truncate -s 48M " + Quoted(image) + " && printf '" + layout + "' | sfdisk -q " +
                Quoted(image)).status, 0);
  std::string error;
  auto device = RawDevice::Open(image, false, nullptr, error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(DetectLayout(*device), DiskLayout::kPartitioned);
  const auto table = ReadPartitionTable(*device, error);
  ASSERT_TRUE(table) << error;
  EXPECT_EQ(table->chainProblem, "");
  struct Expected {
    std::uint8_t type;
    std::uint64_t start, count;
    bool active, logical;
  };
  const Expected expected[] = {{0x06, 2048, 20480, true, false}, {0x07, 83968, 8192, false, false},
                               {0x0E, 24576, 8192, false, true}, {0x06, 34816, 8192, false, true},
                               {0x0B, 45056, 8192, false, true}};
  ASSERT_EQ(table->partitions.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const Partition& p = table->partitions[i];
    EXPECT_EQ(p.type, expected[i].type);
    EXPECT_EQ(p.startSector, expected[i].start);
    EXPECT_EQ(p.sectorCount, expected[i].count);
    EXPECT_EQ(p.active, expected[i].active);
    EXPECT_EQ(p.logical, expected[i].logical);
    EXPECT_EQ(p.arcNumber, static_cast<int>(i) + 1);
    EXPECT_TRUE(p.withinDisk);
  }
}

TEST(PartitionTableTest, LbaExtendedIsFollowedAndNotCounted) {
  std::vector<std::uint8_t> disk(4096 * 512);
  PutEntry(disk, 0, 0, {0x00, 0x0F, 100, 3000});
  PutEntry(disk, 0, 1, {0x80, 0x06, 3200, 100});
  PutEntry(disk, 100, 0, {0x00, 0x06, 10, 50});
  PutEntry(disk, 100, 1, {0x00, 0x0F, 200, 100});  // relative to the extended partition
  PutEntry(disk, 300, 0, {0x00, 0x0E, 10, 60});
  MemoryDevice device(disk);
  std::string error;
  const auto table = ReadPartitionTable(device, error);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->partitions.size(), 3u);
  EXPECT_EQ(table->partitions[0].startSector, 3200u);
  EXPECT_EQ(table->partitions[0].arcNumber, 1);
  EXPECT_EQ(table->partitions[1].startSector, 110u);
  EXPECT_EQ(table->partitions[1].arcNumber, 2);
  EXPECT_EQ(table->partitions[2].startSector, 310u);
  EXPECT_EQ(table->partitions[2].arcNumber, 3);
  EXPECT_EQ(table->chainProblem, "");
}

TEST(PartitionTableTest, DamagedChainsStopCleanlyKeepingWhatWasRead) {
  struct Case {
    const char* name;
    void (*build)(std::vector<std::uint8_t>&);
    std::size_t partitions;
    std::string problem;
  };
  const Case cases[] = {
      {"loop back to the first record",
       [](std::vector<std::uint8_t>& d) {
         PutEntry(d, 0, 0, {0, 0x05, 100, 1000});
         PutEntry(d, 100, 0, {0, 0x06, 1, 10});
         PutEntry(d, 100, 1, {0, 0x05, 50, 10});
         PutEntry(d, 150, 0, {0, 0x06, 1, 10});
         PutEntry(d, 150, 1, {0, 0x05, 0, 10});
       },
       2, "the chain of extended boot records loops"},
      {"link past the disk",
       [](std::vector<std::uint8_t>& d) {
         PutEntry(d, 0, 0, {0, 0x05, 100, 1000});
         PutEntry(d, 100, 0, {0, 0x06, 1, 10});
         PutEntry(d, 100, 1, {0, 0x05, 0xFFFFFF00u, 10});
       },
       1, "an extended boot record lies past the end of the disk"},
      {"record without signature",
       [](std::vector<std::uint8_t>& d) { PutEntry(d, 0, 0, {0, 0x05, 100, 1000}); },
       0, "an extended boot record has no signature"},
      {"endless chain of distinct records",
       [](std::vector<std::uint8_t>& d) {
         PutEntry(d, 0, 0, {0, 0x05, 1, 3000});
         for (std::uint32_t r = 1; r < 400; ++r) {
           PutEntry(d, r, 0, {0, 0x06, 1000, 1});
           PutEntry(d, r, 1, {0, 0x05, r, 1});
         }
       },
       kMaxLogicalDrives, "the extended partition holds too many logical drives"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> disk(4096 * 512);
    c.build(disk);
    MemoryDevice device(disk);
    std::string error;
    const auto table = ReadPartitionTable(device, error);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->partitions.size(), c.partitions);
    EXPECT_EQ(table->chainProblem, c.problem);
  }
}

TEST(PartitionTableTest, PartitionsPastTheDiskKeepTheirNumbersButAreMarked) {
  std::vector<std::uint8_t> disk(1000 * 512);
  PutEntry(disk, 0, 0, {0, 0x06, 900, 200});
  PutEntry(disk, 0, 1, {0, 0x00, 0, 0});
  PutEntry(disk, 0, 2, {0, 0x06, 0xFFFFFFF0u, 0x20});
  PutEntry(disk, 0, 3, {0, 0x07, 10, 100});
  MemoryDevice device(disk);
  std::string error;
  const auto table = ReadPartitionTable(device, error);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->partitions.size(), 3u);
  EXPECT_FALSE(table->partitions[0].withinDisk);
  EXPECT_FALSE(table->partitions[1].withinDisk);
  EXPECT_TRUE(table->partitions[2].withinDisk);
  EXPECT_EQ(table->partitions[2].arcNumber, 3);
}

TEST(PartitionTableTest, LayoutTellsBarePartitionsFromDisks) {
  TempFolder folder;
  const auto image = folder / "bare.img";
  ASSERT_TRUE(testing::disk::MakeFat16(image, 16));
  std::string error;
  auto bare = RawDevice::Open(image, false, nullptr, error);
  ASSERT_TRUE(bare);
  EXPECT_EQ(DetectLayout(*bare), DiskLayout::kBarePartition);

  MemoryDevice zeros(std::vector<std::uint8_t>(8192));
  EXPECT_EQ(DetectLayout(zeros), DiskLayout::kUnknown);
  EXPECT_FALSE(ReadPartitionTable(zeros, error));
  MemoryDevice tiny(std::vector<std::uint8_t>(100));
  EXPECT_EQ(DetectLayout(tiny), DiskLayout::kUnknown);
  std::vector<std::uint8_t> badBoot(8192);
  PutEntry(badBoot, 0, 0, {0x12, 0x06, 1, 10});
  MemoryDevice notTable(badBoot);
  EXPECT_EQ(DetectLayout(notTable), DiskLayout::kUnknown);
}

}  // namespace
}  // namespace halshift::image
