// Start-up of the whole program over machine images: help switches, run mode, the operating
// system and rights checks, the log's location, and what a session appends.
#include "app/app.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "core/strings.h"
#include "tests/support/image_builder.h"

namespace halshift {
namespace {

using testing::OpenMachine;
using testing::TempImage;

using testing::kLogRule;

std::string SilentSession(const std::string& commandLine, const std::string& stateAndEntries) {
  return std::string(kLogRule) +
         "Orvane Hardware Abstraction Layer Utility.\r\nVersion 1.0.0.1\r\n\r\nActivity Log:\r\n"
         "Silent session beginning...\t12/06/01 - 14:03:27\r\n" +
         kLogRule + "Command-line:\r\n" + commandLine + "\r\n" + stateAndEntries + "\r\n" + kLogRule +
         "Session Complete\r\n" + kLogRule;
}

// The state block of a machine without firmware tables, HAL record or boot drive.
constexpr const char* kBareState =
    "\r\nCurrent State:\r\n"
    "HAL:                        Multiprocessor HAL\r\n"
    "Installed Processors:       0\r\n"
    "HAL Recovery:               Not Present\r\n\r\n";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { image_.WriteMinimalMachine(); }

  int Run(const std::string& commandLine) {
    machine_ = OpenMachine(image_);
    if (!machine_) return -1;
    HalUtilityApp app(machine_->Platform());
    EXPECT_FALSE(app.Startup(commandLine));
    silent_ = app.silentMode;
    return app.Shutdown();
  }

  std::optional<std::string> Log() { return testing::ReadLog(image_); }
  bool LogDirectoryExists() { return std::filesystem::exists(image_.Root() / "drives/C/ORVSYSTEM"); }

