// The typical silent run ended on the spot at each step that changes the disk, then started
// again with no keyword: the machine still starts, with a matching HAL and kernel, a whole
// BOOT.INI and a setup.log in step with them, and nothing is left behind. Four ways to end:
// a kill, which keeps every change made (as ext4 keeps them in order); a power cut that loses
// every change of folders since the last flush of their volume (as NT 4.0's FAT cache would);
// one after which some oldest part of those changes reached the disk; and one after which
// any part of them did, each name's own changes in order (FAT writes its cached directory
// sectors in no set order).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "core/strings.h"
#include "base/text.h"
#include "base/winpath.h"
#include "tests/support/machine_checks.h"

namespace halshift {
namespace {

using namespace testing;

enum class Stop { kKill, kPowerCut, kPowerCutKeepingPart, kPowerCutInAnyOrder };

std::string StopName(const ::testing::TestParamInfo<Stop>& info) {
  switch (info.param) {
    case Stop::kKill: return "Kill";
    case Stop::kPowerCut: return "PowerCut";
    case Stop::kPowerCutKeepingPart: return "PowerCutKeepingPart";
    case Stop::kPowerCutInAnyOrder: return "PowerCutInAnyOrder";
  }
  return "Unknown";
}

// Runs the typical session in a child process that ends before its step-th disk step; true
// when it was ended there, false when it ran to its end first.
bool RunStoppedAt(const TempImage& image, int step, Stop stop) {
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto machine = OpenMachine(image);
    if (!machine) _exit(2);
    image::FaultInjector& faults = machine->image->Faults();
    switch (stop) {
      case Stop::kKill:
        faults.StopAtStep(step);
        break;
      case Stop::kPowerCut:
        faults.CutPowerAtStep(step);
        break;
      case Stop::kPowerCutKeepingPart:
        // A different part at each step, the same in every run.
        faults.CutPowerAtStep(step, static_cast<std::uint32_t>(step) * 2654435761u);
        break;
      case Stop::kPowerCutInAnyOrder:
        faults.CutPowerInAnyOrderAtStep(step, static_cast<std::uint32_t>(step));
        break;
    }
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

class SilentRunStopsTest : public ::testing::TestWithParam<Stop> {};

TEST_P(SilentRunStopsTest, EveryStopPointLeavesAMachineThatStarts) {
  const StopSweepCount count =
      SweepEveryStop(CleanTypicalRun(), {[](TempImage& image) { CopyExample(image, kTypicalExample); },
                                         [](const TempImage& image, int step) { return RunStoppedAt(image, step, GetParam()); },
                                         ReadEndState, StartAgain});
  std::cout << count.stops << " stops, " << count.finished << " with a record\n";
  EXPECT_GT(count.stops, 100);
  EXPECT_GT(count.finished, 10);
}

INSTANTIATE_TEST_SUITE_P(Modes, SilentRunStopsTest,
                         ::testing::Values(Stop::kKill, Stop::kPowerCut, Stop::kPowerCutKeepingPart,
                                           Stop::kPowerCutInAnyOrder),
                         StopName);

// Files of the user's whose names the temporary-file patterns (hsn*.TMP, del*.TMP, BMT*.TMP,
// slt*.TMP) also find, but which are not of the form GetTempFileName gives, survive a cut
// anywhere in the run and the start that finishes or undoes the change: the clean-up removes
// only the program's own files. Every cut ends in that same clean-up, so every seventh step
// does, with and without a record left.
TEST(SilentRunUserFilesTest, UserFilesThatLookTemporarySurviveACutAndTheFinish) {
  struct Planted {
    const char* path;
    const char* bytes;
  };
  const Planted planted[] = {
      {"C:\\WINNT\\System32\\hsnotes.TMP", "the user's notes\r\n"},
      {"C:\\WINNT\\System32\\delete.tmp", ""},
      {"C:\\WINNT\\System32\\deltaX.tmp", ""},
      {"C:\\BMTEST.TMP", "a benchmark's result\r\n"},
      {"C:\\WINNT\\repair\\sltnotes.tmp", ""},
  };
  int stops = 0;
  int withRecord = 0;
  for (int step = 1;; step += 7) {
    SCOPED_TRACE("stopped before disk step " + std::to_string(step));
    TempImage image;
    CopyExample(image, kTypicalExample);
    for (const Planted& file : planted) image.WriteDriveFile(file.path, file.bytes);
    if (!RunStoppedAt(image, step, Stop::kKill)) break;
    ++stops;
    if (image.ReadDriveFile(kIntentRecord)) ++withRecord;
    StartAgain(image);
    for (const Planted& file : planted) {
      EXPECT_EQ(image.ReadDriveFile(file.path), std::optional<std::string>(file.bytes)) << file.path;
    }
    // What the program itself left is gone all the same.
    const std::vector<std::string> left = Leftovers(image, ReadEndState(image));
    const auto isPlanted = [&](const std::string& path) {
      const std::string name = text::ToUpper(std::filesystem::path(path).filename().string());
      return std::any_of(std::begin(planted), std::end(planted), [&](const Planted& file) {
        return text::ToUpper(std::string(winpath::FileNameOf(file.path))) == name;
      });
    };
    for (const std::string& path : left) EXPECT_TRUE(isPlanted(path)) << path << " is left";
    if (HasFailure()) break;
  }
  EXPECT_GT(stops, 10);
  EXPECT_GT(withRecord, 1);
}

}  // namespace
}  // namespace halshift
