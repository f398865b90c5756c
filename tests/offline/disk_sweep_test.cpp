// The typical offline switch on a FAT16 volume and on an NTFS 1.2 volume cut at its disk steps:
// the process stopped there, or every disk write failing from there on.
// Then the next run: the undo journal of an NTFS disk is played back and gone, fsck.fat finds
// the FAT16 volume clean apart from lost clusters and ntfsfix -n the NTFS volume consistent,
// and the installation passes the same checks as a folder tree's (machine_checks.h) once its
// files are read out through the program's own volume layers.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>

#include "core/strings.h"
#include "platform/image/undo_journal.h"
#include "tests/disk/ntfs_tools.h"
#include "tests/disk/sweep_tools.h"
#include "tests/offline/disk_tree.h"

namespace halshift {
namespace {

using namespace testing;

enum class Cut { kStop, kFailFromThenOn };

// The typical session on the disk, cut at its step-th disk step; false when it ended first.
bool RunCut(const TempImage& tree, const std::filesystem::path& disk, Cut cut, int step) {
  const pid_t child = fork();
  if (child == 0) {
    // A process cut short leaves its private folder behind: beside the disk, not in /tmp.
    setenv("TMPDIR", disk.parent_path().c_str(), 1);
    auto machine = OpenOfflineDisk(tree, disk);
    if (!machine) _exit(2);
    image::FaultInjector& faults = machine->image->Faults();
    if (cut == Cut::kStop) {
      faults.StopAtStep(step);
    } else {
      faults.FailCall(image::Call::kWriteDisk, step, true);
    }
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    app.Shutdown();
    // A stop that happened ended the process in the injector; here the switch ran past it.
    const bool reached = cut == Cut::kFailFromThenOn && faults.CallCount(image::Call::kWriteDisk) >= step;
    _exit(reached ? image::FaultInjector::kStoppedExitCode : 0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == image::FaultInjector::kStoppedExitCode;
}

// The disk steps and disk writes of the uncut switch on a copy of the image.
std::pair<int, int> CountSteps(const TempImage& tree, const std::filesystem::path& disk) {
  auto machine = OpenOfflineDisk(tree, disk);
  if (!machine) return {0, 0};
  HalUtilityApp app(machine->Platform());
  app.Startup(kTypicalCommandLine);
  EXPECT_EQ(app.Shutdown(), 1);
  const image::FaultInjector& faults = machine->image->Faults();
  return {faults.StepCount(), faults.CallCount(image::Call::kWriteDisk)};
}

// A disk to sweep: its pristine image, what checks its volume after a cut, and every how
// many steps (and writes) a cut falls.
struct SweptDisk {
  std::filesystem::path pristine;
  std::function<void(const std::filesystem::path& disk)> expectCheckable;
  int stride = 1;
  int first = 1;  // the first step and write cut, up to stride
};

class OfflineDiskSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeOfflineTree(tree_);
    // The names that the checks look for, as a folder tree has them after the switch.
    MakeOfflineTree(names_);
    auto machine = OpenOfflineTree(names_);
    ASSERT_TRUE(machine);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
  }

  // Each cut of the switch on a fresh copy of the disk, then the next run and the checks.
  void SweepEveryCut(const SweptDisk& swept) {
    const std::filesystem::path disk = folder_ / "nt4.img";
    const std::filesystem::path journal = image::UndoJournalPath(disk);
    const auto fresh = [&] {
      std::error_code ignored;
      std::filesystem::remove(journal, ignored);
      return disk::Shell("cp --sparse=always " + disk::Quoted(swept.pristine) + " " + disk::Quoted(disk)).status == 0;
    };
    ASSERT_TRUE(fresh());
    const auto [steps, writes] = CountSteps(tree_, disk);
    ASSERT_GT(writes, 20);
    for (const Cut cut : {Cut::kStop, Cut::kFailFromThenOn}) {
      int cuts = 0;
      const int last = cut == Cut::kStop ? steps : writes;
      for (int step = swept.first; step <= last; step += swept.stride) {
        SCOPED_TRACE((cut == Cut::kStop ? "stopped at disk step " : "disk calls failing from call ") +
                     std::to_string(step) + " of " + std::to_string(last));
        ASSERT_TRUE(fresh());
        ASSERT_TRUE(RunCut(tree_, disk, cut, step)) << "the switch ended before the cut";
        ++cuts;
        // An undo journal left beside the disk undoes what the volume holds half-written.
        if (!std::filesystem::exists(journal)) {
          SCOPED_TRACE("before the next run");
          swept.expectCheckable(disk);
        }
        {
          auto machine = OpenOfflineDisk(tree_, disk);
          ASSERT_TRUE(machine);
          HalUtilityApp app(machine->Platform());
          app.Startup("");
          app.Shutdown();
          std::string error;
          EXPECT_TRUE(machine->image->VerifyDisk(error)) << error;
        }
        EXPECT_FALSE(std::filesystem::exists(journal));
        {
          SCOPED_TRACE("after the next run");
          swept.expectCheckable(disk);
        }
        TempImage extracted;
        ReadOutDisk(disk, extracted, names_);
        ExpectConsistent(extracted, typical_, ReadOfflineEndState(extracted));
        if (HasFailure()) return;  // one broken cut tells the story
      }
      std::cout << cuts << " of " << last << (cut == Cut::kStop ? " cuts stopping the process\n" : " cuts failing the disk writes\n");
    }
  }

  const TypicalRun typical_ = CleanOfflineRun();
  TempImage tree_;
  TempImage names_;
  // In memory where the host has a tmpfs: the sweep tests the order of the writes, not their
  // durability, and every cut flushes the disk many times.
  disk::TempFolder folder_{disk::SweepScratch()};
};

TEST_F(OfflineDiskSweepTest, EveryCutOfTheDiskIsFinishedByTheNextRun) {
  // A bare FAT16 partition image: checked without copying a partition out. A cut costs a
  // whole switch, a next run, two fsck.fat runs and a read of the volume's files, about a
  // tenth of a second with the image in memory: cheap enough for every one.
  const DiskImage pristine = MakeDiskFromTree(tree_, folder_ / "pristine.img", true);
  SweepEveryCut({pristine.path,
                 [](const std::filesystem::path& disk) {
                   std::string report;
                   EXPECT_NE(disk::Fsck(disk, &report), disk::FsckVerdict::kDamaged) << report;
                 },
                 1});
}

// Each shard cuts at every kNtfsShards-th step and write, from its own first one on: together
// they cut at every one, and the shards run side by side.
constexpr int kNtfsShards = 7;

class OfflineNtfsDiskSweepTest : public OfflineDiskSweepTest, public ::testing::WithParamInterface<int> {};

TEST_P(OfflineNtfsDiskSweepTest, EveryCutOfTheNtfsDiskIsFinishedByTheNextRun) {
  // The tree's drive C as an NTFS 1.2 partition in a raw disk, as NT 4.0 setup converts it.
  const std::filesystem::path partition = folder_ / "part.img";
  ASSERT_TRUE(disk::MakeNtfs(partition, 16));
  ASSERT_TRUE(disk::CopyTreeIntoNtfs(partition, DriveFolder(tree_, 'C')));
  ASSERT_TRUE(disk::SetNtfsVersion(partition, 1, 2));
  const std::filesystem::path pristine = folder_ / "pristine.img";
  ASSERT_TRUE(disk::MakeNtfsDisk(pristine, partition));
  // The switch makes about 1700 disk steps and 1000 disk writes, most of them the undo
  // journal's appends and syncs around the volume's own writes, and a cut here costs about a
  // quarter of a second (the journal, libntfs-3g's mounts, ntfsfix twice): every cut in one
  // test would take over ten minutes, so the cuts are dealt out over the shards.
  SweepEveryCut({pristine,
                 [&partition](const std::filesystem::path& disk) {
                   ASSERT_EQ(disk::Shell("dd if=" + disk::Quoted(disk) + " of=" + disk::Quoted(partition) +
                                         " bs=512 skip=2048 status=none")
                                 .status,
                             0);
                   std::string report;
                   EXPECT_TRUE(disk::NtfsConsistent(partition, &report)) << report;
                 },
                 kNtfsShards, 1 + GetParam()});
}

INSTANTIATE_TEST_SUITE_P(Shards, OfflineNtfsDiskSweepTest, ::testing::Range(0, kNtfsShards));

}  // namespace
}  // namespace halshift
