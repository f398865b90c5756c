// The system file installer: the attempts of staging against a scripted file system, and the
// real effects (expansion, in-use replacement, putting files back, finishing an interrupted
// change at the next start) over machine images.
#include "hal/installer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/registry_values.h"
#include "hal/upgrade.h"
#include "tests/hal/scripted_files.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"

namespace halshift::hal {
namespace {

using testing::ScriptedFiles;

constexpr const char* kMedia = "D:\\I386";
constexpr const char* kSystem = "C:\\WINNT\\System32";

std::vector<std::string> SourceNamesTried(const ScriptedFiles& files) {
  std::vector<std::string> names;
  for (const auto& install : files.installs) names.push_back(install.sourceName);
  return names;
}

// A machine whose file system is the script, for the staging rules alone.
struct ScriptedMachine {
  testing::RecordingUserInterface ui;
  testing::RecordingOutput out;
  testing::FixedClock clock;
  std::unique_ptr<testing::OpenedMachine> image;
  std::unique_ptr<platform::Platform> platform;
  std::unique_ptr<HalInstallation> installation;

  ScriptedMachine(testing::TempImage& temp, ScriptedFiles& files) {
    temp.WriteMinimalMachine();
    image = testing::OpenMachine(temp);
    platform::Platform& real = image->Platform();
    platform = std::make_unique<platform::Platform>(platform::Platform{
        real.system, real.registry, files, real.memory, real.links, ui, out, clock});
    installation = std::make_unique<HalInstallation>();
    installation->systemDirectory = kSystem;
    installation->sourceDirectory = kMedia;
  }
};

TEST(SourceFileExistsTest, FindsThePlainOrTheCompressedName) {
  struct Case {
    const char* name;
    std::set<std::string> existing;
    bool expected;
  } cases[] = {
      {"plain", {"D:\\I386\\HAL.DLL"}, true},
      {"compressed only", {"D:\\I386\\HAL.DL_"}, true},
      {"neither", {"D:\\I386\\HAL.DLX"}, false},
      {"underscore replaces, not appends", {"D:\\I386\\HAL.DLL_"}, false},
  };
  for (const Case& c : cases) {
    ScriptedFiles files;
    files.existing = c.existing;
    EXPECT_EQ(SourceFileExists(files, "D:\\I386\\HAL.DLL"), c.expected) << c.name;
  }
}

// Each scripted VerInstallFile sequence, the source names the attempts must use and why the
// staging failed. Only a source that cannot be read sends the installer to the compressed
// name; a failure on the side of the system directory ends the staging at once. The answers a
// machine image gives (a source or a staged file that cannot be made) and what staging leaves
// are HalSwitchTest's and InstallerImageTest's, over images.
TEST(StagingTest, AFullDiskOrADeniedFolderEndsTheStagingWithItsReason) {
  constexpr std::uint32_t kCannotReadSrc = platform::kVifCannotReadSrc;
  struct Case {
    const char* name;
    std::deque<std::uint32_t> results;
    std::vector<std::string> sourceNamesTried;
    StagingFailure failure;
  } cases[] = {
      {"no room on the disk", {platform::kVifOutOfSpace}, {"HALMPS.DLL"},
       StagingFailure::kDiskFull},
      {"no room for the expanded file", {kCannotReadSrc, platform::kVifOutOfSpace},
       {"HALMPS.DLL", "HALMPS.DL_"}, StagingFailure::kDiskFull},
      {"access denied", {platform::kVifAccessViolation}, {"HALMPS.DLL"},
       StagingFailure::kDestination},
      {"an odd in-use answer", {platform::kVifFileInUse}, {"HALMPS.DLL"},
       StagingFailure::kDestination},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempImage temp;
    ScriptedFiles files;
    ScriptedMachine machine(temp, files);
    const std::string destination = std::string(kSystem) + "\\HAL.DLL";
    files.existing = {"D:\\I386\\HALMPS.DLL", destination};
    files.installResults = c.results;
    const std::array<std::string_view, 1> source = {"HALMPS.DLL"};
    const std::array<std::string_view, 1> target = {"HAL.DLL"};
    {
      SystemFileChange change(*machine.platform, *machine.installation);
      EXPECT_FALSE(change.Stage(source, target));
      EXPECT_EQ(change.Failure(), c.failure);
      EXPECT_EQ(SourceNamesTried(files), c.sourceNamesTried);
      EXPECT_TRUE(files.installResults.empty()) << "fewer attempts than scripted";
      for (const auto& install : files.installs) {
        EXPECT_EQ(install.flags, platform::kViffForceInstall);
        EXPECT_EQ(install.destinationName, "hsn1.TMP");  // the staged name, never HAL.DLL
        EXPECT_EQ(install.sourceDirectory, kMedia);
        EXPECT_EQ(install.destinationDirectory, kSystem);
        EXPECT_EQ(install.currentDirectory, kSystem);
      }
    }
    // What was staged and not committed is gone with the change; the destination stays.
    std::set<std::string> expected = {"D:\\I386\\HALMPS.DLL", destination};
    EXPECT_EQ(files.existing, expected);
  }
}

TEST(StagingTest, EmptyOrMismatchedListsInstallNothing) {
  testing::TempImage temp;
  ScriptedFiles files;
  ScriptedMachine machine(temp, files);
  SystemFileChange change(*machine.platform, *machine.installation);
  EXPECT_FALSE(change.Stage({}, SystemFileNames));
  EXPECT_FALSE(change.Stage(MultiprocessorSourceNames, UniprocessorSourceNames));
  EXPECT_TRUE(files.installs.empty());
}

// Over a machine image: the files the installer leaves, byte for byte.
class InstallerImageTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CopyExample(image_, "smp-uniprocessor-hal"); }

