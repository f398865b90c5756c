// The offline switch on a disk whose system partition is NTFS 1.2, as NT 4.0 setup converts it,
// or 3.1, as later Windows leave it on a shared disk: a raw disk, the same disk as qcow2 and
// the partition image alone, made from the typical offline tree, switched by the program as a
// user starts it and checked with ntfsfix -n, ntfscat and hivex against the same run on the
// tree's folders; a compressed HAL.DLL and a dirty volume refused, the disk unchanged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "platform/image/hive_registry.h"
#include "platform/image/undo_journal.h"
#include "tests/disk/ntfs_tools.h"
#include "tests/support/offline_tree.h"

namespace halshift {
namespace {

using namespace testing;
using namespace testing::disk;

// The disk's format ("raw", "qcow2", or "bare": the partition image alone, no partition table)
// and the volume's NTFS version ("1.2", "3.1").
class NtfsOfflineTest : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  const std::string& Format() const { return std::get<0>(GetParam()); }
  const std::string& Version() const { return std::get<1>(GetParam()); }
  std::string QemuFormat() const { return Format() == "qcow2" ? "qcow2" : "raw"; }

  // The tree's drive C as an NTFS partition of the parameter's version (mkntfs makes 3.1),
  // then altered, in a disk of the parameter's format.
  void MakeDisk(const std::function<bool(const std::filesystem::path&)>& alter = {}) {
    MakeOfflineTree(tree_);
    const auto partition = folder_ / "part.img";
    ASSERT_TRUE(MakeNtfs(partition, 16));
    ASSERT_TRUE(CopyTreeIntoNtfs(partition, DriveFolder(tree_, 'C')));
    if (Version() == "1.2") {
      ASSERT_TRUE(SetNtfsVersion(partition, 1, 2));
    }
    if (alter) {
      ASSERT_TRUE(alter(partition));
    }
    disk_ = folder_ / "nt4.img";
    if (Format() == "bare") {
      std::filesystem::rename(partition, disk_);
      return;
    }
    ASSERT_TRUE(MakeNtfsDisk(disk_, partition));
    if (Format() == "qcow2") {
      const auto qcow2 = folder_ / "nt4.qcow2";
      ASSERT_EQ(Shell("qemu-img convert -O qcow2 " + Quoted(disk_) + " " + Quoted(qcow2)).status, 0);
      disk_ = qcow2;
    }
  }

  ProgramRun Switch(const std::string& drive) {
    return RunProgram({"--offline", drive, "--no-backup", "--media", DriveFolder(tree_, 'D'), "--cpus", "2",
                       "upgrade_hal", "enable_recovery"});
  }

  // The typical switch in this process, over the disk opened as the program opens it, ended
  // before its step-th disk step (0: never) in a child; the steps it made.
  int SwitchStoppedAt(int step) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    if (child == 0) {
      auto machine = OpenOfflineWords({"--offline", disk_.string(), "--no-backup", "--media",
                                       DriveFolder(tree_, 'D'), "--cpus", "2"});
      if (!machine) _exit(2);
      machine->image->Faults().StopAtStep(step);
      HalUtilityApp app(machine->Platform());
      app.Startup(kTypicalCommandLine);
      const int steps = machine->image->Faults().StepCount();
      EXPECT_EQ(write(pipeEnds[1], &steps, sizeof steps), static_cast<ssize_t>(sizeof steps));
      _exit(app.Shutdown() == 1 ? 0 : 3);
    }
    close(pipeEnds[1]);
    int steps = 0;
    const bool ran = read(pipeEnds[0], &steps, sizeof steps) == static_cast<ssize_t>(sizeof steps);
    close(pipeEnds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ran ? 0 : image::FaultInjector::kStoppedExitCode);
    return ran ? steps : step - 1;
  }

  // The disk after the program's runs holds what the same switch left in the tree's folders:
  // the system files, BOOT.INI, setup.log and their backups, the kind recorded, and a volume
  // that ntfsfix -n finds consistent.
  void ExpectWhatTheFolderRunLeft();

