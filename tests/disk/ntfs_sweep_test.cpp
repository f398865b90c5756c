// A cut at every write of a create, write, rename-over and attribute sequence on an NTFS
// volume under its undo journal: each write (of the disk or of the journal) failed from then
// on, and the process stopped at each step. After every cut, the next open plays the journal
// back: ntfsfix -n finds the volume consistent and each file old or new, never mixed; then
// the next run finishes the sequence and leaves no journal behind.
#include <gtest/gtest.h>

#include "platform/image/machine_image.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/undo_journal.h"
#include "tests/disk/ntfs_tools.h"
#include "tests/disk/sweep_tools.h"

// When a write fails, libntfs-3g's ntfs_inode_close keeps the inode it could not write back
// (ntfs_delete, ntfs_link and ntfs_umount close theirs so) and the memory is not freed. Those
// leaks are the library's; this binary alone lets them go, and the volume's other tests,
// whose writes do not fail, run without the suppression.
extern "C" const char* __lsan_default_suppressions() { return "leak:libntfs-3g.so\n"; }

namespace halshift::image {
namespace {

using namespace testing::disk;

// The image's journal as the sequence opens it; nothing on failure.
struct Opened {
  std::unique_ptr<RawDevice> raw;
  std::unique_ptr<UndoJournalDevice> journaled;
};
Opened OpenJournaled(const std::filesystem::path& image, FaultInjector* faults) {
  Opened opened;
  std::string error;
  opened.raw = RawDevice::Open(image, true, faults, error);
  if (opened.raw) {
    opened.journaled = UndoJournalDevice::Open(*opened.raw, UndoJournalPath(image), 0, true, faults, error);
  }
  EXPECT_TRUE(faults != nullptr || opened.journaled) << error;
  return opened;
}

// The sequence: the new HAL.DLL staged under another name and renamed over the old one, the
// new BOOT.INI likewise and then given its attributes. Each step is whole or not done, so a
// run after a cut simply does them all again.
bool RunSequence(const std::filesystem::path& image, FaultInjector* faults) {
  Opened opened = OpenJournaled(image, faults);
  if (!opened.journaled) return false;
  std::string error;
  auto volume = NtfsVolume::Mount(*opened.journaled, error);
  if (!volume) return false;
  bool ok = volume->WriteFile("WINNT\\SYSTEM32\\HALMPS.DL$", BytesOf(kNewHal));
  ok = ok && volume->Flush();
  ok = ok && volume->Rename("WINNT\\SYSTEM32\\HALMPS.DL$", "HAL.DLL");
  ok = ok && volume->WriteFile("BOOT.TMP", BytesOf(kNewBootIni));
  ok = ok && volume->Rename("BOOT.TMP", "BOOT.INI");
  ok = ok && volume->SetAttributes("BOOT.INI", ntfs::kReadOnly | ntfs::kSystem | ntfs::kHidden);
  return ok && volume->Flush();
}

class NtfsSweepTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    base_ = folder_ / "base.img";
    ASSERT_TRUE(MakeNtfs(base_, 8));
    ASSERT_TRUE(MakeNtfsFolder(base_, "", "WINNT"));
    ASSERT_TRUE(MakeNtfsFolder(base_, "/WINNT", "SYSTEM32"));
    ASSERT_TRUE(PutNtfsFile(base_, "WINNT/SYSTEM32/HAL.DLL", kOldHal, folder_));
    ASSERT_TRUE(PutNtfsFile(base_, "BOOT.INI", kOldBootIni, folder_));
    if (GetParam() == 1) {
      ASSERT_TRUE(SetNtfsVersion(base_, 1, 2));
    }
    ASSERT_TRUE(NtfsConsistent(base_));
  }

  // The checks after a cut: the journal played back by an open that changes nothing, then
  // the next run, and the checks after it.
  void CheckCutAndNextRun(const std::filesystem::path& image) {
    OpenJournaled(image, nullptr);
    std::string report;
    EXPECT_TRUE(NtfsConsistent(image, &report)) << report;
    const std::string hal = CatNtfsFile(image, "WINNT/SYSTEM32/HAL.DLL").output;
    EXPECT_TRUE(hal == kOldHal || hal == kNewHal) << hal.substr(0, 80);
    const std::string bootIni = CatNtfsFile(image, "BOOT.INI").output;
    EXPECT_TRUE(bootIni == kOldBootIni || bootIni == kNewBootIni) << bootIni;
    ASSERT_TRUE(RunSequence(image, nullptr));
    EXPECT_TRUE(NtfsConsistent(image, &report)) << report;
    EXPECT_EQ(CatNtfsFile(image, "WINNT/SYSTEM32/HAL.DLL").output, kNewHal);
    EXPECT_EQ(CatNtfsFile(image, "BOOT.INI").output, kNewBootIni);
    EXPECT_FALSE(std::filesystem::exists(UndoJournalPath(image)));
  }

  TempFolder folder_{SweepScratch()};
  std::filesystem::path base_;
};

TEST_P(NtfsSweepTest, UncutSequenceIsCleanAndComplete) {
  const auto image = FreshCopy(base_);
  FaultInjector faults;
  ASSERT_TRUE(RunSequence(image, &faults));
  std::string report;
  EXPECT_TRUE(NtfsConsistent(image, &report)) << report;
  EXPECT_EQ(CatNtfsFile(image, "WINNT/SYSTEM32/HAL.DLL").output, kNewHal);
  EXPECT_EQ(CatNtfsFile(image, "BOOT.INI").output, kNewBootIni);
  EXPECT_FALSE(std::filesystem::exists(UndoJournalPath(image)));
  EXPECT_GT(faults.CallCount(Call::kWriteDisk), 10);
  // At least one group per change, each a flush of the disk and of the emptied journal.
  EXPECT_GE(faults.CallCount(Call::kFlushDisk), 2 * 6);
}

TEST_P(NtfsSweepTest, EveryWriteFailedFromThenOnIsUndoneAndFinished) {
  SweepFailedCalls(base_, RunSequence, [&](const Cut& cut) {
    EXPECT_FALSE(cut.finished);
    CheckCutAndNextRun(cut.image);
  });
}

TEST_P(NtfsSweepTest, ProcessStoppedAtEveryStepIsUndoneAndFinished) {
  SweepStops(base_, RunSequence, [&](const Cut& cut) { CheckCutAndNextRun(cut.image); });
}

INSTANTIATE_TEST_SUITE_P(Versions, NtfsSweepTest, ::testing::Values(3, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return param.param == 3 ? std::string("V3_1") : std::string("V1_2");
                         });

}  // namespace
}  // namespace halshift::image
