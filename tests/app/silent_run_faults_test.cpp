// The typical silent run with one failing platform call at a time, then one more start:
// whatever call fails, the machine holds a matching HAL and kernel, an old or new boot menu, a
// setup.log in step with them or a log entry that says it is not, no half-written or stray
// file, and the log tells of every failure that changed the outcome.
#include <gtest/gtest.h>

#include <map>

#include "core/strings.h"
#include "tests/support/machine_checks.h"

namespace halshift {
namespace {

using namespace testing;

bool Contains(const std::optional<std::string>& text, unsigned id) {
  return text && text->find(Crlf(Text(id))) != std::string::npos;
}

TEST(SilentRunFaultsTest, EveryFailingCallLeavesAConsistentMachine) {
  const TypicalRun typical = CleanTypicalRun();

  // How often each call that can change the machine is made, counted from the moment the
  // image is opened, as the runs do.
  std::map<image::Call, int> callCounts;
  {
    TempImage counted;
    CopyExample(counted, kTypicalExample);
    auto machine = OpenMachine(counted);
    ASSERT_TRUE(machine);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
    for (const image::CallInfo& info : image::kCalls) {
      // The disk calls are made only over a disk image file, which an example machine is not.
      const bool diskCall = info.call == image::Call::kWriteDisk || info.call == image::Call::kFlushDisk;
      if (info.changesMachine && !diskCall) {
        callCounts[info.call] = machine->image->Faults().CallCount(info.call);
      }
    }
  }

  int runs = 0;
  int setupLogLags = 0;
  for (const auto& [operation, calls] : callCounts) {
    const std::string callName(image::NameOf(operation));
    EXPECT_GT(calls + (operation == image::Call::kCreateDirectory ? 1 : 0), 0)
        << callName << " is never called";
    for (int nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(callName + " call " + std::to_string(nth) + " fails");
      ++runs;
      TempImage image;
      CopyExample(image, kTypicalExample);
      const SilentRun run = RunSilent(image, kTypicalCommandLine, [&](image::MachineImage& machine) {
        machine.Faults().FailCall(operation, nth);
      });
      const std::optional<std::string> entries = DriverEntries(run.log);
      const bool recordLeft = image.ReadDriveFile(kIntentRecord).has_value();
      const std::string second = StartAgain(image);
      const EndState state = ReadEndState(image);
      // A setup.log that cannot follow the switch leaves it standing, and the log says so.
      const bool setupLogLagTold =
          (entries && entries->find(SetupLogNotUpdatedEntry()) != std::string::npos) ||
          second.find(SetupLogNotUpdatedEntry()) != std::string::npos;
      if (setupLogLagTold) ++setupLogLags;
      ExpectConsistent(image, typical, state, setupLogLagTold);
      // A change left unfinished is finished at the next start, and the log says so.
      if (recordLeft) {
        EXPECT_NE(second.find(Crlf(Text(strings::kInterruptedCompleted))), std::string::npos) << second;
      }

      if (run.exitCode == 1) {
        EXPECT_EQ(state.systemDirectory, typical.after.systemDirectory) << Describe(state.systemDirectory);
        EXPECT_EQ(At(state.bootDrive, "BOOT.INI").bytes, At(typical.after.bootDrive, "BOOT.INI").bytes);
        EXPECT_EQ(At(state.bootDrive, "BOOTINI.ORV").bytes, At(typical.after.bootDrive, "BOOTINI.ORV").bytes);
        EXPECT_EQ(state.currentType, typical.after.currentType);
        if (!setupLogLagTold) {
          EXPECT_EQ(state.setupLog, typical.after.setupLog);
        }
        continue;
      }
      if (!run.log) {
        // The log could not be opened: the silent run stops before it changes anything.
        EXPECT_EQ(state.systemDirectory, typical.before.systemDirectory);
        EXPECT_EQ(state.bootDrive, typical.before.bootDrive);
        continue;
      }
      // A failed step leaves its part as it was, and the log says so.
      if (state.currentType == typical.before.currentType && entries) {
        EXPECT_TRUE(Contains(entries, strings::kUpgradeFailed)) << *entries;
      }
      const bool oldMenu = At(state.bootDrive, "BOOT.INI").bytes == At(typical.before.bootDrive, "BOOT.INI").bytes;
      if (oldMenu && entries) {
        EXPECT_TRUE(Contains(entries, strings::kEnableFailed)) << *entries;
      }
      if (entries) {
        EXPECT_TRUE(Contains(entries, strings::kEnableFailed) || Contains(entries, strings::kUpgradeFailed))
            << *entries;
      }
    }
  }
  EXPECT_GT(runs, 60);
  // The failures inside the rewrite of setup.log were among them.
  EXPECT_GT(setupLogLags, 5);
}

}  // namespace
}  // namespace halshift
