// The offline mode end to end: halshift started as a user starts it on an NT 4.0 installation
// on disk (the typical example machine with its registry as NT 4.0 hives) leaves what the same
// run leaves on the machine image, with each way of describing the machine that will start it
// and with the media as a folder or an ISO image.
#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdlib>

#include "core/strings.h"
#include "tests/support/offline_tree.h"

namespace halshift {
namespace {

using namespace testing;

// A value of a hive as text, read with hivex itself; "<missing>" when it is not there.
std::string HiveText(const std::filesystem::path& hive, std::string_view keyPath,
                     const char* valueName) {
  hive_h* handle = hivex_open(hive.c_str(), 0);
  if (handle == nullptr) return "<unreadable>";
  hive_node_h node = hivex_root(handle);
  std::string_view rest = keyPath;
  while (node != 0 && !rest.empty()) {
    const auto slash = rest.find('\\');
    node = hivex_node_get_child(handle, node, std::string(rest.substr(0, slash)).c_str());
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  std::string text = "<missing>";
  const hive_value_h value = node == 0 ? 0 : hivex_node_get_value(handle, node, valueName);
  if (value != 0) {
    char* utf8 = hivex_value_string(handle, value);
    if (utf8 != nullptr) text = utf8;
    std::free(utf8);
  }
  hivex_close(handle);
  return text;
}

std::string CurrentType(const TempImage& tree) {
  return HiveText(tree.DrivePath(kSoftwareHive), "Microsoft\\Windows NT\\CurrentVersion",
                  "CurrentType");
}

std::string Firmware(const char* machine) {
  return std::string(HALSHIFT_FIRMWARE_FIXTURES) + "/" + machine;
}

// The arguments of an offline run of the tree with the media folder, before the keywords.
std::vector<std::string> OfflineArguments(const TempImage& tree, std::vector<std::string> machine,
                                          std::vector<std::string> windows) {
  std::vector<std::string> arguments = {"--offline", DriveFolder(tree, 'C'), "--media",
                                        DriveFolder(tree, 'D')};
  arguments.insert(arguments.end(), machine.begin(), machine.end());
  arguments.insert(arguments.end(), windows.begin(), windows.end());
  return arguments;
}

// What a run leaves that an offline run and an image run must agree on.
struct Outcome {
  FolderSnapshot systemDirectory;
  std::string bootMenu;
  std::string bootMenuBackup;
  std::string setupLog;
  std::string currentType;
  std::string driverEntries;
};

Outcome OutcomeOf(const TempImage& tree, std::string currentType) {
  return {SnapshotFolder(tree, kSystem32), tree.ReadDriveFile("C:\\BOOT.INI").value_or("<missing>"),
          tree.ReadDriveFile("C:\\BOOTINI.ORV").value_or("<missing>"),
          tree.ReadDriveFile(kSetupLog).value_or("<missing>"), std::move(currentType),
          DriverEntries(ReadLog(tree)).value_or("<no entries>")};
}

void ExpectSameOutcome(const Outcome& offline, const Outcome& image) {
  EXPECT_EQ(offline.systemDirectory, image.systemDirectory)
      << "offline:\n" << Describe(offline.systemDirectory) << "image:\n" << Describe(image.systemDirectory);
  EXPECT_EQ(offline.bootMenu, image.bootMenu);
  EXPECT_EQ(offline.bootMenuBackup, image.bootMenuBackup);
  EXPECT_EQ(offline.setupLog, image.setupLog);
  EXPECT_EQ(offline.currentType, image.currentType);
  EXPECT_EQ(offline.driverEntries, image.driverEntries);
}

// The same keywords on the machine image with nothing in use, as halshift runs there.
Outcome ImageOutcome(const std::string& commandLine, const TempImage* start = nullptr) {
  TempImage image;
  MakeIdleImage(image);
  if (start != nullptr) {
    // Start from the state an earlier offline run left: the same drive C.
    std::filesystem::remove_all(image.Root() / "drives" / "C");
    std::filesystem::copy(start->Root() / "drives" / "C", image.Root() / "drives" / "C",
                          std::filesystem::copy_options::recursive);
    std::filesystem::remove_all(image.DrivePath("C:\\ORVSYSTEM"));
    std::string registry = image.ReadImageFile("registry.reg").value_or("");
    const std::string from = "\"CurrentType\"=\"Uniprocessor Free\"";
    registry.replace(registry.find(from), from.size(),
                     "\"CurrentType\"=\"" + CurrentType(*start) + "\"");
    image.WriteImageFile("registry.reg", registry);
  }
  const SilentRun run = RunSilent(image, commandLine);
  EXPECT_EQ(run.exitCode, 1) << run.log.value_or("<no log>");
  auto machine = OpenMachine(image);
  std::string currentType = machine ? ReadRegistryText(machine->image->Registry(),
                                                       kCurrentVersionKeyPath, "CurrentType").text
                                    : "<no image>";
  return OutcomeOf(image, currentType);
}

TEST(OfflineRunTest, UpgradeAndEnableLeaveWhatTheImageRunLeaves) {
  TempImage tree;
  MakeOfflineTree(tree);
  const std::string system = tree.ReadDriveFile(kSystemHive).value_or("");
  // What a cut rewrite of the hive left goes once the tree is accepted.
  tree.WriteDriveFile("C:\\WINNT\\System32\\config\\.halshift~SOFTWARE.a1b2c3", "half a hive");
  const ProgramRun run = RunProgram(
      OfflineArguments(tree, {"--cpus", "2"}, {"upgrade_hal", "enable_recovery"}));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(run.err, "");
  // The recovery operation prints the running entry, as on the machine.
  EXPECT_EQ(run.out, std::string(kRunningEntry) + "\n");
  EXPECT_EQ(CurrentType(tree), "Multiprocessor Free");
  ExpectSameOutcome(OutcomeOf(tree, CurrentType(tree)), ImageOutcome("upgrade_hal enable_recovery"));
  // Both hives are still hives NT 4.0 loads, and SYSTEM was not written.
  EXPECT_TRUE(IsNt4Hive(tree.DrivePath(kSoftwareHive)));
  EXPECT_TRUE(IsNt4Hive(tree.DrivePath(kSystemHive)));
  EXPECT_EQ(tree.ReadDriveFile(kSystemHive).value_or(""), system);
  // Nothing waits for a restart: the old HAL and kernel are gone, not parked.
  for (const auto& [name, file] : SnapshotFolder(tree, kSystem32)) {
    EXPECT_FALSE(name.rfind("DEL", 0) == 0 || name.rfind("HSN", 0) == 0) << name;
  }
  EXPECT_FALSE(tree.ReadDriveFile(kIntentRecord).has_value());
  EXPECT_FALSE(tree.ReadDriveFile("C:\\WINNT\\System32\\config\\.halshift~SOFTWARE.a1b2c3"));

  // And back: the downgrade and the removal of the entry, from the state the first run left.
  const TempImage& upgraded = tree;
  const Outcome expected = ImageOutcome("downgrade_hal disable_recovery", &upgraded);
  std::filesystem::remove_all(tree.DrivePath("C:\\ORVSYSTEM"));
  const ProgramRun back = RunProgram(
      OfflineArguments(tree, {"--cpus", "1"}, {"downgrade_hal", "disable_recovery"}));
  EXPECT_EQ(back.exitCode, 1) << back.err;
  EXPECT_EQ(CurrentType(tree), "Uniprocessor Free");
  ExpectSameOutcome(OutcomeOf(tree, CurrentType(tree)), expected);
  EXPECT_TRUE(IsNt4Hive(tree.DrivePath(kSoftwareHive)));
  EXPECT_EQ(tree.ReadDriveFile(kSystemHive).value_or(""), system);
}

// Each way of describing the machine that will start the tree, and the media as a folder or an
// ISO image: the same upgrade, with two processors seen.
TEST(OfflineRunTest, EveryMachineSourceAndBothMediaKinds) {
  const Outcome expected = ImageOutcome("upgrade_hal enable_recovery");
  TempImage configs;
  configs.WriteImageFile("nt4.vbox",
                         "<?xml version=\"1.0\"?>\n<VirtualBox xmlns=\"http://www.virtualbox.org/\" "
                         "version=\"1.16-linux\">\n<Machine name=\"nt4\" OSType=\"WindowsNT4\">\n"
                         "<Hardware><CPU count=\"2\"/><BIOS><IOAPIC enabled=\"true\"/></BIOS>"
                         "</Hardware>\n</Machine>\n</VirtualBox>\n");
  configs.WriteImageFile("nt4.vmx", ".encoding = \"UTF-8\"\nconfig.version = \"8\"\n"
                                    "virtualHW.version = \"4\"\nnumvcpus = \"2\"\nguestOS = \"winnt\"\n");
  configs.WriteImageFile("nt4.xml", "<domain type='kvm'>\n  <name>nt4</name>\n  <memory unit='MiB'>128"
                                    "</memory>\n  <vcpu placement='static'>2</vcpu>\n  <os><type "
                                    "arch='i686'>hvm</type></os>\n</domain>\n");
  const std::string folder = configs.Root().string() + "/";
  struct Case {
    const char* name;
    std::vector<std::string> machine;
    bool isoMedia;
    bool hiddenCores;  // the firmware lists fewer processors than its cores: the notice first
  };
  const Case cases[] = {
      {"--cpus", {"--cpus", "2"}, false, false},
      {"--cpus=", {"--cpus=2"}, false, false},
      {"VirtualBox", {"--vm-config", folder + "nt4.vbox"}, false, false},
      {"VMware", {"--vm-config", folder + "nt4.vmx"}, false, false},
      {"libvirt", {"--vm-config", folder + "nt4.xml"}, false, false},
      {"a QEMU firmware dump", {"--firmware", Firmware("pc-128m-smp4-s2c2/000F0000.bin")}, false,
       true},
      {"an ISO image", {"--cpus", "2"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempImage tree;
    MakeOfflineTree(tree);
    std::vector<std::string> arguments = OfflineArguments(tree, c.machine, {"upgrade_hal", "enable_recovery"});
    if (c.isoMedia) {
      const std::string iso = (tree.Root() / "sp6.iso").string();
      const ProgramRun made = RunCommand({"genisoimage", "-quiet", "-J", "-R", "-o", iso, DriveFolder(tree, 'D')});
      ASSERT_EQ(made.exitCode, 0) << made.err;
      std::filesystem::remove_all(DriveFolder(tree, 'D'));
      arguments[3] = iso;
    }
    const ProgramRun run = RunProgram(arguments);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const std::optional<std::string> log = ReadLog(tree);
    EXPECT_NE(log.value_or("").find("Installed Processors:       2\r\n"), std::string::npos)
        << log.value_or("");
    Outcome outcome = OutcomeOf(tree, CurrentType(tree));
    if (c.hiddenCores) {
      // Two sockets of two cores, of which SeaBIOS lists the first of each.
      const std::string notice =
          "The firmware reports 4 enabled processor cores, but lists only 2 processors for the "
          "operating system. Windows NT 4.0 starts only the processors that the firmware lists; "
          "on a virtual machine, please give it one core per socket.\r\n";
      ASSERT_EQ(outcome.driverEntries.rfind(notice, 0), 0u) << outcome.driverEntries;
      outcome.driverEntries.erase(0, notice.size());
    }
    ExpectSameOutcome(outcome, expected);
  }
}

// The running entry found without setup.log (from the boot menu entry of the system root's
// directory), and on a boot partition of its own given with --drive.
TEST(OfflineRunTest, TheRunningEntryWithoutSetupLogAndOnABootPartitionOfItsOwn) {
  const Outcome expected = ImageOutcome("upgrade_hal enable_recovery");
  for (const bool separateBoot : {false, true}) {
    SCOPED_TRACE(separateBoot ? "a boot partition of its own" : "no setup.log");
    TempImage tree;
    MakeOfflineTree(tree);
    std::vector<std::string> arguments = OfflineArguments(tree, {"--cpus", "2"}, {"upgrade_hal", "enable_recovery"});
    const std::filesystem::path boot = tree.Root() / "drives" / "E";
    if (separateBoot) {
      std::filesystem::create_directories(boot);
      for (const char* name : {"BOOT.INI", "NTLDR", "NTDETECT.COM"}) {
        std::filesystem::rename(tree.DrivePath(std::string("C:\\") + name), boot / name);
      }
      arguments.insert(arguments.begin(), {"--drive", "E=" + boot.string()});
    } else {
      std::filesystem::remove(tree.DrivePath(kSetupLog));
    }
    const ProgramRun run = RunProgram(arguments);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out, std::string(kRunningEntry) + "\n");
    EXPECT_EQ(CurrentType(tree), "Multiprocessor Free");
    EXPECT_EQ(SnapshotFolder(tree, kSystem32), expected.systemDirectory);
    const std::string menu = separateBoot ? tree.ReadImageFile("drives/E/BOOT.INI").value_or("")
                                          : tree.ReadDriveFile("C:\\BOOT.INI").value_or("");
    EXPECT_EQ(menu, expected.bootMenu);
  }
}

// Without a keyword and without a terminal: the session inspects the tree, logs its state and
// ends as a session whose window could not open, changing nothing but the log.
TEST(OfflineRunTest, InspectionLogsTheStateOfTheTree) {
  TempImage tree;
  MakeOfflineTree(tree);
  const TreeSnapshot before = SnapshotTree(tree.Root() / "drives");
  const ProgramRun run = RunProgram(OfflineArguments(tree, {"--cpus", "4", "--no-apic"}, {}));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const std::string log = ReadLog(tree).value_or("");
  EXPECT_NE(log.find("Current State:\r\nHAL:                        Uniprocessor HAL\r\n"
                     "Installed Processors:       4\r\nHAL Recovery:               Not Present\r\n"),
            std::string::npos)
      << log;
  TreeSnapshot after = SnapshotTree(tree.Root() / "drives");
  for (auto it = after.begin(); it != after.end();) {
    it = it->first.rfind("C/ORVSYSTEM", 0) == 0 ? after.erase(it) : std::next(it);
  }
  EXPECT_EQ(after, before) << Differences(before, after);
}

}  // namespace
}  // namespace halshift
