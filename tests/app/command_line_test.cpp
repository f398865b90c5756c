// The silent run end to end over the example machines: keywords, media, the two steps, the
// log entries, the exit code and what the machine holds afterwards.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/host_file.h"
#include "core/strings.h"
#include "hal/intent_record.h"
#include "base/text.h"
#include "tests/support/firmware_dumps.h"
#include "inspect/pe_file.h"
#include "tests/support/pe_fixtures.h"
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
    originalSetupLog_ = image_.ReadDriveFile(kSetupLog).value();
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
    EXPECT_EQ(image_.ReadDriveFile(kSetupLog), originalSetupLog_);
    EXPECT_FALSE(image_.ReadDriveFile(kSetupLogBackup).has_value());
  }
  // Marks a file as held by the running system: it can be read, not replaced.
  void HoldOpen(const std::string& path) {
    image_.WriteImageFile("machine.ini", image_.ReadImageFile("machine.ini").value() + path + "=\r\n");
  }

  TempImage image_;
  std::string originalMenu_;
  FolderSnapshot originalSystem_;
  std::string originalSetupLog_;
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
  EXPECT_NE(image_.ReadDriveFile(kSetupLog), originalSetupLog_);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLogBackup), originalSetupLog_);
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

// The base CD in the drive of a Service Pack 6 machine: both operations are refused before
// they change anything, each with the failure text and the reason that names the versions.
TEST_F(CommandLineTest, MediaOfAnotherServicePackIsRefusedByEveryOperation) {
  for (const char* name : {"NTOSKRNL", "NTKRNLMP"}) {
    const std::string media = std::string("D:\\I386\\") + name;
    std::filesystem::remove(image_.DrivePath(media + ".EX_"));
    std::string standin = std::string("base/") + name + ".exe";
    for (char& c : standin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    image_.WriteDriveFile(media + ".EXE", StandinBytes(standin));
  }
  const SilentRun run = RunSilent(image_, "upgrade_hal enable_recovery");
  EXPECT_EQ(run.exitCode, 0);
  const auto reason = [](const char* file) {
    return text::FillIn(Text(strings::kMediaMismatch), {file, "4.0.1381.7", "4.0.1381.335"});
  };
  EXPECT_EQ(DriverEntries(run.log),
            Crlf(Text(strings::kEnableFailed) + reason("NTOSKRNL.EXE") + "\n" +
                 Text(strings::kUpgradeFailed) + reason("NTKRNLMP.EXE") + "\n"));
  ExpectUntouched();
}

// Media files that no Intel installation can start: a text or a cabinet (as copied without
// being expanded), a kernel built for the Alpha that carries the installed build's version,
// a file cut off. Each operation is refused before it changes anything, and the reason names
// the file and what is wrong with it.
TEST_F(CommandLineTest, MediaFilesThatAreNoWholeI386ImagesAreRefused) {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "HALSHIFT_SOURCE_DIR is not set";
  const std::string cabinet =
      halshift::testing::ReadHostFile(std::string(source) + "/tests/fixtures/media/cab-stored.dl_");
  ASSERT_EQ(cabinet.rfind("MSCF", 0), 0u);
  const std::string kernel = InstalledContents(image_, "D:\\I386\\NTKRNLMP.EX_");
  const std::string spareKernel = InstalledContents(image_, "D:\\I386\\NTOSKRNL.EX_");
  const std::string win32k = InstalledContents(image_, "D:\\I386\\WIN32K.SY_");
  const std::string win32kSize = std::to_string(
      pe::CheckWholeImage({reinterpret_cast<const std::uint8_t*>(win32k.data()), win32k.size()})
          .requiredSize);
  const auto fill = [](unsigned id, std::initializer_list<std::string_view> values) {
    return text::FillIn(Text(id), values);
  };
  struct Case {
    const char* name;
    const char* commandLine;
    const char* mediaFile;  // replaced, its compressed form removed
    std::string bytes;
    unsigned failed;
    std::string reason;
  } cases[] = {
      {"a text as HALMPS.DLL", "upgrade_hal", "HALMPS.DLL", "stand-in HALMPS.DLL\r\n",
       strings::kUpgradeFailed, fill(strings::kNotAnImage, {"HALMPS.DLL"})},
      {"a cabinet of a text as HALMPS.DLL", "upgrade_hal", "HALMPS.DLL", cabinet,
       strings::kUpgradeFailed, fill(strings::kNotAnImage, {"HALMPS.DLL"})},
      {"an Alpha NTKRNLMP.EXE of the installed version", "upgrade_hal", "NTKRNLMP.EXE",
       WithMachine(kernel, 0x184), strings::kUpgradeFailed,
       fill(strings::kImageOtherProcessor, {"NTKRNLMP.EXE", "0x184"})},
      {"a WIN32K.SYS cut to 700 bytes", "upgrade_hal", "WIN32K.SYS", win32k.substr(0, 700),
       strings::kUpgradeFailed, fill(strings::kImageCutOff, {"WIN32K.SYS", "700", win32kSize})},
      {"an Alpha NTOSKRNL.EXE for the spare kernel", "enable_recovery", "NTOSKRNL.EXE",
       WithMachine(spareKernel, 0x184), strings::kEnableFailed,
       fill(strings::kImageOtherProcessor, {"NTOSKRNL.EXE", "0x184"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& entry : std::filesystem::directory_iterator(image_.Root())) {
      std::filesystem::remove_all(entry.path());
    }
    CopyExample(image_, "smp-uniprocessor-hal");
    const std::string media = std::string("D:\\I386\\") + c.mediaFile;
    std::string compressed = media;
    compressed.back() = '_';
    std::filesystem::remove(image_.DrivePath(compressed));
    image_.WriteDriveFile(media, c.bytes);

    const SilentRun run = RunSilent(image_, c.commandLine);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(DriverEntries(run.log), Crlf(Text(c.failed) + c.reason + "\n"));
    ExpectUntouched();
    EXPECT_FALSE(image_.ReadDriveFile("C:\\ORVSYSTEM\\log\\halshift.jnl"));
  }
}

// A whole i386 image without a version resource is installed like any other.
TEST_F(CommandLineTest, AWholeImageWithoutAVersionIsInstalled) {
  std::filesystem::remove(image_.DrivePath("D:\\I386\\WINSRV.DLL"));
  image_.WriteDriveFile("D:\\I386\\WINSRV.DLL", TaggedImage("WINSRV.DLL"));
  const SilentRun run = RunSilent(image_, "upgrade_hal");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log), Crlf(Text(strings::kUpgraded)));
  EXPECT_EQ(Installed("WINSRV.DLL"), TaggedImage("WINSRV.DLL"));
}

TEST_F(CommandLineTest, TheSpareFilesLeaveSetupLogAlone) {
  const SilentRun run = RunSilent(image_, "enable_recovery");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), originalSetupLog_);
  EXPECT_FALSE(image_.ReadDriveFile(kSetupLogBackup).has_value());
}

