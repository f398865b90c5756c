// The system file installer: the retry rules against a scripted file system, and the real
// effects (expansion, in-use replacement, putting files back) over machine images.
#include "hal/installer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "hal/upgrade.h"
#include "tests/support/example_machine.h"
#include "tests/hal/scripted_files.h"
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

bool Called(const ScriptedFiles& files, const std::string& call) {
  return std::find(files.calls.begin(), files.calls.end(), call) != files.calls.end();
}

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

// Each scripted VerInstallFile sequence and the source names that the attempts must use.
TEST(InstallFileTest, RetriesByTheResultOfEachAttempt) {
  struct Case {
    const char* name;
    bool destinationExists;
    std::deque<std::uint32_t> results;
    std::vector<std::string> sourceNamesTried;
    bool installed;
    bool movedAside;
  } cases[] = {
      {"plain source", false, {0}, {"HALMPS.DLL"}, true, false},
      {"compressed source", false, {platform::kVifCannotReadSrc, 0}, {"HALMPS.DLL", "HALMPS.DL_"}, true, false},
      {"destination in use", true, {platform::kVifFileInUse, 0}, {"HALMPS.DLL", "HALMPS.DLL"}, true, true},
      {"sharing violation", true, {platform::kVifSharingViolation, 0}, {"HALMPS.DLL", "HALMPS.DLL"}, true, true},
      {"access violation", true, {platform::kVifAccessViolation | platform::kVifTempFile, 0},
       {"HALMPS.DLL", "HALMPS.DLL"}, true, true},
      {"compressed and in use", true,
       {platform::kVifCannotReadSrc, platform::kVifFileInUse, 0},
       {"HALMPS.DLL", "HALMPS.DL_", "HALMPS.DL_"}, true, true},
      {"three failures", true,
       {platform::kVifCannotReadSrc, platform::kVifCannotReadSrc, platform::kVifCannotReadSrc},
       {"HALMPS.DLL", "HALMPS.DL_", "HALMPS.DL_"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFiles files;
    const std::string destination = std::string(kSystem) + "\\HAL.DLL";
    if (c.destinationExists) files.existing.insert(destination);
    files.installResults = c.results;
    SystemFileInstaller installer(files, kMedia, kSystem);
    EXPECT_EQ(installer.InstallFile("HALMPS.DLL", "HAL.DLL"), c.installed);
    EXPECT_EQ(SourceNamesTried(files), c.sourceNamesTried);
    for (const auto& install : files.installs) {
      EXPECT_EQ(install.flags, platform::kViffForceInstall);
      EXPECT_EQ(install.destinationName, "HAL.DLL");
      EXPECT_EQ(install.sourceDirectory, kMedia);
      EXPECT_EQ(install.destinationDirectory, kSystem);
      EXPECT_EQ(install.currentDirectory, kSystem);
    }
    EXPECT_TRUE(Called(files, "SetFileAttributes(" + destination + ",128)"));
    // The file in use goes to a "del" placeholder that the next start deletes.
    const std::string placeholder = std::string(kSystem) + "\\del2.TMP";
    EXPECT_EQ(Called(files, "MoveFile(" + destination + "," + placeholder + ")"), c.movedAside);
    EXPECT_EQ(Called(files, "MoveFileEx(" + placeholder + ",<none>,4)"), c.movedAside);
    installer.Commit();
    // After the commit only the destination and the placeholder remain of this pair.
    std::set<std::string> expected;
    if (c.destinationExists || c.installed) expected.insert(destination);
    if (c.movedAside) expected.insert(placeholder);
    EXPECT_EQ(files.existing, expected);
  }
}

TEST(InstallFilesTest, EmptyOrMismatchedListsMakeNoPlatformCall) {
  ScriptedFiles files;
  SystemFileInstaller installer(files, kMedia, kSystem);
  EXPECT_FALSE(installer.InstallFiles({}, SystemFileNames));
  EXPECT_FALSE(installer.InstallFiles(MultiprocessorSourceNames, UniprocessorSourceNames));
  EXPECT_TRUE(files.calls.empty());
  EXPECT_TRUE(files.installs.empty());
}

TEST(InstallFilesTest, StopsAtTheFirstMissingSourceAndPutsEarlierPairsBack) {
  ScriptedFiles files;
  files.existing = {"D:\\I386\\HALMPS.DL_", "C:\\WINNT\\System32\\HAL.DLL",
                    "C:\\WINNT\\System32\\NTOSKRNL.EXE"};
  files.installResults = {platform::kVifCannotReadSrc, platform::kVifFileInUse, 0};
  SystemFileInstaller installer(files, kMedia, kSystem);
  EXPECT_FALSE(installer.InstallFiles(MultiprocessorSourceNames, SystemFileNames));
  // NTKRNLMP.EXE is missing under both names: no attempt for it.
  EXPECT_EQ(SourceNamesTried(files), (std::vector<std::string>{"HALMPS.DLL", "HALMPS.DL_", "HALMPS.DL_"}));
  // The HAL that was moved aside has its name back and no copy is left.
  EXPECT_EQ(files.existing, (std::set<std::string>{"D:\\I386\\HALMPS.DL_", "C:\\WINNT\\System32\\HAL.DLL",
                                                   "C:\\WINNT\\System32\\NTOSKRNL.EXE"}));
  EXPECT_TRUE(Called(files, "MoveFile(C:\\WINNT\\System32\\del2.TMP,C:\\WINNT\\System32\\HAL.DLL)"));
}

TEST(InstallFilesTest, AShorterSourceListInstallsOnlyItsPairs) {
  ScriptedFiles files;
  files.existing = {"D:\\I386\\HAL.DLL", "D:\\I386\\NTOSKRNL.EXE"};
  files.installResults = {0, 0};
  SystemFileInstaller installer(files, kMedia, kSystem);
  EXPECT_TRUE(installer.InstallFiles(UniprocessorSourceNames, SystemFileNames));
  ASSERT_EQ(files.installs.size(), 2u);
  EXPECT_EQ(files.installs[1].destinationName, "NTOSKRNL.EXE");
}

// Over a machine image: the files the installer leaves, byte for byte.
class InstallerImageTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CopyExample(image_, "smp-uniprocessor-hal"); }

  std::unique_ptr<testing::OpenedMachine> Open() { return testing::OpenMachine(image_); }

  testing::TempImage image_;
};

