// Disk image files as block devices: bounds, the lock, symbolic links, the fault injector,
// and partition views.
#include "platform/image/block_device.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/image/machine_image.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using testing::disk::ReadBytes;
using testing::disk::TempFolder;
using testing::disk::WriteBytes;

std::vector<std::uint8_t> Counting(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  return bytes;
}

TEST(RawDeviceTest, ReadsAndWritesInPlaceWithinTheFile) {
  TempFolder folder;
  const auto path = folder / "disk.img";
  WriteBytes(path, Counting(4096));
  std::string error;
  auto device = RawDevice::Open(path, true, nullptr, error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), 4096u);
  std::vector<std::uint8_t> got(16);
  ASSERT_TRUE(device->Read(1000, got));
  const auto original = Counting(4096);
  EXPECT_EQ(got, std::vector<std::uint8_t>(original.begin() + 1000, original.begin() + 1016));
  const std::vector<std::uint8_t> patch = {1, 2, 3};
  ASSERT_TRUE(device->Write(4093, patch));
  ASSERT_TRUE(device->Flush());
  // Past the end, or wrapping round: refused, nothing written, the file keeps its size.
  EXPECT_FALSE(device->Write(4094, patch));
  EXPECT_FALSE(device->Read(4095, got));
  EXPECT_FALSE(device->Read(~std::uint64_t{0} - 4, got));
  device.reset();
  auto bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 4096u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 3, bytes.end()), patch);
}

TEST(RawDeviceTest, ReadOnlyDeviceRefusesWrites) {
  TempFolder folder;
  const auto path = folder / "disk.img";
  WriteBytes(path, Counting(1024));
  std::string error;
  auto device = RawDevice::Open(path, false, nullptr, error);
  ASSERT_TRUE(device) << error;
  EXPECT_FALSE(device->Write(0, std::vector<std::uint8_t>{9}));
  EXPECT_EQ(ReadBytes(path), Counting(1024));
}

TEST(RawDeviceTest, LockKeepsOutASecondWriterAndReadersWhileWriting) {
  TempFolder folder;
  const auto path = folder / "disk.img";
  WriteBytes(path, Counting(1024));
  std::string error;
  {
    auto writer = RawDevice::Open(path, true, nullptr, error);
    ASSERT_TRUE(writer) << error;
    EXPECT_FALSE(RawDevice::Open(path, true, nullptr, error));
    EXPECT_EQ(error, "is in use by another program");
    EXPECT_FALSE(RawDevice::Open(path, false, nullptr, error));
  }
  {
    auto reader = RawDevice::Open(path, false, nullptr, error);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(RawDevice::Open(path, false, nullptr, error));
    EXPECT_FALSE(RawDevice::Open(path, true, nullptr, error));
  }
  EXPECT_TRUE(RawDevice::Open(path, true, nullptr, error));
}

TEST(RawDeviceTest, SymbolicLinksAndFoldersAreRefused) {
  TempFolder folder;
  WriteBytes(folder / "disk.img", Counting(1024));
  std::filesystem::create_symlink(folder / "disk.img", folder / "link.img");
  std::string error;
  EXPECT_FALSE(RawDevice::Open(folder / "link.img", true, nullptr, error));
  EXPECT_EQ(error, "is a symbolic link");
  EXPECT_FALSE(RawDevice::Open(folder.Path(), false, nullptr, error));
  EXPECT_FALSE(RawDevice::Open(folder / "missing.img", false, nullptr, error));
}

TEST(RawDeviceTest, WritesAndFlushesPassThroughTheFaultInjector) {
  TempFolder folder;
  const auto path = folder / "disk.img";
  WriteBytes(path, Counting(1024));
  FaultInjector faults;
  faults.FailCall(Call::kWriteDisk, 2);
  faults.FailCall(Call::kFlushDisk, 1);
  std::string error;
  auto device = RawDevice::Open(path, true, &faults, error);
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->Write(0, std::vector<std::uint8_t>{0xAA}));
  EXPECT_FALSE(device->Write(1, std::vector<std::uint8_t>{0xBB}));
  EXPECT_TRUE(device->Write(2, std::vector<std::uint8_t>{0xCC}));
  EXPECT_FALSE(device->Flush());
  EXPECT_TRUE(device->Flush());
  EXPECT_EQ(faults.CallCount(Call::kWriteDisk), 3);
  EXPECT_EQ(faults.CallCount(Call::kFlushDisk), 2);
  // Steps: the two writes and the flush that reached the file.
  EXPECT_EQ(faults.StepCount(), 3);
  const auto bytes = ReadBytes(path);
  EXPECT_EQ(bytes[0], 0xAA);
  EXPECT_EQ(bytes[1], Counting(1024)[1]);
  EXPECT_EQ(bytes[2], 0xCC);
}

TEST(PartitionDeviceTest, EveryAccessStaysInsideThePartition) {
  MemoryDevice disk(Counting(4096));
  PartitionDevice part(disk, 1024, 512);
  EXPECT_EQ(part.Size(), 512u);
  struct Case {
    std::uint64_t offset;
    std::size_t length;
    bool within;
  };
  const Case cases[] = {{0, 512, true}, {511, 1, true}, {512, 0, true}, {512, 1, false},
                        {100, 500, false}, {~std::uint64_t{0}, 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    std::vector<std::uint8_t> read(c.length);
    EXPECT_EQ(part.Read(c.offset, read), c.within);
    EXPECT_EQ(part.Write(c.offset, std::vector<std::uint8_t>(c.length, 0x5A)), c.within);
  }
  // The writes that were allowed landed at the partition's offset, and nothing outside.
  const auto& bytes = disk.Bytes();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool inside = i >= 1024 && i < 1536;
    ASSERT_EQ(bytes[i], inside ? 0x5A : Counting(4096)[i]) << i;
  }
  // A partition said to reach past the disk is cut to the disk's end.
  EXPECT_EQ(PartitionDevice(disk, 4000, 1000).Size(), 96u);
  EXPECT_EQ(PartitionDevice(disk, 9000, 10).Size(), 0u);
}

}  // namespace
}  // namespace halshift::image