  struct Session {
    std::unique_ptr<testing::OpenedMachine> machine;
    std::unique_ptr<HalInstallation> installation;
  };
  Session Open() {
    Session session;
    session.machine = testing::OpenMachine(image_);
    if (!session.machine) return session;
    session.installation = std::make_unique<HalInstallation>();
    session.installation->systemDirectory = kSystem;
    session.installation->sourceDirectory = kMedia;
    return session;
  }
  testing::FolderSnapshot System() { return testing::SnapshotFolder(image_, kSystem); }
  std::string RecordPath() { return "C:\\ORVSYSTEM\\log\\halshift.jnl"; }

  testing::TempImage image_;
};

TEST_F(InstallerImageTest, FileExistsSeesDirectoriesAndWildcards) {
  auto session = Open();
  ASSERT_TRUE(session.machine);
  auto& files = session.machine->Platform().files;
  EXPECT_TRUE(FileExists(files, "C:\\WINNT\\System32"));
  EXPECT_TRUE(FileExists(files, "D:\\I386\\HAL*.DL?"));
  EXPECT_TRUE(FileExists(files, "c:\\winnt\\system32\\hal.dll"));
  EXPECT_FALSE(FileExists(files, "D:\\I386\\NONE*.*"));
}

TEST_F(InstallerImageTest, StagingChangesNothingThatExists) {
  const auto before = System();
  auto session = Open();
  ASSERT_TRUE(session.machine);
  SystemFileChange change(session.machine->Platform(), *session.installation);
  ASSERT_TRUE(change.Stage(MultiprocessorSourceNames, SystemFileNames));
  const auto staged = System();
  for (const auto& [name, file] : before) {
    ASSERT_TRUE(staged.contains(name)) << name;
    EXPECT_EQ(staged.at(name), file) << name;
  }
  // Six new files under staged names, six empty placeholders for the old ones.
  int stagedFiles = 0, placeholders = 0;
  for (const auto& [name, file] : staged) {
    if (name.rfind("HSN", 0) == 0) ++stagedFiles;
    if (name.rfind("DEL", 0) == 0 && file.bytes.empty()) ++placeholders;
  }
  EXPECT_EQ(stagedFiles, 6);
  EXPECT_EQ(placeholders, 6);
  EXPECT_EQ(change.Staged()[0].bytes, testing::InstalledContents(image_, "D:\\I386\\HALMPS.DL_"));
  change.Abandon();
  EXPECT_EQ(System(), before) << testing::Describe(System());
}