TEST_F(CommandLineTest, ASetupLogThatCannotFollowIsLoggedAfterTheSuccess) {
  HoldOpen(kSetupLog);
  const SilentRun run = RunSilent(image_, "upgrade_hal");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(DriverEntries(run.log),
            Crlf(Text(strings::kUpgraded) +
                 text::FillIn(Text(strings::kSetupLogNotUpdated), {kSetupLog}) + "\n"));
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), originalSetupLog_);
}

// A change cut off after its files were in place: the next start completes it and keeps
// setup.log in step, or logs that it could not, after the completion.
TEST_F(CommandLineTest, AChangeFinishedAtTheNextStartKeepsSetupLogInStep) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "setup.log held open" : "setup.log free");
    TempImage image;
    CopyExample(image, "smp-uniprocessor-hal");
    const std::string setupLog = image.ReadDriveFile(kSetupLog).value();
    const std::string newHal = InstalledContents(image, "D:\\I386\\HALMPS.DL_");
    image.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", newHal);
    hal::IntentRecord record;
    record.currentType = "Multiprocessor Free";
    record.setupLogPath = kSetupLog;
    record.systemRoot = "C:\\WINNT";
    record.files.push_back({"C:\\WINNT\\System32\\hsn0001.TMP", "C:\\WINNT\\System32\\HAL.DLL",
                            "", platform::kFileAttributeNormal, newHal.size(),
                            hal::ContentHash(newHal), "HALMPS.DLL"});
    image.WriteDriveFile("C:\\ORVSYSTEM\\log\\halshift.jnl", hal::FormatIntentRecord(record));
    if (held) {
      image.WriteImageFile("machine.ini", image.ReadImageFile("machine.ini").value() +
                                              std::string(kSetupLog) + "=\r\n");
    }
    const SilentRun run = RunSilent(image, "nothing");
    ASSERT_TRUE(run.log);
    const std::string completed = Crlf(Text(strings::kInterruptedCompleted));
    const std::string lag =
        Crlf(text::FillIn(Text(strings::kSetupLogNotUpdated), {kSetupLog}) + "\n");
    const std::size_t at = run.log->find(completed);
    ASSERT_NE(at, std::string::npos) << *run.log;
    EXPECT_EQ(run.log->find(lag) == at + completed.size(), held) << *run.log;
    const std::string after = image.ReadDriveFile(kSetupLog).value();
    if (held) {
      EXPECT_EQ(after, setupLog);
    } else {
      EXPECT_NE(after.find("\\WINNT\\system32\\hal.dll = \"halmps.dll\","), std::string::npos) << after;
      EXPECT_EQ(image.ReadDriveFile(kSetupLogBackup), setupLog);
    }
  }
}

