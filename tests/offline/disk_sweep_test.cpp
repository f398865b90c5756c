// The typical offline switch on a FAT16 volume cut at each of its disk steps: the process
// stopped there, or every disk write failing from there on.
// Then the next run: fsck.fat finds the volume clean apart from lost clusters, and the
// installation passes the same checks as a folder tree's (machine_checks.h) once its files
// are read out through the program's own FAT16 layer.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>

#include "core/strings.h"
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

void ExpectCheckable(const DiskImage& image) {
  std::string report;
  EXPECT_NE(disk::Fsck(image.path, &report, image.offset), disk::FsckVerdict::kDamaged) << report;
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

TEST(OfflineDiskSweepTest, EveryCutOfTheDiskIsFinishedByTheNextRun) {
  const TypicalRun typical = CleanOfflineRun();
  TempImage tree;
  MakeOfflineTree(tree);
  // The names that the checks look for, as a folder tree has them after the switch.
  TempImage names;
  MakeOfflineTree(names);
  {
    auto machine = OpenOfflineTree(names);
    ASSERT_TRUE(machine);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
  }
  // In memory where the host has a tmpfs: the sweep tests the order of the writes, not their
  // durability, and every cut flushes the disk many times.
  disk::TempFolder folder(disk::SweepScratch());
  // A bare partition image: the same FAT16 layer, checked without copying a partition out.
  const DiskImage pristine = MakeDiskFromTree(tree, folder / "pristine.img", true);
  DiskImage image = pristine;
  image.path = folder / "nt4.img";
  ASSERT_EQ(disk::Shell("cp --sparse=always " + disk::Quoted(pristine.path) + " " + disk::Quoted(image.path)).status, 0);
  const auto [steps, writes] = CountSteps(tree, image.path);
  ASSERT_GT(writes, 20);
  for (const Cut cut : {Cut::kStop, Cut::kFailFromThenOn}) {
    int cuts = 0;
    const int last = cut == Cut::kStop ? steps : writes;
    // A cut costs a whole switch, a next run, two fsck.fat runs and a read of the volume's
    // files, about a tenth of a second with the image in memory: cheap enough for every one.
    for (int step = 1; step <= last; ++step) {
      SCOPED_TRACE((cut == Cut::kStop ? "stopped at disk step " : "disk calls failing from call ") +
                   std::to_string(step));
      ASSERT_EQ(disk::Shell("cp --sparse=always " + disk::Quoted(pristine.path) + " " + disk::Quoted(image.path)).status, 0);
      ASSERT_TRUE(RunCut(tree, image.path, cut, step)) << "the switch ended before the cut";
      ++cuts;
      ExpectCheckable(image);
      {
        auto machine = OpenOfflineDisk(tree, image.path);
        ASSERT_TRUE(machine);
        HalUtilityApp app(machine->Platform());
        app.Startup("");
        app.Shutdown();
        std::string error;
        EXPECT_TRUE(machine->image->VerifyDisk(error)) << error;
      }
      ExpectCheckable(image);
      TempImage extracted;
      ReadOutBareDisk(image, extracted, names);
      ExpectConsistent(extracted, typical, ReadOfflineEndState(extracted));
      if (HasFailure()) return;  // one broken cut tells the story
    }
    std::cout << cuts << (cut == Cut::kStop ? " cuts stopping the process\n" : " cuts failing the disk writes\n");
  }
}

}  // namespace
}  // namespace halshift
