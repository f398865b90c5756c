// HAL upgrade and downgrade over the example machines, and the recommendation rule.
#include "hal/upgrade.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "app/outcome_texts.h"
#include "core/state.h"
#include "core/strings.h"
#include "base/text.h"
#include "inspect/pe_file.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"
#include "tests/support/machine_files.h"
#include "tests/support/pe_fixtures.h"

namespace halshift::hal {
namespace {

using testing::HeaderCheckSum;
using testing::kSetupLog;
using testing::kSetupLogBackup;
using testing::kSystem32;



std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// setup.log's text with the whole line of one system file replaced.
std::string WithLine(std::string text, const std::string& file, const std::string& value) {
  const std::string key = "\\WINNT\\system32\\" + file + " = ";
  const auto at = text.find(key);
  EXPECT_NE(at, std::string::npos) << file;
  if (at == std::string::npos) return text;
  return text.replace(at, text.find("\r\n", at) - at, key + value);
}

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
    SystemSurvey survey;
    survey.installedProcessors = c.processors;
    HalInstallation installation;
    installation.halKind = c.kind;
    EXPECT_EQ(hal::UpgradeRecommended(survey, installation), c.upgrade) << c.processors;
    EXPECT_EQ(hal::DowngradeRecommended(survey, installation), c.downgrade) << c.processors;
  }
}

// The outcome in the drivers' words: false with the reason in error, or true with any warning.
bool Worded(platform::UserInterface& ui, const hal::FilesOutcome& outcome, std::string& error,
            std::string& warning) {
  if (!outcome.Succeeded()) {
    error = FilesFailureText(ui, *outcome.failure);
    return false;
  }
  if (outcome.setupLogLag) warning = SetupLogLagText(ui, *outcome.setupLogLag);
  return true;
}

class HalSwitchTest : public ::testing::Test {
 protected:
  void Load(const std::string& example) {
    testing::CopyExample(image_, example);
    before_ = testing::SnapshotFolder(image_, kSystem32);
    setupLogBefore_ = image_.ReadDriveFile(kSetupLog).value_or("");
    ASSERT_FALSE(setupLogBefore_.empty());
  }

  // Runs one operation on a freshly opened image, as the drivers set it up.
  bool Run(bool upgrade, bool apicPresent, std::string& error) {
    machine_ = testing::OpenMachine(image_);
    if (!machine_) return false;
    SystemSurvey survey;
    survey.apicPresent = apicPresent;
    HalInstallation installation;
    installation.systemDirectory = kSystem32;
    installation.sourceDirectory = "D:\\I386";
    platform::Platform& platform = machine_->Platform();
    return Worded(platform.ui,
                  upgrade ? hal::UpgradeHal(platform, installation)
                          : hal::DowngradeHal(platform, installation, survey.apicPresent),
                  error, warning_);
  }

  testing::RegistryText CurrentType() {
    auto machine = testing::OpenMachine(image_);
    return testing::ReadRegistryText(machine->Platform().registry, testing::kCurrentVersionKeyPath,
                                     "CurrentType");
  }

  std::string Installed(const std::string& name) {
    return image_.ReadDriveFile(std::string(kSystem32) + "\\" + name).value_or("<missing>");
  }
  std::string Media(const std::string& name) {
    return testing::InstalledContents(image_, std::string("D:\\I386\\") + name);
  }

  // setup.log as it was loaded, with the lines of the files given (name on the media, file in
  // the system directory) naming them with their checksums.
  std::string ExpectedSetupLog(std::initializer_list<std::pair<const char*, const char*>> lines) {
    std::string text = setupLogBefore_;
    for (const auto& [media, installed] : lines) {
      const std::string bytes = Installed(installed);
      text = WithLine(text, Lower(installed),
                      "\"" + Lower(media) + "\",\"" + HeaderCheckSum(bytes) + "\"");
    }
    return text;
  }

  testing::TempImage image_;
  testing::FolderSnapshot before_;
  std::string setupLogBefore_;
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

