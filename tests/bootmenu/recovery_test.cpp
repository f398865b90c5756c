// The recovery line, and enabling and disabling over boot menus that are not the example's.
#include "bootmenu/recovery.h"

#include <gtest/gtest.h>

#include "app/operations.h"
#include "core/state.h"
#include "core/strings.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"

namespace halshift {
namespace {

using namespace testing;

static_assert(bootmenu::kRecoverySuffix.size() == 78);

constexpr const char* kArc = "multi(0)disk(0)rdisk(0)partition(1)\\WINNT";

TEST(RecoveryLineTest, KeepsTheDescriptionAndDropsTheEntrysSwitches) {
  struct Case {
    const char* name;
    bootmenu::IniEntry entry;
    std::string line;
  } cases[] = {
      {"description and switches", {kArc, "\"NT 4.00\" /sos /noserialmice"},
       std::string(kArc) + "=\"NT 4.00 [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL "
                           "/KERNEL=UPKERNEL.EXE /ORVRCV=1"},
      {"no quote", {kArc, "plain"},
       std::string(kArc) + "= [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1"},
      {"quote inside the switches", {kArc, "\"A\" /X=\"b\""},
       std::string(kArc) + "=\"A\" /X=\"b [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL "
                           "/KERNEL=UPKERNEL.EXE /ORVRCV=1"},
  };
  for (const Case& c : cases) EXPECT_EQ(bootmenu::RecoveryLine(c.entry), c.line) << c.name;
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyExample(image_, "smp-uniprocessor-hal"); }

  void WriteMenu(const std::string& lines) { image_.WriteDriveFile("C:\\BOOT.INI", lines); }

  bool Enable(std::string& error, int failReadFile = 0) {
    return Run(true, error, failReadFile);
  }
  bool Disable(std::string& error) { return Run(false, error, 0); }

  bool Run(bool enable, std::string& error, int failReadFile) {
    return RunOn(image_, enable, error, failReadFile);
  }
  bool RunOn(const TempImage& image, bool enable, std::string& error, int failReadFile) {
    auto machine = OpenMachine(image);
    if (!machine) return false;
    if (failReadFile > 0) machine->image->Faults().FailCall(image::Call::kReadFile, failReadFile);
    SystemSurvey survey;
    HalInstallation installation;
    installation.systemDirectory = kSystem32;
    installation.sourceDirectory = "D:\\I386";
    platform::Platform& platform = machine->Platform();
    const OperationOutcome outcome =
        enable ? EnableRecovery(platform, installation)
               : PerformOperation(platform, survey, installation, Operation::kDisableRecovery);
    const bool result = outcome.Succeeded();
    if (!result) error = FailureReason(platform.ui, outcome);
    menuDrive_ = outcome.bootMenuFailure ? outcome.bootMenuFailure->drive : "";
    readFileCalls_ = machine->image->Faults().CallCount(image::Call::kReadFile);
    return result;
  }

  std::string Menu() { return image_.ReadDriveFile("C:\\BOOT.INI").value_or("<missing>"); }
  bool HasBackup() { return image_.ReadDriveFile("C:\\BOOTINI.ORV").has_value(); }
  std::string Backup() { return image_.ReadDriveFile("C:\\BOOTINI.ORV").value_or("<missing>"); }

