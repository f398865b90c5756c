// The silent run end to end over the example machines: keywords, media, the two steps, the
// log entries, the exit code and what the machine holds afterwards.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/strings.h"
#include "tests/support/silent_run.h"
#include "tests/support/example_machine.h"

namespace halshift {
namespace {

using namespace testing;

constexpr const char* kBootIni = "C:\\BOOT.INI";
constexpr const char* kBackup = "C:\\BOOTINI.ORV";
constexpr std::uint32_t kHiddenSystemReadOnly = platform::kFileAttributeReadOnly |
                                                platform::kFileAttributeHidden |
                                                platform::kFileAttributeSystem;

const std::string kEnabledMenu =
    "[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINNT\r\n"
    "[operating systems]\r\n"
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00\"\r\n"
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00 [HAL Recovery "
    "Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1\r\n"
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00 [VGA mode]\" "
    "/basevideo /sos\r\n";

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyExample(image_, "smp-uniprocessor-hal");
    originalMenu_ = image_.ReadDriveFile(kBootIni).value();
    originalSystem_ = SnapshotFolder(image_, kSystem32);
  }

  std::string CurrentType() {
    auto machine = OpenMachine(image_);
    return ReadRegistryText(machine->Platform().registry, kCurrentVersionKeyPath, "CurrentType").text;
  }
  std::string Installed(const std::string& name) {
    return image_.ReadDriveFile(std::string(kSystem32) + "\\" + name).value_or("<missing>");
  }
  void ExpectUntouched() {
    EXPECT_EQ(image_.ReadDriveFile(kBootIni), originalMenu_);
    EXPECT_FALSE(image_.ReadDriveFile(kBackup).has_value());
    EXPECT_EQ(SnapshotFolder(image_, kSystem32), originalSystem_)
        << Describe(SnapshotFolder(image_, kSystem32));
    EXPECT_EQ(CurrentType(), "Uniprocessor Free");
  }

  TempImage image_;
  std::string originalMenu_;
  FolderSnapshot originalSystem_;
};

TEST_F(CommandLineTest, TheTypicalRunEnablesRecoveryAndUpgrades) {
  const SilentRun run = RunSilent(image_, "upgrade_hal enable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  ASSERT_TRUE(run.log);
  EXPECT_NE(run.log->find("Command-line:\r\nUPGRADE_HAL ENABLE_RECOVERY\r\n"), std::string::npos);
  EXPECT_NE(run.log->find("HAL:                        Uniprocessor HAL\r\n"
                          "Installed Processors:       2\r\n"
                          "HAL Recovery:               Not Present\r\n"),
            std::string::npos)
      << *run.log;
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kEnabled) + Text(strings::kUpgraded)));
  EXPECT_EQ(run.standardOutput, std::string(kRunningEntry) + "\n");

  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_EQ(Installed("HAL.DLL"), InstalledContents(image_, "D:\\I386\\HALMPS.DL_"));
  EXPECT_EQ(Installed("NTOSKRNL.EXE"), InstalledContents(image_, "D:\\I386\\NTKRNLMP.EX_"));
  EXPECT_EQ(Installed("UPHAL.DLL"), InstalledContents(image_, "D:\\I386\\HAL.DLL"));
  EXPECT_EQ(Installed("UPKERNEL.EXE"), InstalledContents(image_, "D:\\I386\\NTOSKRNL.EX_"));

  EXPECT_EQ(image_.ReadDriveFile(kBootIni), kEnabledMenu);
  EXPECT_EQ(image_.ReadDriveFile(kBackup), originalMenu_);
  EXPECT_EQ(image_.DriveFileAttributes(kBootIni), kHiddenSystemReadOnly);
  EXPECT_EQ(image_.DriveFileAttributes(kBackup), kHiddenSystemReadOnly);

  // The HAL and kernel in use went to placeholders that the next start deletes.
  auto machine = OpenMachine(image_);
  const auto pending = PendingDeletions(machine->Platform().registry);
  ASSERT_EQ(pending.size(), 2u);
  const auto system = SnapshotFolder(image_, kSystem32);
  for (const std::string& path : pending) {
    const std::string name = text::ToUpper(path.substr(path.rfind('\\') + 1));
    EXPECT_EQ(name.rfind("DEL", 0), 0u) << path;
    ASSERT_TRUE(system.contains(name)) << path;
  }
  EXPECT_EQ(system.size(), 10u) << Describe(system);
}

