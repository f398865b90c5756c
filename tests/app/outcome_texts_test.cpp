// The words of each kind of outcome: which text of the string table, and what fills it in, for
// the log and the dialogs alike.
#include "app/outcome_texts.h"

#include <gtest/gtest.h>

#include <string>

#include "app/operations.h"
#include "base/text.h"
#include "core/strings.h"
#include "tests/support/image_builder.h"

namespace halshift {
namespace {

std::string Text(unsigned id) { return std::string(strings::BuiltInString(id)); }

std::string Filled(unsigned id, std::initializer_list<std::string_view> values) {
  return text::FillIn(Text(id), values);
}

OperationOutcome FilesFailed(hal::FilesFailure failure) {
  OperationOutcome outcome;
  outcome.filesFailure = std::move(failure);
  return outcome;
}

OperationOutcome MenuFailed(bootmenu::MenuEdit edit) {
  OperationOutcome outcome;
  outcome.bootMenuFailure = bootmenu::BootMenuOutcome{edit, "C:"};
  return outcome;
}

hal::MediaMismatch KernelOfAnotherServicePack() {
  hal::MediaMismatch mismatch;
  mismatch.mediaName = "NTKRNLMP.EXE";
  mismatch.comparison.verdict = hal::MediaVerdict::kOtherRevision;
  mismatch.comparison.installed = pe::FileVersion{4, 0, 1381, 7};
  mismatch.comparison.media = pe::FileVersion{4, 0, 1381, 4};
  return mismatch;
}

TEST(OutcomeTextsTest, EachOutcomeInItsWords) {
  constexpr std::string_view kSystem32 = "C:\\WINNT\\System32";
  OperationOutcome lagging;
  lagging.setupLogLag = "C:\\WINNT\\repair\\setup.log";
  struct Case {
    const char* name;
    Operation operation;
    OperationOutcome outcome;
    std::string failure;
    std::string warning;
  };
  const Case cases[] = {
      {"a source the media lacks", Operation::kUpgradeHal,
       FilesFailed(hal::FilesNotStaged{hal::StagingFailure::kSource, std::string(kSystem32)}),
       Text(strings::kUpgradeFailed) + Text(strings::kCopyError), ""},
      {"a full system disk", Operation::kUpgradeHal,
       FilesFailed(hal::FilesNotStaged{hal::StagingFailure::kDiskFull, std::string(kSystem32)}),
       Text(strings::kUpgradeFailed) + Filled(strings::kStagingDiskFull, {kSystem32}), ""},
      {"a system directory that takes no file", Operation::kDowngradeHal,
       FilesFailed(hal::FilesNotStaged{hal::StagingFailure::kDestination, std::string(kSystem32)}),
       Text(strings::kDowngradeFailed) + Filled(strings::kStagingNotWritable, {kSystem32}), ""},
      {"a file that is no image", Operation::kEnableRecovery,
       FilesFailed(hal::UnfitImage{"HAL.DLL", 10, {}}),
       Text(strings::kEnableFailed) + Filled(strings::kNotAnImage, {"HAL.DLL"}), ""},
      {"the media of another service pack", Operation::kUpgradeHal,
       FilesFailed(KernelOfAnotherServicePack()),
       Text(strings::kUpgradeFailed) +
           Filled(strings::kMediaMismatch, {"NTKRNLMP.EXE", "4.0.1381.4", "4.0.1381.7"}),
       ""},
      {"a change put back", Operation::kEnableRecovery, FilesFailed(hal::FilesNotCommitted{}),
       Text(strings::kEnableFailed) + Text(strings::kCopyError), ""},
      {"a menu that could not be edited", Operation::kEnableRecovery,
       MenuFailed(bootmenu::MenuEdit::kFailed),
       Text(strings::kEnableFailed) + Text(strings::kBootIniError), ""},
      {"a menu left without a backup", Operation::kDisableRecovery,
       MenuFailed(bootmenu::MenuEdit::kUnchanged),
       Text(strings::kDisableFailed) + Text(strings::kBootIniUnchanged), ""},
      {"a switch that setup.log could not follow", Operation::kUpgradeHal, lagging, "",
       Filled(strings::kSetupLogNotUpdated, {"C:\\WINNT\\repair\\setup.log"})},
      {"a success", Operation::kDisableRecovery, OperationOutcome{}, "", ""},
  };
  testing::RecordingUserInterface ui;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OperationReport report = ReportOf(ui, c.operation, c.outcome);
    EXPECT_EQ(report.succeeded, c.failure.empty());
    EXPECT_EQ(report.failure, c.failure);
    EXPECT_EQ(report.warning, c.warning);
  }
}

}  // namespace
}  // namespace halshift
