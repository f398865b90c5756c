// HAL upgrade and downgrade over the example machines, and the recommendation rule.
#include "hal/upgrade.h"

#include <gtest/gtest.h>

#include "app/state.h"
#include "app/strings.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"

namespace halshift::hal {
namespace {

using testing::kSystem32;

TEST(RecommendationTest, ComparesTheProcessorCountWithTheHalKind) {
  struct Case {
    std::int32_t processors;
    HalKind kind;
    bool upgrade;
    bool downgrade;
  } cases[] = {
      {2, HalKind::kUniprocessor, true, false},   {4, HalKind::kUniprocessor, true, false},
      {1, HalKind::kMultiprocessor, false, true}, {0, HalKind::kMultiprocessor, false, true},
      {-1, HalKind::kMultiprocessor, false, true}, {1, HalKind::kUniprocessor, false, false},
      {0, HalKind::kUniprocessor, false, false},  {2, HalKind::kMultiprocessor, false, false},
  };
  testing::TempImage image;
  image.WriteMinimalMachine();
  auto machine = testing::OpenMachine(image);
  ASSERT_TRUE(machine);
  for (const Case& c : cases) {
    SystemSurvey survey(machine->Platform());
    survey.installedProcessors = c.processors;
    HalInstallation installation(machine->Platform(), survey);
    installation.halKind = c.kind;
    EXPECT_EQ(hal::UpgradeRecommended(installation), c.upgrade) << c.processors;
    EXPECT_EQ(hal::DowngradeRecommended(installation), c.downgrade) << c.processors;
  }
}

class HalSwitchTest : public ::testing::Test {
 protected:
  void Load(const std::string& example) {
    testing::CopyExample(image_, example);
    before_ = testing::SnapshotFolder(image_, kSystem32);
  }

  // Runs one operation on a freshly opened image, as the drivers set it up.
  bool Run(bool upgrade, bool apicPresent, std::string& error) {
    machine_ = testing::OpenMachine(image_);
    if (!machine_) return false;
    SystemSurvey survey(machine_->Platform());
    survey.apicPresent = apicPresent ? 1 : 0;
    HalInstallation installation(machine_->Platform(), survey);
    installation.systemDirectory = kSystem32;
    installation.SetSourceDirectory("D:\\I386");
    return upgrade ? hal::UpgradeHal(installation, error, warning_)
                   : hal::DowngradeHal(installation, error, warning_);
  }

  testing::RegistryText CurrentType() {
    auto machine = testing::OpenMachine(image_);
    return testing::ReadRegistryText(machine->Platform().registry, testing::kCurrentVersionKeyPath,
                                     "CurrentType");
  }

  std::string Installed(const char* name) {
    return image_.ReadDriveFile(std::string(kSystem32) + "\\" + name).value_or("<missing>");
  }
  std::string Media(const char* name) {
    return testing::InstalledContents(image_, std::string("D:\\I386\\") + name);
  }

  testing::TempImage image_;
  testing::FolderSnapshot before_;
  std::string warning_;
  std::unique_ptr<testing::OpenedMachine> machine_;
};

TEST_F(HalSwitchTest, UpgradeInstallsTheMultiprocessorSetAndRecordsIt) {
  Load("smp-uniprocessor-hal");
  std::string error = "untouched";
  EXPECT_TRUE(Run(true, false, error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Installed("HAL.DLL"), Media("HALMPS.DL_"));
  EXPECT_EQ(Installed("NTOSKRNL.EXE"), Media("NTKRNLMP.EX_"));
  EXPECT_EQ(Installed("NTDLL.DLL"), Media("NTDLL.DLL"));
  EXPECT_EQ(Installed("KERNEL32.DLL"), Media("KERNEL32.DL_"));
  EXPECT_EQ(Installed("WINSRV.DLL"), Media("WINSRV.DLL"));
  EXPECT_EQ(Installed("WIN32K.SYS"), Media("WIN32K.SY_"));
  const auto type = CurrentType();
  EXPECT_EQ(type.text, "Multiprocessor Free");
  EXPECT_EQ(type.type, platform::kRegSz);
  EXPECT_EQ(type.size, std::string_view("Multiprocessor Free").size() + 1);  // zero stored
  // The two files in use wait for deletion at the next start; nothing else is left over.
  auto machine = testing::OpenMachine(image_);
  EXPECT_EQ(testing::PendingDeletions(machine->Platform().registry).size(), 2u);
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32).size(), 8u)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
}

class DowngradeTest : public HalSwitchTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DowngradeTest, InstallsOnlyTheHalAndKernelTakingTheApicHalWhenDeclared) {
  const bool apic = GetParam();
  Load("up-multiprocessor-hal");
  std::string error = "untouched";
  EXPECT_TRUE(Run(false, apic, error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Installed("HAL.DLL"), Media(apic ? "HALAPIC.DL_" : "HAL.DLL"));
  EXPECT_EQ(Installed("NTOSKRNL.EXE"), Media("NTOSKRNL.EX_"));
  // The other four system files stay as they were.
  const auto after = testing::SnapshotFolder(image_, kSystem32);
  for (const char* name : {"NTDLL.DLL", "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"}) {
    EXPECT_EQ(after.at(name), before_.at(name)) << name;
  }
  EXPECT_EQ(CurrentType().text, "Uniprocessor Free");
}

INSTANTIATE_TEST_SUITE_P(Apic, DowngradeTest, ::testing::Bool());

TEST_F(HalSwitchTest, AMediaWithoutWin32kFailsAndLeavesEverythingAsItWas) {
  Load("smp-uniprocessor-hal");
  std::filesystem::remove(image_.DrivePath("D:\\I386\\WIN32K.SY_"));
  std::string error;
  EXPECT_FALSE(Run(true, false, error));
  EXPECT_EQ(error, strings::BuiltInString(strings::kCopyError));
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32), before_)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
  EXPECT_EQ(CurrentType().text, "Uniprocessor Free");
}

TEST_F(HalSwitchTest, AHalKindThatCannotBeRecordedPutsTheFilesBack) {
  Load("smp-uniprocessor-hal");
  // Without its key CurrentType cannot be written (the key is never created).
  image_.WriteImageFile("registry.reg",
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\"
                        "Session Manager]\r\n\r\n");
  std::string error;
  EXPECT_FALSE(Run(true, false, error));
  EXPECT_EQ(error, strings::BuiltInString(strings::kCopyError));
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32), before_)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
  EXPECT_NE(CurrentType().status, platform::kErrorSuccess);
}

}  // namespace
}  // namespace halshift::hal