  TempImage image_;
  std::string menuDrive_;  // the drive of the last failed boot menu edit
  int readFileCalls_ = 0;
};

const std::string kHeader = "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\n";
const std::string kRecovery = std::string(kArc) +
                              "=\"NT\" [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL "
                              "/KERNEL=UPKERNEL.EXE /ORVRCV=1\r\n";

TEST_F(RecoveryTest, TheRunningEntryAsLastLineGetsTheRecoveryLineAfterIt) {
  WriteMenu(kHeader + "multi(0)disk(0)rdisk(0)partition(2)\\WINNT=\"Other\"\r\n" + kArc + "=\"NT\" /sos");
  std::string error = "untouched";
  EXPECT_TRUE(Enable(error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Menu(), kHeader + "multi(0)disk(0)rdisk(0)partition(2)\\WINNT=\"Other\"\r\n" + kArc +
                        "=\"NT\" /sos\r\n" + std::string(kArc) +
                        "=\"NT [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE "
                        "/ORVRCV=1\r\n");
}

TEST_F(RecoveryTest, EnablingThatFindsNoLineToFollowWritesNothing) {
  // The profile reader finds the section, the line view does not (trailing blank).
  const std::string menu = "[boot loader]\r\ntimeout=30\r\n[operating systems] \r\n" + std::string(kArc) + "=\"NT\"\r\n";
  WriteMenu(menu);
  std::string error;
  const bool enabled = Enable(error);
  if (enabled) GTEST_SKIP() << "this profile reader does not find a header with a trailing blank";
  EXPECT_EQ(error, strings::BuiltInString(strings::kBootIniError));
  EXPECT_EQ(Menu(), menu);
  // Text 115 tells the user to restore the backup: it holds the menu as it is.
  EXPECT_EQ(Backup(), menu);
}

// Entries written "key  =  value": the profile reader hands out the key trimmed, the line
// keeps its blanks, and the edits compare both trimmed, as the system reads them. Enabling
// puts the recovery line after the first such line, disabling takes exactly that line out
// again, and every other byte stays.
TEST_F(RecoveryTest, KeysWithBlanksAroundTheEqualsSignGetAndLoseTheRecoveryLine) {
  const std::string running = std::string(kArc) + "  =  \"NT\" /sos\r\n";
  const std::string vga = std::string(kArc) + "\t= \"NT [VGA mode]\" /basevideo\r\n";
  const std::string menu = kHeader + running + vga;
  // The key as the profile reader gave it, the value up to its last quote.
  const std::string recovery = std::string(kArc) +
                               "=\"NT [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL "
                               "/KERNEL=UPKERNEL.EXE /ORVRCV=1\r\n";
  WriteMenu(menu);
  std::string error = "untouched";
  ASSERT_TRUE(Enable(error)) << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Menu(), kHeader + running + recovery + vga);
  EXPECT_EQ(Backup(), menu);

  ASSERT_TRUE(Disable(error)) << error;
  EXPECT_EQ(Menu(), menu);
  EXPECT_EQ(Backup(), kHeader + running + recovery + vga);
}

// A recovery line written with a blank before "=" is the recovery entry all the same: enabling
// finds it present and adds no second one.
TEST_F(RecoveryTest, ARecoveryLineWithABlankBeforeTheEqualsSignIsPresent) {
  const std::string menu = kHeader + kArc + "=\"NT\"\r\n" + std::string(kArc) + " = \"NT [HAL Recovery Mode]\" /ORVRCV=1\r\n";
  WriteMenu(menu);
  std::string error;
  EXPECT_TRUE(Enable(error));
  EXPECT_EQ(Menu(), menu);
  EXPECT_FALSE(HasBackup());
}

TEST_F(RecoveryTest, AnUnreadableMenuIsNeverRewritten) {
  // A clean enabling on a copy counts the reads; the last one is the load of the menu's lines.
  {
    TempImage probe;
    CopyExample(probe, "smp-uniprocessor-hal");
    std::string ignored;
    ASSERT_TRUE(RunOn(probe, true, ignored, 0));
  }
  const int loadCall = readFileCalls_;
  ASSERT_GT(loadCall, 0);
  const std::string menu = Menu();
  std::string error;
  EXPECT_FALSE(Enable(error, loadCall));
  EXPECT_EQ(error, strings::BuiltInString(strings::kBootIniError));
  EXPECT_EQ(menuDrive_, "C:");  // the drive whose menu was backed up and left alone
  EXPECT_EQ(Menu(), menu);
  EXPECT_EQ(Backup(), menu);
}

TEST_F(RecoveryTest, DisablingRemovesTheFirstMarkedLineByKeyAndMarkerOnly) {
  const std::string edited = std::string(kArc) + "=\"Edited by hand\" /ORVRCV=1 /sos\r\n";
  WriteMenu(kHeader + kArc + "=\"NT\"\r\n" + edited + kRecovery);
  std::string error = "untouched";
  EXPECT_TRUE(Disable(error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Menu(), kHeader + kArc + "=\"NT\"\r\n" + kRecovery);
}

TEST_F(RecoveryTest, ALowerCaseMarkerIsNotTheRecoveryEntry) {
  const std::string menu = kHeader + kArc + "=\"NT\" /orvrcv=1\r\n";
  WriteMenu(menu);
  std::string error;
  EXPECT_TRUE(Disable(error));
  EXPECT_EQ(Menu(), menu);
  EXPECT_FALSE(HasBackup());
}

TEST_F(RecoveryTest, DisablingFailsWhenTheEntrySitsOnALaterBootDrive) {
  const std::string ini = image_.ReadImageFile("machine.ini").value();
  std::string changed = ini;
  changed.replace(changed.find("D=cdrom"), 7, "D=cdrom\r\nE=fixed");
  changed.replace(changed.find("D:=\\Device\\CdRom0"), 17, "D:=\\Device\\CdRom0\r\nE:=\\Device\\Harddisk0\\Partition1");
  image_.WriteImageFile("machine.ini", changed);
  image_.WriteDriveFile("E:\\BOOT.INI", kHeader + kArc + "=\"NT\"\r\n" + kRecovery);
  image_.WriteDriveFile("E:\\NTLDR", "x");
  image_.WriteDriveFile("E:\\NTDETECT.COM", "x");
  const std::string menu = Menu();
  std::string error;
  EXPECT_FALSE(Disable(error));
  EXPECT_EQ(error, strings::BuiltInString(strings::kBootIniError));
  EXPECT_EQ(Menu(), menu);
  EXPECT_EQ(Backup(), menu);
}

TEST_F(RecoveryTest, WithoutABackupTheTextDoesNotSendTheUserToOne) {
  // Without NTLDR no drive is a boot drive: nothing is touched and nothing is backed up.
  std::filesystem::remove(image_.DrivePath("C:\\NTLDR"));
  image_.WriteDriveFile("C:\\BOOTINI.ORV", "an older menu\r\n");
  const std::string menu = Menu();
  for (const bool enable : {true, false}) {
    std::string error;
    EXPECT_FALSE(enable ? Enable(error) : Disable(error));
    EXPECT_EQ(error, strings::BuiltInString(strings::kBootIniUnchanged));
  }
  EXPECT_EQ(Menu(), menu);
  EXPECT_EQ(Backup(), "an older menu\r\n");
}

}  // namespace
}  // namespace halshift
