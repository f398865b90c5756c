// Tests of the activity log's blocks and of its file handling, over a machine image.
#include "app/activity_log.h"

#include <gtest/gtest.h>

#include "tests/support/image_builder.h"

namespace halshift {
namespace {

using testing::OpenMachine;
using testing::TempImage;

using testing::kLogRule;

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.WriteMinimalMachine();
    image_.MakeDriveDirectory("C:\\logs");
    machine_ = OpenMachine(image_);
    ASSERT_NE(machine_, nullptr);
  }
  std::string LogBytes() { return image_.ReadDriveFile("C:\\logs\\halshift.log").value_or("<missing>"); }

  TempImage image_;
  std::unique_ptr<testing::OpenedMachine> machine_;
};

TEST_F(ActivityLogTest, SilentHeaderStateAndFooterWithCrLf) {
  ActivityLog log(machine_->Platform());
  ASSERT_TRUE(log.Open("C:\\logs\\halshift.log"));
  SystemSurvey survey;
  survey.installedProcessors = 2;
  HalInstallation installation;
  installation.halKind = HalKind::kUniprocessor;
  log.WriteSessionHeader(true, "UPGRADE_HAL ENABLE_RECOVERY");
  log.WriteCurrentState(survey, installation);
  log.WriteEntry("HAL Recovery is enabled.\n");
  log.WriteEntry("The system is upgraded to Multiprocessor HAL.\n");
  log.WriteSessionFooter();
  log.Close();

  const std::string expected = std::string(kLogRule) +
      "Orvane Hardware Abstraction Layer Utility.\r\n"
      "Version 1.0.0.1\r\n"
      "\r\n"
      "Activity Log:\r\n"
      "Silent session beginning...\t12/06/01 - 14:03:27\r\n" +
      kLogRule +
      "Command-line:\r\n"
      "UPGRADE_HAL ENABLE_RECOVERY\r\n"
      "\r\n"
      "Current State:\r\n"
      "HAL:                        Uniprocessor HAL\r\n"
      "Installed Processors:       2\r\n"
      "HAL Recovery:               Not Present\r\n"
      "\r\n"
      "HAL Recovery is enabled.\r\n"
      "The system is upgraded to Multiprocessor HAL.\r\n"
      "\r\n" +
      kLogRule + "Session Complete\r\n" + kLogRule;
  EXPECT_EQ(LogBytes(), expected);
}

TEST_F(ActivityLogTest, InteractiveHeaderHasNoCommandLineAndStateValuesVary) {
  ActivityLog log(machine_->Platform());
  ASSERT_TRUE(log.Open("C:\\logs\\halshift.log"));
  SystemSurvey survey;
  HalInstallation installation;
  installation.halKind = HalKind::kMultiprocessor;
  installation.recoveryPresent = true;
  log.WriteSessionHeader(false, "IGNORED");
  log.WriteCurrentState(survey, installation);
  log.Close();
  const std::string expected = std::string(kLogRule) +
      "Orvane Hardware Abstraction Layer Utility.\r\nVersion 1.0.0.1\r\n\r\nActivity Log:\r\n"
      "Interactive session beginning...\t12/06/01 - 14:03:27\r\n" + kLogRule +
      "\r\nCurrent State:\r\n"
      "HAL:                        Multiprocessor HAL\r\n"
      "Installed Processors:       0\r\n"
      "HAL Recovery:               Present\r\n\r\n";
  EXPECT_EQ(LogBytes(), expected);
}

TEST_F(ActivityLogTest, TimeIsEmptyWhenTheClockCannotBeRead) {
  machine_->clock.now.reset();
  ActivityLog log(machine_->Platform());
  ASSERT_TRUE(log.Open("C:\\logs\\halshift.log"));
  log.WriteSessionHeader(false, "");
  log.Close();
  EXPECT_NE(LogBytes().find("Interactive session beginning...\t\r\n"), std::string::npos);
}

TEST_F(ActivityLogTest, AppendsToExistingContentsAndKeepsThemByteForByte) {
  const std::string earlier = "earlier session\r\nwith \x01 odd bytes\n";
  image_.WriteDriveFile("C:\\logs\\halshift.log", earlier);
  ActivityLog log(machine_->Platform());
  ASSERT_TRUE(log.Open("C:\\logs\\halshift.log"));
  log.WriteEntry("Execution stopped. No valid command line options specified.");
  log.WriteSessionFooter();
  log.Close();
  EXPECT_EQ(LogBytes(), earlier + "Execution stopped. No valid command line options specified.\r\n" +
                            kLogRule + "Session Complete\r\n" + kLogRule);
}

TEST_F(ActivityLogTest, WritesAreSkippedWhileClosed) {
  ActivityLog log(machine_->Platform());
  log.WriteEntry("lost\n");
  log.WriteSessionFooter();
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(image_.ReadDriveFile("C:\\logs\\halshift.log").has_value());
}

TEST_F(ActivityLogTest, SecondOpenerIsRefusedWhileTheFirstHoldsTheFile) {
  ActivityLog first(machine_->Platform());
  ASSERT_TRUE(first.Open("C:\\logs\\halshift.log"));
  ActivityLog second(machine_->Platform());
  EXPECT_FALSE(second.Open("C:\\logs\\halshift.log"));
  first.Close();
  EXPECT_TRUE(second.Open("C:\\logs\\halshift.log"));
}

TEST_F(ActivityLogTest, MissingDirectoryFailsTheOpen) {
  ActivityLog log(machine_->Platform());
  EXPECT_FALSE(log.Open("C:\\nowhere\\halshift.log"));
  EXPECT_FALSE(log.IsOpen());
}

TEST_F(ActivityLogTest, FailedWriteDoesNotEndTheSession) {
  machine_->image->Faults().FailCall(image::Call::kWriteFile, 1, true);
  ActivityLog log(machine_->Platform());
  ASSERT_TRUE(log.Open("C:\\logs\\halshift.log"));
  log.WriteSessionHeader(true, "X");
  log.WriteSessionFooter();
  log.Close();
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(LogBytes(), "");
}

}  // namespace
}  // namespace halshift
