// Container disks through a private qemu-nbd: the FAT16 volume of a qcow2 and a VDI disk
// changed through it and checked after converting back, and the locks that refuse a disk in
// use; what tells a disk in use by a virtual machine that keeps no lock.
#include "platform/image/nbd_device.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/image/disk_in_use.h"
#include "platform/image/fat16_volume.h"
#include "platform/image/machine_image.h"
#include "platform/image/partition_table.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

constexpr std::uint64_t kPartitionStart = 2048 * 512;

// A partitioned raw disk with a FAT16 partition holding BOOT.INI.
void MakeDisk(const TempFolder& folder, const std::filesystem::path& raw) {
  ASSERT_EQ(Shell("truncate -s 24M " + Quoted(raw) + " && printf 'label: dos\\nstart=2048, type=6, bootable\\n'"
                  " | sfdisk -q " + Quoted(raw) + " && mkfs.fat -F 16 --offset 2048 " + Quoted(raw) + " 23552").status, 0);
  ASSERT_TRUE(PutFile(raw, kPartitionStart, "::BOOT.INI", "[boot loader]\r\n", folder));
}

TEST(NbdDeviceTest, ContainersAreChangedThroughQemu) {
  for (const auto& [qemuFormat, format] : {std::pair{"qcow2", DiskFormat::kQcow2}, std::pair{"vdi", DiskFormat::kVdi}}) {
    SCOPED_TRACE(qemuFormat);
    TempFolder folder;
    const auto raw = folder / "raw.img";
    MakeDisk(folder, raw);
    const auto container = folder / "disk.img";
    ASSERT_EQ(Shell(std::string("qemu-img convert -f raw -O ") + qemuFormat + " " + Quoted(raw) + " " +
                    Quoted(container)).status, 0);
    {
      std::string error;
      auto probe = RawDevice::Open(container, false, nullptr, error);
      ASSERT_TRUE(probe);
      ASSERT_EQ(DetectDiskFormat(*probe), format);
    }
    FaultInjector faults;
    std::string error;
    {
      auto disk = NbdDevice::Open(container, format, true, &faults, error);
      ASSERT_TRUE(disk) << error;
      EXPECT_EQ(disk->Size(), 24u * 1024 * 1024);
      const auto table = ReadPartitionTable(*disk, error);
      ASSERT_TRUE(table && table->partitions.size() == 1);
      PartitionDevice part(*disk, table->partitions[0].Offset(), table->partitions[0].Length());
      auto volume = Fat16Volume::Mount(part, error);
      ASSERT_TRUE(volume) << error;
      std::vector<std::uint8_t> hal(70000);
      for (std::size_t i = 0; i < hal.size(); ++i) hal[i] = static_cast<std::uint8_t>(i % 251);
      ASSERT_TRUE(volume->WriteFile("HAL.DLL", hal));
      ASSERT_TRUE(volume->WriteFile("BOOT.INI", BytesOf("[boot loader]\r\ntimeout=5\r\n")));
      ASSERT_TRUE(volume->Flush());
      // A second writer is refused by QEMU's lock while this one holds the disk.
      EXPECT_FALSE(NbdDevice::Open(container, format, true, nullptr, error));
      EXPECT_NE(error.find("lock"), std::string::npos) << error;
      EXPECT_FALSE(RawDevice::Open(container, true, nullptr, error));
    }
    EXPECT_GT(faults.CallCount(Call::kWriteDisk), 0);
    EXPECT_EQ(faults.CallCount(Call::kFlushDisk), 1);
    EXPECT_EQ(Shell("qemu-img check -f " + std::string(qemuFormat) + " " + Quoted(container)).status, 0);
    const auto back = folder / "back.img";
    ASSERT_EQ(Shell(std::string("qemu-img convert -O raw -f ") + qemuFormat + " " + Quoted(container) + " " +
                    Quoted(back)).status, 0);
    std::string report;
    EXPECT_EQ(Fsck(back, &report, kPartitionStart), FsckVerdict::kClean) << report;
    EXPECT_EQ(TypeFile(back, kPartitionStart, "::BOOT.INI").output, "[boot loader]\r\ntimeout=5\r\n");
    EXPECT_EQ(TypeFile(back, kPartitionStart, "::HAL.DLL").output.size(), 70000u);
  }
}