  // setup.log names the six files by the media files they came from, every other byte kept,
  // read-only as it was, its old text in the backup beside it.
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog),
            ExpectedSetupLog({{"HALMPS.DLL", "HAL.DLL"}, {"NTKRNLMP.EXE", "NTOSKRNL.EXE"},
                              {"NTDLL.DLL", "NTDLL.DLL"}, {"KERNEL32.DLL", "KERNEL32.DLL"},
                              {"WINSRV.DLL", "WINSRV.DLL"}, {"WIN32K.SYS", "WIN32K.SYS"}}));
  EXPECT_EQ(image_.DriveFileAttributes(kSetupLog), platform::kFileAttributeReadOnly);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLogBackup), setupLogBefore_);
  EXPECT_EQ(warning_, "");
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
  // Only the HAL's and the kernel's lines change.
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog),
            ExpectedSetupLog({{apic ? "HALAPIC.DLL" : "HAL.DLL", "HAL.DLL"},
                              {"NTOSKRNL.EXE", "NTOSKRNL.EXE"}}));
  EXPECT_EQ(image_.ReadDriveFile(kSetupLogBackup), setupLogBefore_);
}

INSTANTIATE_TEST_SUITE_P(Apic, DowngradeTest, ::testing::Bool());

TEST_F(HalSwitchTest, AHalKindThatCannotBeRecordedPutsTheFilesBack) {
  Load("smp-uniprocessor-hal");
  // Without its key CurrentType cannot be written (the key is never created).
  image_.WriteImageFile("registry.reg", testing::RegistryFileText({{testing::kSessionManagerKey, {}}}));
  std::string error;
  EXPECT_FALSE(Run(true, false, error));
  EXPECT_EQ(error, strings::BuiltInString(strings::kCopyError));
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32), before_)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
  EXPECT_NE(CurrentType().status, platform::kErrorSuccess);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), setupLogBefore_);
}

// Media of another service pack or edition, for a file other than the kernel and for the
// downgrade: refused before anything changes, with the reason naming the media file and both
// versions. Which versions suit is MediaCheckTest's table; the silent run refuses the upgrade
// and the spare files of another service pack (CommandLineTest).
TEST_F(HalSwitchTest, MediaOfAnotherVersionIsRefusedWithNothingChanged) {
  struct Case {
    const char* name;
    const char* example;
    bool upgrade;
    const char* mediaFile;  // replaced on the media (its compressed form removed)
    const char* standin;
    const char* version;
  } cases[] = {
      {"a Terminal Server HAL", "smp-uniprocessor-hal", true, "HALMPS.DLL", "tse/halmps.dll",
       "4.0.1381.33074"},
      {"the base CD's uniprocessor kernel", "up-multiprocessor-hal", false, "NTOSKRNL.EXE",
       "base/ntoskrnl.exe", "4.0.1381.7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : std::filesystem::directory_iterator(image_.Root())) {
      std::filesystem::remove_all(entry.path());
    }
    Load(c.example);
    std::string compressed = std::string("D:\\I386\\") + c.mediaFile;
    compressed.back() = '_';
    std::filesystem::remove(image_.DrivePath(compressed));
    image_.WriteDriveFile(std::string("D:\\I386\\") + c.mediaFile, testing::StandinBytes(c.standin));
    const std::string typeBefore = CurrentType().text;

    std::string error;
    EXPECT_FALSE(Run(c.upgrade, false, error));
    EXPECT_EQ(error, text::FillIn(strings::BuiltInString(strings::kMediaMismatch),
                                  {c.mediaFile, c.version, "4.0.1381.335"}));
    EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32), before_)
        << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
    EXPECT_EQ(CurrentType().text, typeBefore);
    EXPECT_EQ(image_.ReadDriveFile(kSetupLog), setupLogBefore_);
    EXPECT_FALSE(image_.ReadDriveFile(kSetupLogBackup));
    EXPECT_FALSE(image_.ReadDriveFile("C:\\ORVSYSTEM\\log\\halshift.jnl"));
  }
}

