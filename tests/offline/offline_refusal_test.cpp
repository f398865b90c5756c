// What the offline mode refuses before anything changes: wrong options, a folder without an
// installation, a hive that cannot be changed safely, files that cannot be read, a tree that
// leads out of its folders through a symbolic link; and the installation of another version,
// which gets the answer of that system.
#include <gtest/gtest.h>

#include <functional>

#include "app/strings.h"
#include "tests/support/offline_tree.h"
#include "tests/support/pe_fixtures.h"

namespace halshift {
namespace {

using namespace testing;

struct Refusal {
  const char* name;
  // Changes the tree (its image root) before the run, and gives the arguments.
  std::function<std::vector<std::string>(TempImage& tree)> prepare;
  const char* reason;  // a part of the one line on standard error
};

std::vector<std::string> Typical(const TempImage& tree, std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"--offline", DriveFolder(tree, 'C'), "--media",
                                        DriveFolder(tree, 'D')};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  if (std::find(extra.begin(), extra.end(), "--firmware") == extra.end() &&
      std::find(extra.begin(), extra.end(), "--vm-config") == extra.end()) {
    arguments.insert(arguments.end(), {"--cpus", "2"});
  }
  arguments.insert(arguments.end(), {"upgrade_hal", "enable_recovery"});
  return arguments;
}

// Moves a folder of drive C out of the tree to outside/ and leaves a symbolic link to it.
void LinkOut(const TempImage& tree, const std::string& windowsFolder) {
  const std::filesystem::path inside = tree.DrivePath(windowsFolder);
  const std::filesystem::path outside = tree.Root() / "outside" / inside.filename();
  std::filesystem::create_directories(outside.parent_path());
  std::filesystem::rename(inside, outside);
  std::filesystem::create_directory_symlink(outside, inside);
}

TEST(OfflineRefusalTest, NothingChangesAndOneLineSaysWhy) {
  const Refusal cases[] = {
      {"a value that is not a count",
       [](TempImage& t) { return std::vector<std::string>{"--offline", DriveFolder(t, 'C'), "--cpus", "two"}; },
       "--cpus two: give the number of processors"},
      {"no processor source",
       [](TempImage& t) { return std::vector<std::string>{"--offline", DriveFolder(t, 'C'), "upgrade_hal"}; },
       "give --cpus N, --vm-config FILE or --firmware FILE"},
      {"two processor sources", [](TempImage& t) { return Typical(t, {"--firmware", "x", "--cpus", "1"}); },
       "only one of"},
      {"an option without --offline",
       [](TempImage&) { return std::vector<std::string>{"--cpus", "2", "upgrade_hal"}; },
       "--cpus works only with --offline"},
      {"a drive without a letter", [](TempImage& t) { return Typical(t, {"--drive", "/mnt"}); },
       "give a drive letter and a folder"},
      {"a value missing at the end",
       [](TempImage& t) { return std::vector<std::string>{"--offline", DriveFolder(t, 'C'), "--media"}; },
       "--media needs a value"},
      {"a folder without an installation",
       [](TempImage& t) {
         auto arguments = Typical(t);
         arguments[1] = DriveFolder(t, 'D');
         return arguments;
       },
       "holds no Windows NT installation"},
      {"no such folder",
       [](TempImage& t) {
         auto arguments = Typical(t);
         arguments[1] = (t.Root() / "missing").string();
         return arguments;
       },
       "neither a folder nor a disk image file"},
      {"a dirty SOFTWARE hive",
       [](TempImage& t) {
         HiveOptions dirty;
         dirty.dirty = true;
         WriteHives(t, Nt4SoftwareHive(), Nt4SystemHive(), dirty);
         return Typical(t);
       },
       "SOFTWARE"},
      {"a SYSTEM hive that is not a hive",
       [](TempImage& t) {
         t.WriteDriveFile(kSystemHive, std::string(8192, 'x'));
         return Typical(t);
       },
       "SYSTEM"},
      {"a hive whose SystemRoot is another folder",
       [](TempImage& t) {
         HiveKey software = Nt4SoftwareHive();
         software.At("Microsoft\\Windows NT\\CurrentVersion").Set(SzValue("SystemRoot", "C:\\WINNT40"));
         WriteHives(t, software);
         return Typical(t);
       },
       "SystemRoot is \"C:\\WINNT40\""},
      {"a missing kernel",
       [](TempImage& t) {
         std::filesystem::remove(t.DrivePath("C:\\WINNT\\System32\\NTOSKRNL.EXE"));
         return Typical(t);
       },
       "NTOSKRNL.EXE is missing or unreadable"},
      {"a refused tree keeps what a cut rewrite of its hive left",
       [](TempImage& t) {
         t.WriteDriveFile("C:\\WINNT\\System32\\config\\.halshift~SOFTWARE.a1b2c3", "half a hive");
         std::filesystem::remove(t.DrivePath("C:\\WINNT\\System32\\NTOSKRNL.EXE"));
         return Typical(t);
       },
       "NTOSKRNL.EXE is missing or unreadable"},
      {"System32 linked out of the tree",
       [](TempImage& t) {
         LinkOut(t, "C:\\WINNT\\System32");
         return Typical(t);
       },
       "is a symbolic link or lies beyond one"},
      {"the repair folder linked out of the tree",
       [](TempImage& t) {
         LinkOut(t, "C:\\WINNT\\repair");
         return Typical(t);
       },
       "C:\\WINNT\\repair"},
      {"the log folder linked out of the tree",
       [](TempImage& t) {
         t.MakeDriveDirectory("C:\\ORVSYSTEM\\log");
         LinkOut(t, "C:\\ORVSYSTEM");
         return Typical(t);
       },
       "C:\\ORVSYSTEM"},
      {"the system drive given again as --drive",
       [](TempImage& t) { return Typical(t, {"--drive", "c=" + DriveFolder(t, 'D')}); },
       "--drive C: is the system drive"},
      {"an unreadable VM configuration",
       [](TempImage& t) { return Typical(t, {"--vm-config", (t.Root() / "none.vbox").string()}); },
       "--vm-config"},
      {"a VM configuration of no known kind",
       [](TempImage& t) {
         t.WriteImageFile("machine.cfg", "memory = 128\n");
         return Typical(t, {"--vm-config", (t.Root() / "machine.cfg").string()});
       },
       "neither a VirtualBox .vbox, a VMware .vmx nor a libvirt domain XML file"},
      {"a firmware dump of the wrong kind",
       [](TempImage& t) { return Typical(t, {"--firmware", DriveFolder(t, 'C') + "/BOOT.INI"}); },
       "--firmware"},
      {"--no-apic with a dump",
       [](TempImage& t) {
         return Typical(t, {"--firmware", (t.Root() / "memory" / "000F0000.bin").string(), "--no-apic"});
       },
       "--no-apic does not go with --firmware"},
      {"media that are neither folder nor image",
       [](TempImage& t) {
         auto arguments = Typical(t);
         arguments[3] = (t.Root() / "none.iso").string();
         return arguments;
       },
       "neither a folder nor an ISO 9660 image"},
      {"media that are not an ISO image",
       [](TempImage& t) {
         auto arguments = Typical(t);
         arguments[3] = (t.Root() / "registry.reg").string();
         return arguments;
       },
       "give the CD's folder or an ISO 9660 image"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    TempImage tree;
    MakeOfflineTree(tree);
    const std::vector<std::string> arguments = c.prepare(tree);
    const TreeSnapshot before = SnapshotTree(tree.Root());
    const ProgramRun run = RunProgram(arguments);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.rfind("halshift: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    const TreeSnapshot after = SnapshotTree(tree.Root());
    EXPECT_EQ(after, before) << Differences(before, after);
  }
}

// A Windows 2000 or NT 3.51 tree is that system: the program answers as it does there (text 113
// in a box, or nothing in a silent run) and changes nothing.
TEST(OfflineRefusalTest, AnotherVersionGetsTheAnswerOfThatSystem) {
  for (const char* kernel : {"w2k/ntoskrnl.exe", "nt351/ntoskrnl.exe"}) {
    SCOPED_TRACE(kernel);
    TempImage tree;
    MakeOfflineTree(tree);
    tree.WriteDriveFile("C:\\WINNT\\System32\\NTOSKRNL.EXE", StandinBytes(kernel));
    const TreeSnapshot before = SnapshotTree(tree.Root());
    const ProgramRun silent = RunProgram(Typical(tree));
    EXPECT_EQ(silent.exitCode, 0);
    EXPECT_EQ(silent.err, "");
    std::vector<std::string> interactive = Typical(tree);
    interactive.resize(interactive.size() - 2);
    const ProgramRun shown = RunProgram(interactive);
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_NE(shown.err.find(Text(strings::kUnsupportedOs)), std::string::npos) << shown.err;
    const TreeSnapshot after = SnapshotTree(tree.Root());
    EXPECT_EQ(after, before) << Differences(before, after);
  }
}

}  // namespace
}  // namespace halshift