TEST(NbdDeviceTest, DiskHeldByARunningServerIsRefusedUnchanged) {
  TempFolder folder;
  const auto raw = folder / "raw.img";
  MakeDisk(folder, raw);
  const auto container = folder / "disk.qcow2";
  ASSERT_EQ(Shell("qemu-img convert -f raw -O qcow2 " + Quoted(raw) + " " + Quoted(container)).status, 0);
  const auto before = ReadBytes(container);
  const auto rawBefore = ReadBytes(raw);
  // Another qemu-nbd holds both with write locks, as a running virtual machine does.
  const auto pidFile = folder / "held.pid";
  const auto pidFileRaw = folder / "raw.pid";
  ASSERT_EQ(Shell("qemu-nbd --fork --persistent --pid-file=" + Quoted(pidFile) + " --socket=" +
                  Quoted(folder / "held.sock") + " -f qcow2 " + Quoted(container)).status, 0);
  ASSERT_EQ(Shell("qemu-nbd --fork --persistent --pid-file=" + Quoted(pidFileRaw) + " --socket=" +
                  Quoted(folder / "raw.sock") + " -f raw " + Quoted(raw)).status, 0);
  std::string error;
  EXPECT_FALSE(NbdDevice::Open(container, DiskFormat::kQcow2, true, nullptr, error));
  EXPECT_NE(error.find("lock"), std::string::npos) << error;
  EXPECT_FALSE(RawDevice::Open(raw, true, nullptr, error));
  EXPECT_EQ(error, "is in use by another program (a running virtual machine holds a lock on it)");
  for (const auto& file : {pidFile, pidFileRaw}) {
    pid_t pid = 0;
    std::ifstream(file) >> pid;
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
  }
  // The servers are gone when their locks are.
  for (int i = 0; i < 500 && !(RawDevice::Open(raw, true, nullptr, error) &&
                               RawDevice::Open(container, true, nullptr, error)); ++i) {
    ::usleep(10000);
  }
  EXPECT_EQ(ReadBytes(container), before);
  EXPECT_EQ(ReadBytes(raw), rawBefore);

  EXPECT_TRUE(NbdDevice::Open(container, DiskFormat::kQcow2, false, nullptr, error)) << error;
  EXPECT_EQ(ReadBytes(container), before);
  EXPECT_FALSE(NbdDevice::Open(raw, DiskFormat::kRawDisk, true, nullptr, error));
}

TEST(DiskInUseTest, VmwareExtentsAreLockedThroughTheirDescriptor) {
  const std::pair<const char*, const char*> names[] = {
      {"nt4-flat.vmdk", "nt4.vmdk"}, {"My Disk-FLAT.VMDK", "My Disk.vmdk"}, {"nt4-s001.vmdk", "nt4.vmdk"},
      {"nt4-f012.vmdk", "nt4.vmdk"}, {"nt4.vmdk", ""},        {"nt4-s01.vmdk", ""},
      {"nt4-x001.vmdk", ""},         {"-flat.vmdk", ""},     {"nt4-flat.img", ""},
      {".vmdk", ""}};
  for (const auto& [name, descriptor] : names) EXPECT_EQ(VmdkDescriptorOf(name), descriptor) << name;

  TempFolder folder;
  const auto extent = folder / "nt4-flat.vmdk";
  WriteBytes(extent, BytesOf("disk"));
  EXPECT_EQ(DiskInUse(extent), "");
  std::filesystem::create_directory(folder / "nt4.vmdk.lck");
  EXPECT_EQ(DiskInUse(extent), "a VMware lock (nt4.vmdk.lck) says a running virtual machine has it open");
  // Any disk's own lock, whatever its format.
  const auto container = folder / "disk.qcow2";
  WriteBytes(container, BytesOf("disk"));
  EXPECT_EQ(DiskInUse(container), "");
  std::filesystem::create_directory(folder / "disk.qcow2.lck");
  EXPECT_EQ(DiskInUse(container), "a VMware lock (disk.qcow2.lck) says a running virtual machine has it open");
}

// A running machine of any kind has its disk open: VirtualBox keeps no lock file at all. This
// process and its own children (the qemu-nbd it serves a container with) do not count.
TEST(DiskInUseTest, AnotherProgramThatHasTheDiskOpenIsNamed) {
  TempFolder folder;
  const auto disk = folder / "nt4.vdi";
  WriteBytes(disk, BytesOf("disk"));
  std::ifstream ownOpen(disk);
  ASSERT_TRUE(ownOpen);
  EXPECT_EQ(DiskInUse(disk), "");
  // Started through a shell that ends at once, so that it is nobody's child here.
  const RunResult started = Shell("sleep 60 < " + Quoted(disk) + " > /dev/null 2>&1 & echo $!");
  ASSERT_EQ(started.status, 0);
  const pid_t holder = std::stoi(started.output);
  std::string inUse;
  for (int i = 0; i < 200 && inUse.empty(); ++i, ::usleep(10000)) inUse = DiskInUse(disk);
  EXPECT_EQ(inUse, "is in use by another program: sleep (process " + std::to_string(holder) + ") has it open");
  ::kill(holder, SIGTERM);
  for (int i = 0; i < 200 && !DiskInUse(disk).empty(); ++i) ::usleep(10000);
  EXPECT_EQ(DiskInUse(disk), "");
}

}  // namespace
}  // namespace halshift::image