  TempFolder folder_;
  TempImage tree_;
  std::filesystem::path disk_;
};

TEST_P(NtfsOfflineTest, SwitchLeavesWhatTheFolderRunLeaves) {
  MakeDisk();
  const ProgramRun onDisk = Switch(disk_.string());
  EXPECT_EQ(onDisk.exitCode, 1) << onDisk.err;
  EXPECT_FALSE(std::filesystem::exists(image::UndoJournalPath(disk_)));
  if (Format() == "qcow2") {
    EXPECT_EQ(Shell("qemu-img check " + Quoted(disk_)).status, 0);
  }
  const ProgramRun inFolders = Switch(DriveFolder(tree_, 'C'));
  ASSERT_EQ(inFolders.exitCode, 1) << inFolders.err;
  ExpectWhatTheFolderRunLeft();
}

// A stop in the middle of the switch (a quarter, half and three quarters through its disk
// steps) leaves an undo journal; the next run plays it back, finishes the switch, and leaves
// the disk as the uncut run does.
TEST_P(NtfsOfflineTest, SwitchStoppedOnTheDiskIsFinishedByTheNextRun) {
  MakeDisk();
  const std::filesystem::path pristine = folder_ / "pristine.disk";
  std::filesystem::copy_file(disk_, pristine);
  const int steps = SwitchStoppedAt(0);
  ASSERT_GT(steps, 100);
  ASSERT_EQ(Switch(DriveFolder(tree_, 'C')).exitCode, 1);
  int journaled = 0;
  for (const int step : {steps / 4, steps / 2, 3 * steps / 4}) {
    SCOPED_TRACE("stopped before disk step " + std::to_string(step) + " of " + std::to_string(steps));
    std::filesystem::copy_file(pristine, disk_, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(SwitchStoppedAt(step), step - 1);
    journaled += std::filesystem::exists(image::UndoJournalPath(disk_)) ? 1 : 0;
    const ProgramRun next = Switch(disk_.string());
    EXPECT_TRUE(next.exitCode == 0 || next.exitCode == 1) << next.err;
    EXPECT_FALSE(std::filesystem::exists(image::UndoJournalPath(disk_)));
    ExpectWhatTheFolderRunLeft();
  }
  EXPECT_GT(journaled, 0);
}

// A stop in the middle of the switch, then the virtual machine started before the next run
// (qemu-io writing a sector of a block the journal saved): the next run refuses, exit code 2,
// and leaves the disk and the journal as they are.
TEST_P(NtfsOfflineTest, DiskChangedAfterAStopIsRefusedUnchanged) {
  MakeDisk();
  ASSERT_EQ(SwitchStoppedAt(60), 59);
  const std::filesystem::path journal = image::UndoJournalPath(disk_);
  const std::vector<std::uint8_t> saved = ReadBytes(journal);
  ASSERT_GT(saved.size(), image::undo::kHeaderSize + image::undo::kRangeHeaderSize);
  std::uint64_t offset = 0;  // of the first saved range
  for (std::size_t i = 8; i > 0; --i) offset = (offset << 8) | saved[image::undo::kHeaderSize + 8 + i - 1];
  ASSERT_EQ(Shell("qemu-io -f " + QemuFormat() + " -c 'write -P 0x5a " + std::to_string(offset + 512) + " 512' " +
                  Quoted(disk_))
                .status,
            0);
  const std::vector<std::uint8_t> disk = ReadBytes(disk_);
  const ProgramRun next = Switch(disk_.string());
  EXPECT_EQ(next.exitCode, 2) << next.err;
  EXPECT_NE(next.err.find("changed after an interrupted halshift run"), std::string::npos) << next.err;
  EXPECT_NE(next.err.find("chkdsk"), std::string::npos) << next.err;
  EXPECT_TRUE(ReadBytes(disk_) == disk);
  EXPECT_TRUE(ReadBytes(journal) == saved);
}

void NtfsOfflineTest::ExpectWhatTheFolderRunLeft() {
  auto partition = folder_ / "after.img";
  if (Format() == "bare") {
    partition = disk_;
  } else {
    ASSERT_TRUE(ExtractNtfsPartition(disk_, partition));
  }
  std::string report;
  EXPECT_TRUE(NtfsConsistent(partition, &report)) << report;
  EXPECT_NE(report.find("NTFS volume version is " + Version()), std::string::npos) << report;
  std::vector<std::string> files = {"BOOT.INI", "BOOTINI.ORV", "WINNT/repair/setup.log", "WINNT/repair/setup.orv"};
  for (const auto& [name, state] : SnapshotFolder(tree_, kSystem32)) files.push_back("WINNT/System32/" + name);
  ASSERT_GT(files.size(), 10u);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string windows = "C:\\" + file;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    const auto expected = tree_.ReadDriveFile(windows);
    ASSERT_TRUE(expected);
    const RunResult cat = CatNtfsFile(partition, file);
    EXPECT_EQ(cat.status, 0);
    EXPECT_TRUE(cat.output == *expected) << cat.output.substr(0, 200);
  }
  // The registry as hivex reads it out of the volume: the kind recorded.
  const auto software = folder_ / "SOFTWARE";
  const auto system = folder_ / "SYSTEM";
  WriteBytes(software, BytesOf(CatNtfsFile(partition, "WINNT/System32/config/SOFTWARE").output));
  WriteBytes(system, BytesOf(CatNtfsFile(partition, "WINNT/System32/config/SYSTEM").output));
  image::FaultInjector faults;
  std::string error;
  const auto hives = image::HiveRegistry::Open(software, system, faults, error);
  ASSERT_TRUE(hives) << error;
  EXPECT_EQ(ReadRegistryText(*hives, kCurrentVersionKeyPath, "CurrentType").text, "Multiprocessor Free");
}