  TempImage image_;
  std::unique_ptr<testing::OpenedMachine> machine_;
  bool silent_ = false;
};

TEST_F(StartupTest, SilentRunCreatesTheLogAndAppendsOneSession) {
  EXPECT_EQ(Run("-h"), 0);
  EXPECT_TRUE(silent_);
  EXPECT_TRUE(std::filesystem::is_directory(image_.Root() / "drives/C/ORVSYSTEM/log"));
  const std::string first =
      SilentSession("-H", std::string(kBareState) +
                              "Execution stopped. No valid command line options specified.");
  EXPECT_EQ(Log().value_or("<no log>"), first);
  EXPECT_TRUE(machine_->ui.boxes.empty());

  // A second session follows the first, which is kept byte for byte.
  EXPECT_EQ(Run("nothing known"), 0);
  EXPECT_EQ(Log().value_or("<no log>"),
            first + SilentSession("NOTHING KNOWN",
                                  std::string(kBareState) +
                                      "Execution stopped. No valid command line options specified."));
}

TEST_F(StartupTest, ExistingLogFolderIsUsedWhateverItsCase) {
  image_.MakeDriveDirectory("C:\\OrvSystem\\LOG");
  EXPECT_EQ(Run("-h"), 0);
  EXPECT_TRUE(std::filesystem::exists(image_.Root() / "drives/C/OrvSystem/LOG/halshift.log"));
  EXPECT_FALSE(std::filesystem::exists(image_.Root() / "drives/C/ORVSYSTEM"));
}

TEST_F(StartupTest, HelpSwitchesShowTheUsageAndWriteNothing) {
  for (const std::string line : {"/?", "-?", "/help", "-Help", "/HELPME", "upgrade_hal /?"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(Run(line), 0);
    ASSERT_EQ(machine_->ui.boxes.size(), 1u);
    EXPECT_EQ(machine_->ui.boxes[0].caption, "Command-Line Help");
    EXPECT_EQ(machine_->ui.boxes[0].text, strings::BuiltInString(strings::kUsage));
    EXPECT_EQ(machine_->ui.boxes[0].style, 0u);
    EXPECT_EQ(machine_->ui.boxes[0].owner, platform::BoxOwner::kNone);
    EXPECT_FALSE(LogDirectoryExists());
  }
}

struct CheckCase {
  const char* name;
  const char* system;
  unsigned expectedText;
};

class StartupCheckTest : public StartupTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(StartupCheckTest, FailedCheckStopsWithoutLogInBothModes) {
  const CheckCase& c = GetParam();
  image_.WriteImageFile("machine.ini", std::string("[System]\n") + c.system +
                                           "\nSystemDirectory=C:\\WINNT\\System32\n[Drives]\nC=fixed\n");
  EXPECT_EQ(Run("upgrade_hal"), 0);
  EXPECT_TRUE(machine_->ui.boxes.empty());
  EXPECT_FALSE(LogDirectoryExists());

  EXPECT_EQ(Run(""), 0);
  ASSERT_EQ(machine_->ui.boxes.size(), 1u);
  EXPECT_EQ(machine_->ui.boxes[0].text, strings::BuiltInString(c.expectedText));
  EXPECT_EQ(machine_->ui.boxes[0].caption, "halshift Message");
  EXPECT_EQ(machine_->ui.boxes[0].style, 0x30u);
  EXPECT_FALSE(LogDirectoryExists());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, StartupCheckTest,
    ::testing::Values(
        CheckCase{"Windows2000", "Version=5.0\nBuild=2195", strings::kUnsupportedOs},
        CheckCase{"NT351", "Version=3.51\nBuild=1057", strings::kUnsupportedOs},
        CheckCase{"Windows95Family", "Version=4.0\nPlatform=Windows", strings::kUnsupportedOs},
        CheckCase{"NotAdministrator", "Version=4.0\nAdministrator=no", strings::kNotAdministrator},
        // Both checks fail: only the first is told.
        CheckCase{"NotAdministratorOnWindows2000", "Version=5.0\nAdministrator=no",
                  strings::kUnsupportedOs}),
    [](const ::testing::TestParamInfo<CheckCase>& param) { return std::string(param.param.name); });

TEST_F(StartupTest, AnyServicePackOfNt40PassesTheCheck) {
  image_.WriteImageFile("machine.ini",
                        "[System]\nVersion=4.0\nBuild=1381\nSystemDirectory=C:\\WINNT\\System32\n"
                        "[Drives]\nC=fixed\n");
  image_.WriteImageFile("registry.reg",
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Windows]\n"
                        "\"CSDVersion\"=dword:00000600\n");
  EXPECT_EQ(Run("-h"), 0);
  EXPECT_TRUE(Log().has_value());
}

TEST_F(StartupTest, SilentRunStopsQuietlyWhenTheLogIsHeldElsewhere) {
  image_.MakeDriveDirectory("C:\\ORVSYSTEM\\log");
  image_.WriteDriveFile("C:\\ORVSYSTEM\\log\\halshift.log", "held\r\n");
  const auto path = image_.DrivePath("C:\\ORVSYSTEM\\log\\halshift.log");
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Run("upgrade_hal"), 0);
  EXPECT_TRUE(machine_->ui.boxes.empty());
  close(fd);
  EXPECT_EQ(Log().value_or(""), "held\r\n");
}

TEST_F(StartupTest, MessageCaptionAndWarningsFollowTheRunMode) {
  machine_ = OpenMachine(image_);
  ASSERT_NE(machine_, nullptr);
  HalUtilityApp app(machine_->Platform());
  app.ShowWarning("shown");
  app.silentMode = true;
  app.ShowWarning("not shown");
  ASSERT_EQ(machine_->ui.boxes.size(), 1u);
  EXPECT_EQ(machine_->ui.boxes[0].text, "shown");
  EXPECT_EQ(machine_->ui.boxes[0].caption, "halshift Message");
  EXPECT_EQ(machine_->ui.boxes[0].owner, platform::BoxOwner::kSession);
  EXPECT_EQ(machine_->ui.boxes[0].style, 0x30u);
}

TEST_F(StartupTest, HelpFileIsTheProgramPathWithHlp) {
  machine_ = OpenMachine(image_);
  ASSERT_NE(machine_, nullptr);
  HalUtilityApp app(machine_->Platform());
  app.ShowHelp();
  ASSERT_EQ(machine_->ui.helpFiles.size(), 1u);
  std::string program = machine_->Platform().system.GetModuleFileName();
  program.erase(program.rfind('.'));
  EXPECT_EQ(machine_->ui.helpFiles[0], program + ".HLP");
}

}  // namespace
}  // namespace halshift