TEST_F(InstallerImageTest, ExpandsACompressedSourceAndReplacesAReadOnlyFile) {
  image_.SetDriveFileAttributes("C:\\WINNT\\System32\\KERNEL32.DLL", platform::kFileAttributeReadOnly);
  const std::string expected = testing::InstalledContents(image_, "D:\\I386\\KERNEL32.DL_");
  ASSERT_FALSE(expected.empty());
  {
    auto session = Open();
    ASSERT_TRUE(session.machine);
    const std::array<std::string_view, 1> names = {"KERNEL32.DLL"};
    EXPECT_TRUE(InstallFiles(session.machine->Platform(), *session.installation, names, names));
  }
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\KERNEL32.DLL"), expected);
  // The old file, which nothing used, is gone; no staged file, no placeholder, no record.
  EXPECT_EQ(System().size(), 6u) << testing::Describe(System());
  EXPECT_FALSE(image_.ReadDriveFile(RecordPath()));
}

TEST_F(InstallerImageTest, AFileInUseIsMovedAsideAndDeletedAtTheNextStart) {
  const std::string oldHal = image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL").value();
  {
    auto session = Open();
    ASSERT_TRUE(session.machine);
    const std::array<std::string_view, 1> source = {"HALMPS.DLL"};
    const std::array<std::string_view, 1> target = {"HAL.DLL"};
    EXPECT_TRUE(InstallFiles(session.machine->Platform(), *session.installation, source, target));
  }
  auto session = Open();
  ASSERT_TRUE(session.machine);
  const auto snapshot = System();
  EXPECT_EQ(snapshot.at("HAL.DLL").bytes, testing::InstalledContents(image_, "D:\\I386\\HALMPS.DL_"));
  const auto pending = testing::PendingDeletions(session.machine->Platform().registry);
  ASSERT_EQ(pending.size(), 1u);
  const std::string placeholder = text::ToUpper(pending[0].substr(pending[0].rfind('\\') + 1));
  EXPECT_EQ(placeholder.rfind("DEL", 0), 0u) << placeholder;
  ASSERT_TRUE(snapshot.contains(placeholder)) << testing::Describe(snapshot);
  EXPECT_EQ(snapshot.at(placeholder).bytes, oldHal);
  EXPECT_EQ(snapshot.size(), 7u) << testing::Describe(snapshot);
}

