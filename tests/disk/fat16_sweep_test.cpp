// A cut at every write of a create, write, rename-over, attribute and delete sequence on a
// FAT16 volume: each write failed from then on, and the process stopped at each step. After
// every cut fsck.fat -n finds the volume clean apart from lost clusters, each file is old or
// new, and the next run over the cut volume finishes the sequence.
#include <gtest/gtest.h>

#include "platform/image/fat16_volume.h"
#include "platform/image/machine_image.h"
#include "tests/disk/disk_tools.h"
#include "tests/disk/sweep_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

// The sequence; true when every step succeeded.
bool RunSequence(const std::filesystem::path& image, FaultInjector* faults) {
  std::string error;
  auto device = RawDevice::Open(image, true, faults, error);
  if (!device) return false;
  auto volume = Fat16Volume::Mount(*device, error);
  if (!volume) return false;
  const bool staged = volume->Find("WINNT\\SYSTEM32\\HALMPS.DL$").has_value();
  const bool done = !volume->Find("WINNT\\Long File Name.txt").has_value();
  if (done) return true;
  bool ok = staged || volume->WriteFile("WINNT\\SYSTEM32\\HALMPS.DL$", BytesOf(kNewHal));
  ok = ok && volume->Rename("WINNT\\SYSTEM32\\HALMPS.DL$", "HAL.DLL");
  ok = ok && volume->WriteFile("BOOT.INI", BytesOf(kNewBootIni));
  ok = ok && volume->SetAttributes("BOOT.INI", fat::kReadOnly | fat::kSystem | fat::kHidden);
  ok = ok && volume->Flush();
  ok = ok && volume->Delete("WINNT\\Long File Name.txt");
  ok = ok && volume->Flush();
  return ok;
}

// The parameter: how many files lie in SYSTEM32 between HAL.DLL and the file renamed over it.
// With none both entries share a folder sector (the rename is one sector write). With 29 the
// folder's two clusters are full, so the new file's entry makes the folder grow by a cluster,
// and the two entries lie in different sectors; so do the deleted file's long-name entries.
class Fat16SweepTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    base_ = folder_ / "base.img";
    ASSERT_TRUE(MakeFat16(base_, 20, "-s 1"));  // 512-byte clusters: chains of many clusters
    ASSERT_EQ(Shell("mmd -i " + Quoted(base_) + " ::WINNT ::WINNT/SYSTEM32").status, 0);
    ASSERT_TRUE(PutFile(base_, 0, "::BOOT.INI", kOldBootIni, folder_));
    ASSERT_TRUE(PutFile(base_, 0, "::WINNT/SYSTEM32/HAL.DLL", kOldHal, folder_));
    // With fillers, also 12 files in WINNT first, so that the long-named file's two long-name
    // entries straddle the first and second sector of the folder.
    for (int i = 0; GetParam() > 0 && i < 12; ++i) {
      ASSERT_TRUE(PutFile(base_, 0, "::WINNT/W" + std::to_string(i) + ".DAT", "filler", folder_));
    }
    ASSERT_TRUE(PutFile(base_, 0, "::WINNT/Long File Name.txt", "long", folder_));
    for (int i = 0; i < GetParam(); ++i) {
      ASSERT_TRUE(PutFile(base_, 0, "::WINNT/SYSTEM32/F" + std::to_string(i) + ".DAT", "filler", folder_));
    }
    ASSERT_EQ(Fsck(base_), FsckVerdict::kClean);
  }

  // The checks after a cut, then the next run and the checks after it.
  void CheckCutAndNextRun(const std::filesystem::path& image) {
    std::string report;
    EXPECT_NE(Fsck(image, &report), FsckVerdict::kDamaged) << report;
    const RunResult hal = TypeFile(image, 0, "::WINNT/SYSTEM32/HAL.DLL");
    EXPECT_TRUE(hal.output == kOldHal || hal.output == kNewHal) << hal.output.substr(0, 40);
    const RunResult bootIni = TypeFile(image, 0, "::BOOT.INI");
    EXPECT_TRUE(bootIni.output == kOldBootIni || bootIni.output == kNewBootIni) << bootIni.output;
    ASSERT_TRUE(RunSequence(image, nullptr));
    EXPECT_NE(Fsck(image, &report), FsckVerdict::kDamaged) << report;
    EXPECT_EQ(TypeFile(image, 0, "::WINNT/SYSTEM32/HAL.DLL").output, kNewHal);
    EXPECT_EQ(TypeFile(image, 0, "::BOOT.INI").output, kNewBootIni);
    EXPECT_NE(TypeFile(image, 0, "::WINNT/Long File Name.txt").status, 0);
  }

  TempFolder folder_{SweepScratch()};
  std::filesystem::path base_;
};

TEST_P(Fat16SweepTest, UncutSequenceIsCleanAndComplete) {
  const auto image = FreshCopy(base_);
  FaultInjector faults;
  ASSERT_TRUE(RunSequence(image, &faults));
  EXPECT_EQ(Fsck(image), FsckVerdict::kClean);
  EXPECT_EQ(TypeFile(image, 0, "::WINNT/SYSTEM32/HAL.DLL").output, kNewHal);
  // Runs of data clusters (each in one write), FAT sectors, folder sectors and the freed
  // chains: many writes, and the replaced data is freed, not lost.
  EXPECT_GT(faults.CallCount(Call::kWriteDisk), 12);
  EXPECT_EQ(faults.CallCount(Call::kFlushDisk), 2);
}

TEST_P(Fat16SweepTest, EveryWriteFailedFromThenOnLeavesACleanVolume) {
  SweepFailedCalls(base_, RunSequence, [&](const Cut& cut) {
    EXPECT_FALSE(cut.finished);
    // After the first failure nothing more was tried on the disk.
    EXPECT_EQ(cut.faults->CallCount(cut.call), cut.nth);
    CheckCutAndNextRun(cut.image);
  });
}

TEST_P(Fat16SweepTest, ProcessStoppedAtEveryStepLeavesACleanVolume) {
  SweepStops(base_, RunSequence, [&](const Cut& cut) { CheckCutAndNextRun(cut.image); });
}

INSTANTIATE_TEST_SUITE_P(RenameInOneSectorOrTwo, Fat16SweepTest, ::testing::Values(0, 29));

}  // namespace
}  // namespace halshift::image