// Which operations each command line runs, told by the log entries and the exit code.
TEST_F(CommandLineTest, KeywordsAreFoundAnywhereAndTheFirstOfAPairWins) {
  struct Case {
    const char* commandLine;
    std::string entries;
    int exitCode;
    const char* currentType;
    bool menuChanged;
  } cases[] = {
      {"ENABLE_RECOVERY DISABLE_RECOVERY", Text(strings::kEnabled), 1, "Uniprocessor Free", true},
      {"downgrade_hal upgrade_hal", Text(strings::kUpgraded), 1, "Multiprocessor Free", false},
      {"xUPGRADE_HALx", Text(strings::kUpgraded), 1, "Multiprocessor Free", false},
      {"disable_recoveryupgrade_hal", Text(strings::kDisabled) + Text(strings::kUpgraded), 1,
       "Multiprocessor Free", false},
      {"upgrade hal", Text(strings::kNoValidOptions), 0, "Uniprocessor Free", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    TempImage image;
    CopyExample(image, "smp-uniprocessor-hal");
    const SilentRun run = RunSilent(image, c.commandLine);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(DriverEntries(run.log), Crlf(c.entries));
    auto machine = OpenMachine(image);
    EXPECT_EQ(ReadRegistryText(machine->Platform().registry, kCurrentVersionKeyPath, "CurrentType").text,
              c.currentType);
    EXPECT_EQ(image.ReadDriveFile(kBootIni) != originalMenu_, c.menuChanged);
  }
}

TEST_F(CommandLineTest, NoMediaStopsBeforeAnyOperation) {
  std::filesystem::remove_all(image_.DrivePath("D:\\I386"));
  const SilentRun run = RunSilent(image_, "disable_recovery upgrade_hal");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(DriverEntries(run.log), Text(strings::kMediaNotFound));
  EXPECT_TRUE(run.standardOutput.empty());
  ExpectUntouched();
}

TEST_F(CommandLineTest, TheServicePackTreeIsTheSecondPlaceLookedAt) {
  std::filesystem::create_directories(image_.DrivePath("D:\\NT4SP6"));
  std::filesystem::rename(image_.DrivePath("D:\\I386"), image_.DrivePath("D:\\NT4SP6\\I386"));
  const SilentRun run = RunSilent(image_, "upgrade_hal");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kUpgraded)));
  EXPECT_EQ(Installed("HAL.DLL"), InstalledContents(image_, "D:\\NT4SP6\\I386\\HALMPS.DL_"));
}

TEST_F(CommandLineTest, OnlyTheCompressedHalOnTheMediaCounts) {
  const std::string compressed = image_.ReadDriveFile("D:\\I386\\HALAPIC.DL_").value();
  std::filesystem::remove(image_.DrivePath("D:\\I386\\HAL.DLL"));
  image_.WriteDriveFile("D:\\I386\\HAL.DL_", compressed);
  const SilentRun run = RunSilent(image_, "enable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kEnabled)));
  EXPECT_EQ(Installed("UPHAL.DLL"), InstalledContents(image_, "D:\\I386\\HAL.DL_"));
}

TEST_F(CommandLineTest, WithoutACdromDriveTheMediaIsLookedForOnD) {
  const std::string ini = image_.ReadImageFile("machine.ini").value();
  std::string changed = ini;
  changed.replace(changed.find("D=cdrom"), 7, "D=fixed");
  image_.WriteImageFile("machine.ini", changed);
  const SilentRun run = RunSilent(image_, "upgrade_hal");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kUpgraded)));
}