TEST_P(NtfsOfflineTest, CompressedHalAndDirtyVolumeAreRefusedWithTheDiskUnchanged) {
  struct Case {
    const char* what;
    std::function<bool(const std::filesystem::path&)> alter;
    const char* message;
  };
  const Case cases[] = {
      {"compressed HAL.DLL",
       [](const auto& partition) { return SetNtfsFileFlag(partition, "/WINNT/System32/HAL.DLL", 0x800); },
       "HAL.DLL is compressed on the NTFS volume"},
      {"dirty", SetNtfsDirty, "marked dirty: start the virtual machine once and shut it down properly"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    MakeDisk(test.alter);
    const std::vector<std::uint8_t> before = ReadBytes(disk_);
    for (const bool backup : {true, false}) {
      std::vector<std::string> arguments = {"--offline", disk_.string(), "--media", DriveFolder(tree_, 'D'),
                                            "--cpus", "2", "upgrade_hal"};
      if (!backup) arguments.insert(arguments.begin(), "--no-backup");
      const ProgramRun run = RunProgram(arguments);
      EXPECT_EQ(run.exitCode, 2) << run.err;
      EXPECT_NE(run.err.find(test.message), std::string::npos) << run.err;
      EXPECT_TRUE(ReadBytes(disk_) == before);
      EXPECT_FALSE(std::filesystem::exists(image::UndoJournalPath(disk_)));
    }
    std::error_code ignored;
    std::filesystem::remove_all(tree_.Root() / "drives", ignored);
  }
}

INSTANTIATE_TEST_SUITE_P(FormatsAndVersions, NtfsOfflineTest,
                         ::testing::Combine(::testing::Values("raw", "qcow2"), ::testing::Values("1.2", "3.1")),
                         [](const auto& test) {
                           std::string name = std::get<0>(test.param) + "_" + std::get<1>(test.param);
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });
INSTANTIATE_TEST_SUITE_P(BarePartition, NtfsOfflineTest,
                         ::testing::Combine(::testing::Values("bare"), ::testing::Values("1.2")),
                         [](const auto&) { return std::string("bare_1_2"); });

}  // namespace
}  // namespace halshift