TEST_F(InstallerImageTest, FileExistsSeesDirectoriesAndWildcards) {
  auto machine = Open();
  ASSERT_TRUE(machine);
  auto& files = machine->Platform().files;
  EXPECT_TRUE(FileExists(files, "C:\\WINNT\\System32"));
  EXPECT_TRUE(FileExists(files, "D:\\I386\\HAL*.DL?"));
  EXPECT_TRUE(FileExists(files, "c:\\winnt\\system32\\hal.dll"));
  EXPECT_FALSE(FileExists(files, "D:\\I386\\NONE*.*"));
}

TEST_F(InstallerImageTest, ExpandsACompressedSourceAndReplacesAReadOnlyFile) {
  image_.SetDriveFileAttributes("C:\\WINNT\\System32\\KERNEL32.DLL", platform::kFileAttributeReadOnly);
  const std::string expected = testing::InstalledContents(image_, "D:\\I386\\KERNEL32.DL_");
  ASSERT_FALSE(expected.empty());
  {
    auto machine = Open();
    ASSERT_TRUE(machine);
    SystemFileInstaller installer(machine->Platform().files, kMedia, kSystem);
    EXPECT_TRUE(SourceFileExists(machine->Platform().files, "D:\\I386\\KERNEL32.DLL"));
    EXPECT_TRUE(installer.InstallFile("KERNEL32.DLL", "KERNEL32.DLL"));
    installer.Commit();
  }
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\KERNEL32.DLL"), expected);
  // Nothing else appeared: no kept copy, no temporary file.
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem).size(), 6u) << testing::Describe(testing::SnapshotFolder(image_, kSystem));
}

TEST_F(InstallerImageTest, AFileInUseIsMovedAsideAndDeletedAtTheNextStart) {
  const std::string oldHal = image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL").value();
  {
    auto machine = Open();
    ASSERT_TRUE(machine);
    SystemFileInstaller installer(machine->Platform().files, kMedia, kSystem);
    EXPECT_TRUE(installer.InstallFile("HALMPS.DLL", "HAL.DLL"));
    installer.Commit();
  }
  auto machine = Open();
  ASSERT_TRUE(machine);
  const auto snapshot = testing::SnapshotFolder(image_, kSystem);
  EXPECT_EQ(snapshot.at("HAL.DLL").bytes, testing::InstalledContents(image_, "D:\\I386\\HALMPS.DL_"));
  const auto pending = testing::PendingDeletions(machine->Platform().registry);
  ASSERT_EQ(pending.size(), 1u);
  const std::string placeholder = pending[0].substr(pending[0].rfind('\\') + 1);
  EXPECT_EQ(text::ToUpper(placeholder).rfind("DEL", 0), 0u) << placeholder;
  ASSERT_TRUE(snapshot.contains(text::ToUpper(placeholder))) << testing::Describe(snapshot);
  EXPECT_EQ(snapshot.at(text::ToUpper(placeholder)).bytes, oldHal);
  EXPECT_EQ(snapshot.size(), 7u) << testing::Describe(snapshot);
}

TEST_F(InstallerImageTest, RollbackPutsBackFilesInUseAndFilesReplaced) {
  image_.SetDriveFileAttributes("C:\\WINNT\\System32\\NTDLL.DLL",
                                platform::kFileAttributeReadOnly | platform::kFileAttributeSystem);
  const auto before = testing::SnapshotFolder(image_, kSystem);
  {
    auto machine = Open();
    ASSERT_TRUE(machine);
    SystemFileInstaller installer(machine->Platform().files, kMedia, kSystem);
    EXPECT_TRUE(installer.InstallFiles(MultiprocessorSourceNames, SystemFileNames));
    EXPECT_TRUE(installer.InstallFiles(UniprocessorSourceNames, RecoveryFileNames));
    EXPECT_NE(testing::SnapshotFolder(image_, kSystem), before);
    installer.Rollback();
  }
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem), before)
      << "after:\n" << testing::Describe(testing::SnapshotFolder(image_, kSystem))
      << "before:\n" << testing::Describe(before);
  // The restored HAL is still the image the running system holds: it cannot be deleted.
  auto machine = Open();
  ASSERT_TRUE(machine);
  EXPECT_FALSE(machine->Platform().files.DeleteFile("C:\\WINNT\\System32\\HAL.DLL"));
}

TEST_F(InstallerImageTest, AFailedListLeavesTheDirectoryAsItWas) {
  std::filesystem::remove(image_.DrivePath("D:\\I386\\WIN32K.SY_"));
  const auto before = testing::SnapshotFolder(image_, kSystem);
  auto machine = Open();
  ASSERT_TRUE(machine);
  SystemSurvey survey(machine->Platform());
  HalInstallation installation(machine->Platform(), survey);
  installation.systemDirectory = kSystem;
  installation.SetSourceDirectory(kMedia);
  EXPECT_FALSE(InstallFiles(installation, MultiprocessorSourceNames, SystemFileNames));
  EXPECT_EQ(testing::SnapshotFolder(image_, kSystem), before)
      << testing::Describe(testing::SnapshotFolder(image_, kSystem));
}

}  // namespace
}  // namespace halshift::hal
