// The offline mode on disk images: the typical run on a raw disk, a bare partition image and
// containers, each compared with the same run on the folder tree; and the disks refused with
// their bytes unchanged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/offline/disk_tree.h"

namespace halshift::testing {
namespace {

using disk::Quoted;
using disk::Shell;

struct DiskCase {
  const char* name;
  bool bare;
  std::string container;  // qemu-img's format name; empty for the raw image itself
};

TEST(OfflineDiskTest, TypicalRunSwitchesTheDiskAsTheFolderTree) {
  const TypicalRun folderRun = CleanOfflineRun();
  const DiskCase cases[] = {
      {"raw disk", false, ""},
      {"bare partition", true, ""},
      {"qcow2", false, "qcow2"},
      {"vdi", false, "vdi"},
  };
  for (const DiskCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempImage tree;
    MakeOfflineTree(tree);
    disk::TempFolder folder;
    DiskImage image = MakeDiskFromTree(tree, folder / "nt4.img", c.bare);
    const auto original = disk::ReadBytes(image.path);
    std::filesystem::path target = image.path;
    if (!c.container.empty()) {
      target = folder / ("nt4." + c.container);
      ASSERT_EQ(Shell("qemu-img convert -O " + c.container + " " + Quoted(image.path) + " " + Quoted(target)).status, 0);
      std::filesystem::remove(image.path);
    }
    ProgramRun run;
    if (c.container == "qcow2") {
      // As a VM owner runs it: the service pack CD as an ISO image.
      const std::string iso = (folder / "sp6.iso").string();
      const ProgramRun made = RunCommand({"genisoimage", "-quiet", "-J", "-R", "-o", iso, DriveFolder(tree, 'D')});
      ASSERT_EQ(made.exitCode, 0) << made.err;
      run = RunProgram({"--offline", target.string(), "--cpus", "2", "--media", iso, "upgrade_hal", "enable_recovery"});
      std::filesystem::remove(iso);
    } else {
      run = RunOnDisk(tree, target);
    }
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err << ReadDiskFile(image, "ORVSYSTEM/LOG/HALSHIFT.LOG").value_or("<no log>");
    // The way back is named on the output and in the session's log alike.
    const std::string keptOutput = "the disk as it was before this run is kept: ";
    const std::size_t keptAt = run.out.find(keptOutput);
    ASSERT_NE(keptAt, std::string::npos) << run.out;
    const std::size_t keptFrom = keptAt + keptOutput.size();
    const std::string kept = run.out.substr(keptFrom, run.out.find('\n', keptFrom) - keptFrom);
    if (c.container.empty()) {
      // The copy beside the disk holds the disk as it was.
      std::vector<std::filesystem::path> copies;
      for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        if (entry.path().filename().string().find(".before-halshift-") != std::string::npos) copies.push_back(entry.path());
      }
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_TRUE(disk::ReadBytes(copies[0]) == original);
    } else {
      const auto checked = Shell("qemu-img check " + Quoted(target));
      EXPECT_EQ(checked.status, 0) << checked.output;
      if (c.container == "qcow2") {
        EXPECT_NE(Shell("qemu-img snapshot -l " + Quoted(target)).output.find("halshift-"), std::string::npos);
      }
      ASSERT_EQ(Shell("qemu-img convert -O raw " + Quoted(target) + " " + Quoted(image.path)).status, 0);
    }
    ExpectSwitchedAsFolder(image, folderRun.after);
    const std::string log = ReadDiskFile(image, "ORVSYSTEM/LOG/HALSHIFT.LOG").value_or("<no log>");
    EXPECT_NE(log.find("The system as it was before this session is kept in " + kept + ".\r\n"), std::string::npos)
        << log;
  }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Boot files on the active primary partition, the installation on a logical drive: D:, ARC
// partition 2.
TEST(OfflineDiskTest, SystemOnALogicalDrive) {
  const TypicalRun folderRun = CleanOfflineRun();
  TempImage tree;
  CopyExample(tree, kTypicalExample);
  HiveKey software = Nt4SoftwareHive();
  software.At("Microsoft\\Windows NT\\CurrentVersion").Set(SzValue("SystemRoot", "D:\\WINNT"));
  WriteHives(tree, software);
  tree.WriteDriveFile("C:\\BOOT.INI", Replaced(*tree.ReadDriveFile("C:\\BOOT.INI"), "partition(1)", "partition(2)"));
  tree.WriteDriveFile(kSetupLog, Replaced(*tree.ReadDriveFile(kSetupLog), "TargetDevice = \"\\Device\\Harddisk0\\partition1",
                                          "TargetDevice = \"\\Device\\Harddisk0\\partition2"));
  disk::TempFolder folder;
  const DiskImage boot{folder / "nt4.img", kPartitionStart};
  const DiskImage system{boot.path, 69632 * 512};
  const std::string made =
      "truncate -s 96M " + Quoted(boot.path) + " && printf 'label: dos\\n2048,65536,6,*\\n67584,,5\\n69632,,6\\n' | sfdisk -q " +
      Quoted(boot.path) + " && mkfs.fat -F 16 --offset 2048 " + Quoted(boot.path) + " 32768 && mkfs.fat -F 16 --offset 69632 " +
      Quoted(boot.path) + " 63488 && cd " + Quoted(DriveFolder(tree, 'C')) + " && mcopy -s -Q -i " +
      disk::MtoolsImage(boot.path, system.offset) + " WINNT ::/ && rm -rf WINNT && mcopy -s -Q -i " +
      disk::MtoolsImage(boot.path, boot.offset) + " * ::/";
  ASSERT_EQ(Shell(made).status, 0) << made;

  const ProgramRun run = RunOnDisk(tree, boot.path, {"--no-backup"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  for (const DiskImage& volume : {boot, system}) {
    std::string report;
    EXPECT_EQ(disk::Fsck(volume.path, &report, volume.offset), disk::FsckVerdict::kClean) << report;
  }
  EXPECT_EQ(ReadDiskFile(boot, "BOOT.INI"),
            Replaced(folderRun.after.bootDrive.at("BOOT.INI").bytes, "partition(1)", "partition(2)"));
  EXPECT_TRUE(ReadDiskFile(system, "WINNT/System32/HAL.DLL") == folderRun.after.raw.at("HAL.DLL").bytes);
  EXPECT_TRUE(ReadDiskFile(system, "ORVSYSTEM/LOG/HALSHIFT.LOG").has_value());
  EXPECT_FALSE(ReadDiskFile(boot, "ORVSYSTEM/LOG/HALSHIFT.LOG").has_value());
}

// The media on a FAT16 disk of its own, given as drive D: (no CD-ROM drive): the switch reads
// it there and leaves it byte for byte; the same disk with its dirty bit set is refused before
// anything changes.
TEST(OfflineDiskTest, MediaOnASecondDiskGivenAsADrive) {
  const TypicalRun folderRun = CleanOfflineRun();
  for (const bool dirty : {false, true}) {
    SCOPED_TRACE(dirty ? "dirty media disk" : "media disk");
    TempImage tree;
    MakeOfflineTree(tree);
    disk::TempFolder folder;
    const DiskImage image = MakeDiskFromTree(tree, folder / "nt4.img");
    const DiskImage media{folder / "media.img", kPartitionStart};
    const std::string made =
        "truncate -s 64M " + Quoted(media.path) + " && echo 'start=2048, type=6' | sfdisk -q " +
        Quoted(media.path) + " && mkfs.fat -F 16 --offset 2048 " + Quoted(media.path) +
        " 64512 && cd " + Quoted(DriveFolder(tree, 'D')) + " && mcopy -s -Q -i " +
        disk::MtoolsImage(media.path, media.offset) + " * ::/" +
        (dirty ? " && printf '\\001' | dd of=" + Quoted(media.path) + " bs=1 seek=" +
                     std::to_string(media.offset + 0x25) + " conv=notrunc status=none"
               : std::string());
    ASSERT_EQ(Shell(made).status, 0) << made;
    const auto systemBefore = disk::ReadBytes(image.path);
    const auto mediaBefore = disk::ReadBytes(media.path);
    const ProgramRun run = RunProgram({"--offline", image.path.string(), "--no-backup", "--cpus", "2",
                                       "--drive", "D=" + media.path.string(), "upgrade_hal", "enable_recovery"});
    EXPECT_TRUE(disk::ReadBytes(media.path) == mediaBefore);
    if (dirty) {
      EXPECT_EQ(run.exitCode, 2) << run.out;
      EXPECT_NE(run.err.find("--drive D=" + media.path.string() + ": partition 1"), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("dirty"), std::string::npos) << run.err;
      EXPECT_TRUE(disk::ReadBytes(image.path) == systemBefore);
      continue;
    }
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    ExpectSwitchedAsFolder(image, folderRun.after);
  }
}

TEST(OfflineDiskTest, RefusedDisksStayByteForByte) {
  struct Refusal {
    const char* name;
    std::string mkfs;
    // Changes the made disk; a process to end afterwards, or 0.
    std::function<pid_t(const DiskImage&)> prepare;
    const char* reason;
  };
  const Refusal refusals[] = {
      {"the dirty bit", "-F 16",
       [](const DiskImage& image) {
         // The Windows NT flag byte of the FAT16 boot sector.
         EXPECT_EQ(Shell("printf '\\001' | dd of=" + Quoted(image.path) + " bs=1 seek=" +
                         std::to_string(image.offset + 0x25) + " conv=notrunc status=none").status, 0);
         return pid_t{0};
       },
       "dirty"},
      {"FAT32", "-F 32", [](const DiskImage&) { return pid_t{0}; }, "FAT32"},
      {"held by a running qemu-nbd", "-F 16",
       [](const DiskImage& image) {
         const pid_t server = fork();
         if (server == 0) {
           execlp("qemu-nbd", "qemu-nbd", "--format=raw", "--persistent",
                  ("--socket=" + image.path.string() + ".sock").c_str(), image.path.c_str(), nullptr);
           _exit(127);
         }
         for (int i = 0; i < 100 && !std::filesystem::exists(image.path.string() + ".sock"); ++i) usleep(20000);
         return server;
       },
       "lock"},
      {"open in a virtual machine that keeps no lock", "-F 16",
       [](const DiskImage& image) {
         // Through a shell that ends at once, so that it is not the test's child.
         const disk::RunResult started = Shell("sleep 60 < " + Quoted(image.path) + " > /dev/null 2>&1 & echo $!");
         EXPECT_EQ(started.status, 0);
         const auto holder = static_cast<pid_t>(std::stoi(started.output));
         const std::filesystem::path input = "/proc/" + std::to_string(holder) + "/fd/0";
         std::error_code ignored;
         for (int i = 0; i < 200 && std::filesystem::read_symlink(input, ignored) != image.path; ++i) usleep(10000);
         return holder;
       },
       "is in use by another program: sleep (process "},
      {"VMware's lock", "-F 16",
       [](const DiskImage& image) {
         std::filesystem::create_directory(image.path.string() + ".lck");
         return pid_t{0};
       },
       "a VMware lock (nt4.img.lck)"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    TempImage tree;
    MakeOfflineTree(tree);
    disk::TempFolder folder;
    const DiskImage image = MakeDiskFromTree(tree, folder / "nt4.img", false, r.mkfs);
    const pid_t server = r.prepare(image);
    const auto before = disk::ReadBytes(image.path);
    const ProgramRun run = RunOnDisk(tree, image.path);
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
    EXPECT_EQ(run.exitCode, 2) << run.out;
    EXPECT_NE(run.err.find(r.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(disk::ReadBytes(image.path) == before);
    // The disk, and VMware's lock where there is one.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}),
              std::filesystem::exists(image.path.string() + ".lck") ? 2 : 1)
        << "a backup was made";
  }
}

}  // namespace
}  // namespace halshift::testing