// Files copied from a CD are read-only (media files without write permission stand for
// them): the staged files get normal attributes, so that they can be flushed and moved, and
// the files they become can be replaced by the next switch.
TEST_F(HalSwitchTest, ReadOnlyMediaFilesServeAnUpgradeAndTheDowngradeAfterIt) {
  Load("smp-uniprocessor-hal");
  for (const auto& entry : std::filesystem::directory_iterator(image_.DrivePath("D:\\I386"))) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write |
                                                   std::filesystem::perms::group_write |
                                                   std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
  }
  ASSERT_EQ(image_.DriveFileAttributes("D:\\I386\\HAL.DLL"), platform::kFileAttributeReadOnly);
  std::string error;
  ASSERT_TRUE(Run(true, false, error)) << error;
  for (const char* name : {"HAL.DLL", "NTOSKRNL.EXE", "WIN32K.SYS"}) {
    EXPECT_EQ(image_.DriveFileAttributes(std::string(kSystem32) + "\\" + name), 0u) << name;
  }
  EXPECT_EQ(Installed("HAL.DLL"), Media("HALMPS.DL_"));

  ASSERT_TRUE(Run(false, false, error)) << error;
  EXPECT_EQ(Installed("HAL.DLL"), Media("HAL.DLL"));
  EXPECT_EQ(Installed("NTOSKRNL.EXE"), Media("NTOSKRNL.EX_"));
  EXPECT_EQ(image_.DriveFileAttributes(std::string(kSystem32) + "\\HAL.DLL"), 0u);
  EXPECT_EQ(CurrentType().text, "Uniprocessor Free");
}

// A failure on the side of the system directory is no reason to try the compressed name: the
// staging ends at once, nothing changes, and the reason names the folder, not the media.
TEST_F(HalSwitchTest, ASystemDirectoryThatTakesNoFileEndsTheStagingAtOnce) {
  Load("smp-uniprocessor-hal");
  machine_ = testing::OpenMachine(image_);
  ASSERT_TRUE(machine_);
  // The first file, HALMPS.DLL, is on the media only compressed: the first call reads no
  // source, the second cannot create the staged file.
  machine_->image->Faults().FailCall(image::Call::kVerInstallFile, 2);
  HalInstallation installation;
  installation.systemDirectory = kSystem32;
  installation.sourceDirectory = "D:\\I386";
  std::string error;
  EXPECT_FALSE(Worded(machine_->Platform().ui, hal::UpgradeHal(machine_->Platform(), installation),
                     error, warning_));
  EXPECT_EQ(error, text::FillIn(strings::BuiltInString(strings::kStagingNotWritable), {kSystem32}));
  EXPECT_EQ(machine_->image->Faults().CallCount(image::Call::kVerInstallFile), 2);
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem32), before_)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem32));
  EXPECT_EQ(CurrentType().text, "Uniprocessor Free");
}

TEST_F(HalSwitchTest, ASecondSwitchFindsSetupLogInStepAndKeepsTheFirstBackup) {
  Load("smp-uniprocessor-hal");
  std::string error;
  ASSERT_TRUE(Run(true, false, error));
  const std::optional<std::string> afterFirst = image_.ReadDriveFile(kSetupLog);
  ASSERT_NE(afterFirst, setupLogBefore_);
  ASSERT_TRUE(Run(true, false, error));
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), afterFirst);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLogBackup), setupLogBefore_);
}

TEST_F(HalSwitchTest, ASwitchWithoutSetupLogOrItsLinesLeavesItAsItIs) {
  Load("smp-uniprocessor-hal");
  std::filesystem::remove(image_.DrivePath(kSetupLog));
  std::string error;
  EXPECT_TRUE(Run(true, false, error));
  EXPECT_EQ(warning_, "");
  EXPECT_FALSE(image_.ReadDriveFile(kSetupLog));
  EXPECT_FALSE(image_.ReadDriveFile(kSetupLogBackup));

  // A setup.log of other files only: not a byte changes, and no backup is made.
  const std::string others = "[Files.WinNt]\r\n\\WINNT\\system32\\vga.dll = \"vga.dll\",\"74fd\"\r\n";
  image_.WriteDriveFile(kSetupLog, others);
  EXPECT_TRUE(Run(false, false, error));
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), others);
  EXPECT_FALSE(image_.ReadDriveFile(kSetupLogBackup));
}

}  // namespace
}  // namespace halshift::hal
