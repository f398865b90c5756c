// The typical silent run with one failing platform write at a time: whatever call fails, the
// machine holds a matching HAL and kernel, an old or new boot menu, no half-written or stray
// file, and the log tells of every failure that changed the outcome.
#include <gtest/gtest.h>

#include <set>

#include "app/strings.h"
#include "tests/support/silent_run.h"
#include "tests/support/example_machine.h"

namespace halshift {
namespace {

using namespace testing;

constexpr const char* kCommandLine = "upgrade_hal enable_recovery";

// The machine as it will be after its next start: files scheduled for deletion are gone.
struct EndState {
  FolderSnapshot systemDirectory;
  FolderSnapshot bootDrive;  // the files in C:\, the log's folder aside
  std::string currentType;
  FolderSnapshot raw;        // the system directory before the restart
};

EndState ReadEndState(const TempImage& image) {
  EndState state;
  state.raw = SnapshotFolder(image, kSystem32);
  state.systemDirectory = state.raw;
  state.bootDrive = SnapshotFolder(image, "C:");
  auto machine = OpenMachine(image);
  for (const std::string& path : PendingDeletions(machine->Platform().registry)) {
    const std::string name = text::ToUpper(path.substr(path.rfind('\\') + 1));
    if (text::EqualsIgnoreCase(path.substr(0, path.rfind('\\')), kSystem32)) {
      state.systemDirectory.erase(name);
    }
  }
  state.currentType =
      ReadRegistryText(machine->Platform().registry, kCurrentVersionKeyPath, "CurrentType").text;
  return state;
}

FolderSnapshot Without(FolderSnapshot snapshot, std::initializer_list<const char*> names) {
  for (const char* name : names) snapshot.erase(name);
  return snapshot;
}

// A file of a snapshot; "<missing>" when it is not there.
FileState At(const FolderSnapshot& snapshot, const char* name) {
  const auto found = snapshot.find(name);
  return found != snapshot.end() ? found->second : FileState{"<missing>", 0};
}

bool Contains(const std::optional<std::string>& text, unsigned id) {
  return text && text->find(Crlf(Text(id))) != std::string::npos;
}

TEST(SilentRunFaultsTest, EveryFailingWriteLeavesAConsistentMachine) {
  TempImage original;
  CopyExample(original, "smp-uniprocessor-hal");
  const EndState before = ReadEndState(original);

  // A clean run: the end state to compare with, and how often each operation is called.
  TempImage clean;
  CopyExample(clean, "smp-uniprocessor-hal");
  std::map<image::Call, int> callCounts;
  SilentRun cleanRun = RunSilent(clean, kCommandLine, [](image::MachineImage&) {});
  {
    // Count on a second clean copy, from the moment the image is opened as the runs do.
    TempImage counted;
    CopyExample(counted, "smp-uniprocessor-hal");
    auto machine = OpenMachine(counted);
    ASSERT_TRUE(machine);
    HalUtilityApp app(machine->Platform());
    app.Startup(kCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
    for (const image::CallInfo& info : image::kCalls) {
      if (info.changesMachine) callCounts[info.call] = machine->image->Faults().CallCount(info.call);
    }
  }
  ASSERT_EQ(cleanRun.exitCode, 1);
  const EndState after = ReadEndState(clean);
  ASSERT_NE(At(after.systemDirectory, "HAL.DLL"), At(before.systemDirectory, "HAL.DLL"));
  ASSERT_TRUE(after.systemDirectory.contains("HAL.DLL") && before.systemDirectory.contains("HAL.DLL"));

  // Every content a file of the system directory may rightly hold.
  std::set<std::string> knownContents;
  for (const auto& [name, file] : before.raw) knownContents.insert(file.bytes);
  for (const auto& [name, file] : after.raw) knownContents.insert(file.bytes);
  std::set<std::string> bootDriveNames;
  for (const auto& [name, file] : after.bootDrive) bootDriveNames.insert(name);

  int runs = 0;
  for (const auto& [operation, calls] : callCounts) {
    const std::string callName(image::NameOf(operation));
    EXPECT_GT(calls + (operation == image::Call::kCreateDirectory ? 1 : 0), 0)
        << callName << " is never called";
    for (int nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(callName + " call " + std::to_string(nth) + " fails");
      ++runs;
      TempImage image;
      CopyExample(image, "smp-uniprocessor-hal");
      const SilentRun run = RunSilent(image, kCommandLine, [&](image::MachineImage& machine) {
        machine.Faults().FailCall(operation, nth);
      });
      const EndState state = ReadEndState(image);

      // The HAL and the kernel are a pair.
      const bool oldHal = At(state.systemDirectory, "HAL.DLL").bytes == At(before.systemDirectory, "HAL.DLL").bytes;
      const bool oldKernel =
          At(state.systemDirectory, "NTOSKRNL.EXE").bytes == At(before.systemDirectory, "NTOSKRNL.EXE").bytes;
      EXPECT_EQ(oldHal, oldKernel);
      EXPECT_TRUE(oldHal || At(state.systemDirectory, "HAL.DLL") == At(after.systemDirectory, "HAL.DLL"));
      EXPECT_TRUE(oldKernel ||
                  At(state.systemDirectory, "NTOSKRNL.EXE") == At(after.systemDirectory, "NTOSKRNL.EXE"));

      // The boot menu is the old one or the new one, and no file is half written or left over.
      const std::string menu = At(state.bootDrive, "BOOT.INI").bytes;
      const bool oldMenu = menu == At(before.bootDrive, "BOOT.INI").bytes;
      EXPECT_TRUE(oldMenu || menu == At(after.bootDrive, "BOOT.INI").bytes) << menu;
      for (const auto& [name, file] : state.raw) {
        EXPECT_TRUE(knownContents.contains(file.bytes)) << name << " holds " << file.bytes.size() << " unknown bytes";
      }
      for (const auto& [name, file] : state.bootDrive) {
        EXPECT_TRUE(bootDriveNames.contains(name)) << "stray file C:\\" << name;
      }

      const std::optional<std::string> entries = DriverEntries(run.log);
      if (run.exitCode == 1) {
        EXPECT_EQ(state.systemDirectory, after.systemDirectory) << Describe(state.systemDirectory);
        // The attributes of the boot menu files are set as well as can be, never checked.
        EXPECT_EQ(At(state.bootDrive, "BOOT.INI").bytes, At(after.bootDrive, "BOOT.INI").bytes);
        // A rewritten boot menu always has its backup beside it.
        EXPECT_EQ(At(state.bootDrive, "BOOTINI.ORV").bytes, At(after.bootDrive, "BOOTINI.ORV").bytes);
        EXPECT_EQ(state.currentType, after.currentType);
        continue;
      }
      if (!run.log) {
        // The log could not be opened: the silent run stops before it changes anything.
        EXPECT_EQ(state.systemDirectory, before.systemDirectory);
        EXPECT_EQ(state.bootDrive, before.bootDrive);
        EXPECT_EQ(state.currentType, before.currentType);
        continue;
      }
      // A failed step leaves its part as it was, and the log says so.
      const bool halSwitched =
          Without(state.systemDirectory, {"UPHAL.DLL", "UPKERNEL.EXE"}) !=
          Without(before.systemDirectory, {"UPHAL.DLL", "UPKERNEL.EXE"});
      if (halSwitched) {
        EXPECT_EQ(Without(state.systemDirectory, {"UPHAL.DLL", "UPKERNEL.EXE"}),
                  Without(after.systemDirectory, {"UPHAL.DLL", "UPKERNEL.EXE"}));
        EXPECT_EQ(state.currentType, after.currentType);
      } else {
        EXPECT_EQ(state.currentType, before.currentType);
        if (entries) {
          EXPECT_TRUE(Contains(entries, strings::kUpgradeFailed)) << *entries;
        }
      }
      if (oldMenu && entries) {
        EXPECT_TRUE(Contains(entries, strings::kEnableFailed)) << *entries;
      }
      if (entries) {
        EXPECT_TRUE(Contains(entries, strings::kEnableFailed) || Contains(entries, strings::kUpgradeFailed))
            << *entries;
      }
    }
  }
  EXPECT_GT(runs, 40);
}

}  // namespace
}  // namespace halshift