TEST_F(CommandLineTest, AnUpgradeFromMediaWithoutWin32kChangesNothing) {
  std::filesystem::remove(image_.DrivePath("D:\\I386\\WIN32K.SY_"));
  const SilentRun run = RunSilent(image_, "upgrade_hal");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(DriverEntries(run.log),
            Crlf(Text(strings::kUpgradeFailed) + Text(strings::kCopyError) + "\n"));
  ExpectUntouched();
}

TEST_F(CommandLineTest, ADowngradeOnAnApicMachineInstallsTheApicHal) {
  const SilentRun run = RunSilent(image_, "downgrade_hal");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kDowngraded)));
  EXPECT_EQ(Installed("HAL.DLL"), InstalledContents(image_, "D:\\I386\\HALAPIC.DL_"));
  EXPECT_EQ(Installed("NTOSKRNL.EXE"), InstalledContents(image_, "D:\\I386\\NTOSKRNL.EX_"));
  EXPECT_EQ(CurrentType(), "Uniprocessor Free");
}

TEST_F(CommandLineTest, EnablingTwiceReinstallsOnlyTheSpareFiles) {
  ASSERT_EQ(RunSilent(image_, "enable_recovery").exitCode, 1);
  const std::string menu = image_.ReadDriveFile(kBootIni).value();
  const std::string backup = image_.ReadDriveFile(kBackup).value();
  image_.WriteDriveFile("C:\\WINNT\\System32\\UPHAL.DLL", "damaged");
  const SilentRun run = RunSilent(image_, "enable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.log->find("HAL Recovery:               Present\r\n"), std::string::npos);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kEnabled)));
  EXPECT_EQ(Installed("UPHAL.DLL"), InstalledContents(image_, "D:\\I386\\HAL.DLL"));
  EXPECT_EQ(image_.ReadDriveFile(kBootIni), menu);
  EXPECT_EQ(image_.ReadDriveFile(kBackup), backup);
  EXPECT_EQ(image_.DriveFileAttributes(kBootIni), kHiddenSystemReadOnly);
}

TEST_F(CommandLineTest, DisablingTakesTheEntryOutAndKeepsTheSpareFiles) {
  ASSERT_EQ(RunSilent(image_, "enable_recovery").exitCode, 1);
  const SilentRun run = RunSilent(image_, "disable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kDisabled)));
  EXPECT_EQ(run.standardOutput, std::string(kRunningEntry) + "\n");
  EXPECT_EQ(image_.ReadDriveFile(kBootIni), originalMenu_);
  EXPECT_EQ(image_.ReadDriveFile(kBackup), kEnabledMenu);
  EXPECT_TRUE(SnapshotFolder(image_, kSystem32).contains("UPHAL.DLL"));
}

TEST_F(CommandLineTest, DisablingWithoutTheEntryWritesNothing) {
  const SilentRun run = RunSilent(image_, "disable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kDisabled)));
  ExpectUntouched();
}

TEST_F(CommandLineTest, AFailedEnablingDoesNotStopTheUpgrade) {
  // Without NTLDR no drive is a boot drive: the menu cannot be edited.
  std::filesystem::remove(image_.DrivePath("C:\\NTLDR"));
  const SilentRun run = RunSilent(image_, "enable_recovery upgrade_hal");
  EXPECT_EQ(run.exitCode, 0);
  // No backup was made, so the text does not send the user to one.
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kEnableFailed) +
                                         Text(strings::kBootIniUnchanged) + "\n" +
                                         Text(strings::kUpgraded)));
  EXPECT_EQ(image_.ReadDriveFile(kBootIni), originalMenu_);
  EXPECT_FALSE(image_.ReadDriveFile(kBackup).has_value());
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
}

}  // namespace
}  // namespace halshift