// A service pack put the uniprocessor HAL and kernel back under a CurrentType that still
// records the multiprocessor kind: the state block keeps the recorded kind, and one entry
// after it names the files.
TEST_F(CommandLineTest, AHalRevertedBehindItsBackIsLoggedAfterTheState) {
  const std::string registry = image_.ReadImageFile("registry.reg").value();
  std::string changed = registry;
  changed.replace(changed.find("Uniprocessor Free"), 17, "Multiprocessor Free");
  image_.WriteImageFile("registry.reg", changed);
  const SilentRun run = RunSilent(image_, "nothing");
  ASSERT_TRUE(run.log);
  EXPECT_NE(run.log->find("HAL:                        Multiprocessor HAL\r\n"), std::string::npos);
  EXPECT_EQ(DriverEntries(run.log),
            Crlf(text::FillIn(Text(strings::kRevertedHal),
                              {"hal.dll", "ntoskrnl.exe", "Multiprocessor HAL"}) +
                 "\n" + Text(strings::kNoValidOptions)));
}

// The example machine with the firmware of real virtual machines: the count is the MP table's,
// and where SMBIOS reports more enabled cores, one entry after the state block gives both.
TEST_F(CommandLineTest, FirmwareThatHidesProcessorsIsLoggedAfterTheState) {
  struct Case {
    const char* folder;
    int processors;
    int cores;  // 0: no notice
  };
  const Case cases[] = {
      {"pc-128m-smp1", 1, 0},
      {"pc-128m-smp2", 1, 2},
      {"pc-128m-smp4-s2c2", 2, 4},
      {"pc-128m-smp8-s8", 8, 0},
      {"q35-128m-smp2-ep64", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    PutFirmwareDump(image_, c.folder);
    const SilentRun run = RunSilent(image_, "nothing");
    ASSERT_TRUE(run.log);
    const std::string session = run.log->substr(run.log->rfind(kLogRule + std::string("Orvane")));
    EXPECT_NE(session.find("Installed Processors:       " + std::to_string(c.processors) + "\r\n"),
              std::string::npos) << session;
    const std::string notice =
        c.cores == 0 ? ""
                     : text::FillIn(Text(strings::kHiddenProcessors),
                                    {std::to_string(c.cores), std::to_string(c.processors)}) + "\n";
    EXPECT_EQ(DriverEntries(session), Crlf(notice + Text(strings::kNoValidOptions)));
  }
}

// Both notices: the firmware's first, as in the main dialog.
TEST_F(CommandLineTest, BothNoticesInTheirOrder) {
  std::string registry = image_.ReadImageFile("registry.reg").value();
  registry.replace(registry.find("Uniprocessor Free"), 17, "Multiprocessor Free");
  image_.WriteImageFile("registry.reg", registry);
  PutFirmwareDump(image_, "pc-128m-smp4-s2c2");
  const SilentRun run = RunSilent(image_, "nothing");
  EXPECT_EQ(DriverEntries(run.log),
            Crlf(text::FillIn(Text(strings::kHiddenProcessors), {"4", "2"}) + "\n" +
                 text::FillIn(Text(strings::kRevertedHal),
                              {"hal.dll", "ntoskrnl.exe", "Multiprocessor HAL"}) +
                 "\n" + Text(strings::kNoValidOptions)));
}

}  // namespace
}  // namespace halshift
