// The typical offline switch (upgrade_hal enable_recovery with two processors) cut at each of
// its steps that change the disk, as a power cut or a kill would end it, and with each of its
// calls failing in turn; then started once more offline. The tree always starts with a
// matching HAL and kernel, its kind recorded as it is in a SOFTWARE hive that NT 4.0 loads,
// SYSTEM unchanged, a whole BOOT.INI and setup.log, and nothing left behind.
#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "core/strings.h"
#include "tests/support/offline_tree.h"

namespace halshift {
namespace {

using namespace testing;

// Runs the typical session in a child process that ends before its step-th disk step; true
// when it was ended there, false when it ran to its end first.
bool RunStoppedAt(const TempImage& tree, int step) {
  const pid_t child = fork();
  if (child == 0) {
    auto machine = OpenOfflineTree(tree);
    if (!machine) _exit(2);
    machine->image->Faults().StopAtStep(step);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    _exit(app.Shutdown() == 1 ? 0 : 3);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  const int code = WEXITSTATUS(status);
  EXPECT_TRUE(code == 0 || code == image::FaultInjector::kStoppedExitCode) << "exit code " << code;
  return code == image::FaultInjector::kStoppedExitCode;
}

TEST(OfflineSweepTest, EveryStopIsFinishedByTheNextRun) {
  const TypicalRun typical = CleanOfflineRun();
  ASSERT_TRUE(typical.after.opens);
  ASSERT_EQ(typical.after.currentType, "Multiprocessor Free");
  const StopSweepCount count = SweepEveryStop(typical, {MakeOfflineTree, RunStoppedAt, ReadOfflineEndState, StartOfflineAgain});
  std::cout << count.stops << " stops, " << count.finished << " with a record\n";
  EXPECT_GT(count.stops, 100);
  EXPECT_GT(count.finished, 10);
}

TEST(OfflineSweepTest, EveryFailingCallLeavesAConsistentTree) {
  const TypicalRun typical = CleanOfflineRun();
  std::map<image::Call, int> callCounts;
  {
    TempImage counted;
    MakeOfflineTree(counted);
    auto machine = OpenOfflineTree(counted);
    ASSERT_TRUE(machine);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
    for (const image::CallInfo& info : image::kCalls) {
      if (info.changesMachine) callCounts[info.call] = machine->image->Faults().CallCount(info.call);
    }
  }
  // Nothing of an offline machine is in use, so no delayed operation is asked for.
  EXPECT_EQ(callCounts[image::Call::kRegSetValue], 1) << "CurrentType alone is written";

  int runs = 0;
  for (const auto& [operation, calls] : callCounts) {
    for (int nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(std::string(image::NameOf(operation)) + " call " + std::to_string(nth) + " fails");
      ++runs;
      TempImage tree;
      MakeOfflineTree(tree);
      int exitCode = -1;
      {
        auto machine = OpenOfflineTree(tree);
        ASSERT_TRUE(machine);
        machine->image->Faults().FailCall(operation, nth);
        HalUtilityApp app(machine->Platform());
        app.Startup(kTypicalCommandLine);
        exitCode = app.Shutdown();
      }
      const std::optional<std::string> entries = DriverEntries(ReadLog(tree));
      const std::string second = StartOfflineAgain(tree);
      const bool setupLogLagTold =
          (entries && entries->find(SetupLogNotUpdatedEntry()) != std::string::npos) ||
          second.find(SetupLogNotUpdatedEntry()) != std::string::npos;
      const EndState state = ReadOfflineEndState(tree);
      ExpectConsistent(tree, typical, state, setupLogLagTold);
      if (exitCode == 1) {
        EXPECT_EQ(state.systemDirectory, typical.after.systemDirectory) << Describe(state.systemDirectory);
        EXPECT_EQ(state.currentType, typical.after.currentType);
      }
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(runs, 60);
}

}  // namespace
}  // namespace halshift
