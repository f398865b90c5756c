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
    const ProgramRun run = RunOnDisk(tree, target);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err << ReadDiskFile(image, "ORVSYSTEM/LOG/HALSHIFT.LOG").value_or("<no log>");
    EXPECT_NE(run.out.find("the disk as it was before this run is kept"), std::string::npos) << run.out;
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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1) << "a backup was made";
  }
}

}  // namespace
}  // namespace halshift::testing