// Each call of the commit fails in turn. Until the change stands, everything is put back, the
// file in use included; once it stands (CurrentType written), a failure to tidy up leaves the
// record, and the next start finishes the change.
TEST_F(InstallerImageTest, AFailedCommitPutsEverythingBackOrIsFinishedAtTheNextStart) {
  constexpr auto kProtected = platform::kFileAttributeReadOnly | platform::kFileAttributeSystem;
  image_.SetDriveFileAttributes("C:\\WINNT\\System32\\NTDLL.DLL", kProtected);
  const auto before = System();
  const std::string newHal = testing::InstalledContents(image_, "D:\\I386\\HALMPS.DL_");
  int putBack = 0, finishedLater = 0;
  for (const image::CallInfo& info : image::kCalls) {
    if (!info.changesMachine) continue;
    for (int nth = 1; nth <= 8; ++nth) {
      SCOPED_TRACE(std::string(info.name) + " call " + std::to_string(nth));
      testing::TempImage copy;
      testing::CopyExample(copy, "smp-uniprocessor-hal");
      copy.SetDriveFileAttributes("C:\\WINNT\\System32\\NTDLL.DLL", kProtected);
      auto machine = testing::OpenMachine(copy);
      ASSERT_TRUE(machine);
      HalInstallation installation;
      installation.systemDirectory = kSystem;
      installation.sourceDirectory = kMedia;
      SystemFileChange change(machine->Platform(), installation);
      ASSERT_TRUE(change.Stage(MultiprocessorSourceNames, SystemFileNames));
      machine->image->Faults().Reset();
      machine->image->Faults().FailCall(info.call, nth);
      const bool committed = change.Commit("Multiprocessor Free");
      if (machine->image->Faults().FailuresInjected() == 0) continue;  // no such call
      if (!committed) {
        ++putBack;
        EXPECT_EQ(testing::SnapshotFolder(copy, kSystem), before)
            << testing::Describe(testing::SnapshotFolder(copy, kSystem));
        EXPECT_FALSE(copy.ReadDriveFile(RecordPath()));
        // The restored HAL is still the image the running system holds.
        EXPECT_FALSE(machine->Platform().files.DeleteFile("C:\\WINNT\\System32\\HAL.DLL"));
        continue;
      }
      EXPECT_EQ(copy.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"), newHal);
      EXPECT_EQ(halshift::registry_values::ReadCurrentType(machine->Platform().registry), "Multiprocessor Free");
      if (copy.ReadDriveFile(RecordPath())) {
        ++finishedLater;
        machine->image->Faults().Reset();
        EXPECT_EQ(FinishInterruptedChange(machine->Platform()).outcome, InterruptedChange::kCompleted);
        EXPECT_FALSE(copy.ReadDriveFile(RecordPath()));
      }
      for (const auto& [name, file] : testing::SnapshotFolder(copy, kSystem)) {
        EXPECT_NE(name.rfind("HSN", 0), 0u) << name;
      }
    }
  }
  EXPECT_GT(putBack, 10);
  EXPECT_GT(finishedLater, 0);
}

TEST_F(InstallerImageTest, AFailedListLeavesTheDirectoryAsItWas) {
  std::filesystem::remove(image_.DrivePath("D:\\I386\\WIN32K.SY_"));
  const auto before = System();
  auto session = Open();
  ASSERT_TRUE(session.machine);
  EXPECT_FALSE(InstallFiles(session.machine->Platform(), *session.installation, MultiprocessorSourceNames, SystemFileNames));
  EXPECT_EQ(System(), before) << testing::Describe(System());
}

TEST_F(InstallerImageTest, AnUnfinishedChangeKeepsItsRecordFromANewOne) {
  image_.WriteDriveFile(RecordPath(), "halshift intent 1\r\nEnd=0\r\n");
  const auto before = System();
  auto session = Open();
  ASSERT_TRUE(session.machine);
  EXPECT_FALSE(InstallFiles(session.machine->Platform(), *session.installation, UniprocessorSourceNames, RecoveryFileNames));
  EXPECT_EQ(System(), before);
  EXPECT_EQ(image_.ReadDriveFile(RecordPath()), "halshift intent 1\r\nEnd=0\r\n");
}

// What an ended process leaves, built by hand, finished at the next start.
class InterruptedChangeTest : public InstallerImageTest {
 protected:
  // The state of a change of the HAL that stopped after its record was written: the new HAL
  // staged whole, its placeholder empty; the old one still in place.
  IntentRecord Interrupt(bool stagedWhole) {
    newHal_ = testing::InstalledContents(image_, "D:\\I386\\HALMPS.DL_");
    oldHal_ = image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL").value();
    image_.WriteDriveFile("C:\\WINNT\\System32\\hsn1234.TMP",
                          stagedWhole ? newHal_ : newHal_.substr(0, newHal_.size() / 2));
    image_.WriteDriveFile("C:\\WINNT\\System32\\del1235.TMP", "");
    IntentRecord record;
    record.currentType = "Multiprocessor Free";
    record.files.push_back({"C:\\WINNT\\System32\\hsn1234.TMP", "C:\\WINNT\\System32\\HAL.DLL",
                            "C:\\WINNT\\System32\\del1235.TMP", platform::kFileAttributeNormal,
                            newHal_.size(), ContentHash(newHal_), "HALMPS.DLL"});
    image_.WriteDriveFile(RecordPath(), FormatIntentRecord(record));
    return record;
  }
  InterruptedChange Finish() {
    auto session = Open();
    if (!session.machine) return InterruptedChange::kFailed;
    return FinishInterruptedChange(session.machine->Platform()).outcome;
  }
  std::string CurrentType() {
    auto session = Open();
    return halshift::registry_values::ReadCurrentType(session.machine->Platform().registry);
  }

  std::string newHal_;
  std::string oldHal_;
};

TEST_F(InterruptedChangeTest, AWholeStagedFileIsMovedInAndTheKindRecorded) {
  Interrupt(true);
  EXPECT_EQ(Finish(), InterruptedChange::kCompleted);
  const auto snapshot = System();
  EXPECT_EQ(snapshot.at("HAL.DLL").bytes, newHal_);
  EXPECT_EQ(snapshot.at("DEL1235.TMP").bytes, oldHal_);  // in use: deleted at the next start
  EXPECT_FALSE(snapshot.contains("HSN1234.TMP"));
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_FALSE(image_.ReadDriveFile(RecordPath()));
  EXPECT_EQ(Finish(), InterruptedChange::kNone);
}

TEST_F(InterruptedChangeTest, ACutOffStagedFileUndoesTheChange) {
  const auto before = System();
  Interrupt(false);
  EXPECT_EQ(Finish(), InterruptedChange::kUndone);
  EXPECT_EQ(System(), before) << testing::Describe(System());
  EXPECT_EQ(CurrentType(), "Uniprocessor Free");
  EXPECT_FALSE(image_.ReadDriveFile(RecordPath()));
}

TEST_F(InterruptedChangeTest, TheOldFileAsideIsPutBackWhenTheNewOneIsMissing) {
  const auto before = System();
  Interrupt(false);
  // Stopped after the old HAL went aside: HAL.DLL does not exist.
  std::filesystem::rename(image_.DrivePath("C:\\WINNT\\System32\\HAL.DLL"),
                          image_.DrivePath("C:\\WINNT\\System32\\del1235.TMP"));
  EXPECT_EQ(Finish(), InterruptedChange::kUndone);
  EXPECT_EQ(System(), before) << testing::Describe(System());
}

TEST_F(InterruptedChangeTest, ARecordCutOffWhileWrittenIsDroppedWithTheLeftovers) {
  const auto before = System();
  const IntentRecord record = Interrupt(true);
  const std::string text = FormatIntentRecord(record);
  image_.WriteDriveFile(RecordPath(), text.substr(0, text.size() - 3));
  EXPECT_EQ(Finish(), InterruptedChange::kUndone);
  EXPECT_EQ(System(), before) << testing::Describe(System());
  EXPECT_FALSE(image_.ReadDriveFile(RecordPath()));
}

TEST_F(InterruptedChangeTest, LeftoversGoEvenWithoutARecordButAFullPlaceholderStays) {
  image_.WriteDriveFile("C:\\WINNT\\System32\\HSN0001.TMP", "half a file");
  image_.WriteDriveFile("C:\\WINNT\\System32\\del0002.tmp", "");
  image_.WriteDriveFile("C:\\WINNT\\System32\\del0003.tmp", "an old HAL that waits for the restart");
  EXPECT_EQ(Finish(), InterruptedChange::kNone);
  const auto snapshot = System();
  EXPECT_FALSE(snapshot.contains("HSN0001.TMP"));
  EXPECT_FALSE(snapshot.contains("DEL0002.TMP"));
  EXPECT_TRUE(snapshot.contains("DEL0003.TMP"));
}

}  // namespace
}  // namespace halshift::hal
