// What a machine must look like after any cut-off run of the typical silent session and one
// more start: the checks that the failing-call and the stop sweeps share.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "tests/support/example_machine.h"
#include "tests/support/silent_run.h"

namespace halshift::testing {

inline constexpr const char* kTypicalExample = "smp-uniprocessor-hal";
inline constexpr const char* kTypicalCommandLine = "upgrade_hal enable_recovery";
inline constexpr const char* kIntentRecord = "C:\\ORVSYSTEM\\log\\halshift.jnl";

// The machine as it will be after its next restart: files scheduled for deletion are gone.
struct EndState {
  FolderSnapshot raw;              // the system directory now
  FolderSnapshot systemDirectory;  // the same without the files deleted at the restart
  std::set<std::string> scheduled;  // names in the system directory deleted at the restart
  FolderSnapshot bootDrive;        // the files in C:\ (the log's folder aside)
  std::string currentType;
  std::string setupLog;            // "<missing>" when there is none
  std::string setupLogBackup;      // the same
  bool opens = false;              // machine.ini and registry.reg parse
};

inline EndState ReadEndState(const TempImage& image) {
  EndState state;
  state.raw = SnapshotFolder(image, kSystem32);
  state.systemDirectory = state.raw;
  state.bootDrive = SnapshotFolder(image, "C:");
  state.setupLog = image.ReadDriveFile(kSetupLog).value_or("<missing>");
  state.setupLogBackup = image.ReadDriveFile(kSetupLogBackup).value_or("<missing>");
  std::string error;
  auto opened = image::MachineImage::Open(image.Root(), error);
  state.opens = opened != nullptr;
  if (!opened) return state;
  for (const std::string& path : PendingDeletions(opened->Registry())) {
    const std::string name = text::ToUpper(path.substr(path.rfind('\\') + 1));
    if (text::EqualsIgnoreCase(path.substr(0, path.rfind('\\')), kSystem32)) {
      state.systemDirectory.erase(name);
      state.scheduled.insert(name);
    }
  }
  state.currentType =
      ReadRegistryText(opened->Registry(), kCurrentVersionKeyPath, "CurrentType").text;
  return state;
}

// A file of a snapshot; "<missing>" when it is not there.
inline FileState At(const FolderSnapshot& snapshot, const char* name) {
  const auto found = snapshot.find(name);
  return found != snapshot.end() ? found->second : FileState{"<missing>", 0};
}

// The machine before and after a clean typical run, for comparing with.
struct TypicalRun {
  EndState before;
  EndState after;
  std::set<std::string> knownContents;  // every content a system file may rightly hold
};

inline TypicalRun CleanTypicalRun() {
  TypicalRun run;
  TempImage original;
  CopyExample(original, kTypicalExample);
  run.before = ReadEndState(original);
  TempImage clean;
  CopyExample(clean, kTypicalExample);
  EXPECT_EQ(RunSilent(clean, kTypicalCommandLine).exitCode, 1);
  run.after = ReadEndState(clean);
  for (const auto& [name, file] : run.before.raw) run.knownContents.insert(file.bytes);
  for (const auto& [name, file] : run.after.raw) run.knownContents.insert(file.bytes);
  return run;
}

// One more start with no keyword, as the user would start halshift after the cut; returns its
// session's log (everything from its header on).
inline std::string StartAgain(const TempImage& image) {
  const std::string earlier = ReadLog(image).value_or("");
  {
    auto machine = OpenMachine(image);
    if (!machine) return {};
    HalUtilityApp app(machine->Platform());  // no window: the session ends as if it was closed
    app.Startup("");
    app.Shutdown();
  }
  const std::string log = ReadLog(image).value_or("");
  return log.size() >= earlier.size() ? log.substr(earlier.size()) : log;
}

// Every file below the image whose name says it is temporary and nobody's to keep.
inline std::vector<std::string> Leftovers(const TempImage& image, const EndState& state) {
  std::vector<std::string> found;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(image.Root(), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string upper = text::ToUpper(name);
    const bool systemFile = it->path().parent_path() == image.DrivePath("C:\\WINNT\\System32");
    if (name.rfind(".halshift~", 0) == 0 || upper.rfind("HSN", 0) == 0 ||
        upper.rfind("BMT", 0) == 0 || upper.rfind("SLT", 0) == 0 || upper == "HALSHIFT.JNL" ||
        (systemFile && upper.rfind("DEL", 0) == 0 && !state.scheduled.contains(upper))) {
      found.push_back(it->path().lexically_relative(image.Root()).string());
    }
  }
  return found;
}

// The text that tells that setup.log could not follow a switch, as the log stores it.
inline std::string SetupLogNotUpdatedEntry() {
  return Crlf(text::FillIn(Text(strings::kSetupLogNotUpdated), {kSetupLog}) + "\n");
}

// setup.log is the old file or the new one, never a part of either; once it is the new one,
// its backup holds the old one.
inline void ExpectWholeSetupLog(const TypicalRun& typical, const EndState& state) {
  const bool oldLog = state.setupLog == typical.before.setupLog;
  EXPECT_TRUE(oldLog || state.setupLog == typical.after.setupLog) << state.setupLog;
  if (!oldLog) {
    EXPECT_EQ(state.setupLogBackup, typical.before.setupLog);
  }
}

// The machine starts with a matching HAL and kernel, its kind recorded as it is, setup.log in
// step with them (unless setupLogMayLag: the log told that it could not follow), every file
// whole, and nothing left behind.
inline void ExpectConsistent(const TempImage& image, const TypicalRun& typical,
                             const EndState& state, bool setupLogMayLag = false) {
  EXPECT_TRUE(state.opens) << "machine.ini or registry.reg does not parse";
  const FolderSnapshot& before = typical.before.systemDirectory;
  const FolderSnapshot& after = typical.after.systemDirectory;
  const auto holds = [&](const char* name, const FolderSnapshot& reference) {
    return At(state.systemDirectory, name).bytes == At(reference, name).bytes;
  };
  const bool oldPair = holds("HAL.DLL", before) && holds("NTOSKRNL.EXE", before);
  const bool newPair = holds("HAL.DLL", after) && holds("NTOSKRNL.EXE", after);
  EXPECT_TRUE(oldPair || newPair) << "HAL and kernel do not match:\n"
                                  << Describe(state.systemDirectory);
  EXPECT_EQ(state.currentType, newPair ? typical.after.currentType : typical.before.currentType);
  ExpectWholeSetupLog(typical, state);
  if (!setupLogMayLag) {
    EXPECT_EQ(state.setupLog, newPair ? typical.after.setupLog : typical.before.setupLog)
        << "setup.log is not in step with the HAL and kernel";
  }
  // The spare pair for the recovery entry: both there or neither.
  EXPECT_EQ(state.systemDirectory.contains("UPHAL.DLL"), state.systemDirectory.contains("UPKERNEL.EXE"));
  if (state.systemDirectory.contains("UPHAL.DLL")) {
    EXPECT_TRUE(holds("UPHAL.DLL", after) && holds("UPKERNEL.EXE", after));
  }
  for (const auto& [name, file] : state.raw) {
    EXPECT_TRUE(typical.knownContents.contains(file.bytes))
        << name << " holds " << file.bytes.size() << " bytes of no old or new file";
  }
  const std::string menu = At(state.bootDrive, "BOOT.INI").bytes;
  const bool oldMenu = menu == At(typical.before.bootDrive, "BOOT.INI").bytes;
  EXPECT_TRUE(oldMenu || menu == At(typical.after.bootDrive, "BOOT.INI").bytes) << menu;
  if (!oldMenu) {
    EXPECT_EQ(At(state.bootDrive, "BOOTINI.ORV").bytes, At(typical.before.bootDrive, "BOOT.INI").bytes);
  }
  EXPECT_EQ(Leftovers(image, state), std::vector<std::string>{});
}

// How a stop sweep reaches its machine: a fresh one made, the typical session run on it and
// stopped before its step-th disk step (false when it ended first), its end state, and the
// next start (its log).
struct StopSweep {
  std::function<void(TempImage&)> make;
  std::function<bool(const TempImage&, int)> runStoppedAt;
  std::function<EndState(const TempImage&)> endState;
  std::function<std::string(const TempImage&)> startAgain;
};

struct StopSweepCount {
  int stops = 0;
  int finished = 0;  // stops that left an intent record for the next start
};

// The typical session stopped before each of its disk steps in turn, each on a fresh machine.
// At once BOOT.INI and setup.log are whole (the old file or the new); after the next start
// the machine is consistent, and a record left was completed or undone, as its log says.
inline StopSweepCount SweepEveryStop(const TypicalRun& typical, const StopSweep& sweep) {
  const std::string oldMenu = At(typical.before.bootDrive, "BOOT.INI").bytes;
  const std::string newMenu = At(typical.after.bootDrive, "BOOT.INI").bytes;
  StopSweepCount count;
  for (int step = 1;; ++step) {
    SCOPED_TRACE("stopped before disk step " + std::to_string(step));
    TempImage image;
    sweep.make(image);
    if (!sweep.runStoppedAt(image, step)) break;
    ++count.stops;

    const std::string menu = image.ReadDriveFile("C:\\BOOT.INI").value_or("<missing>");
    EXPECT_TRUE(menu == oldMenu || menu == newMenu) << menu;
    ExpectWholeSetupLog(typical, sweep.endState(image));

    const bool recordLeft = image.ReadDriveFile(kIntentRecord).has_value();
    const std::string second = sweep.startAgain(image);
    ExpectConsistent(image, typical, sweep.endState(image));
    if (recordLeft) {
      ++count.finished;
      const bool completed = second.find(Crlf(Text(strings::kInterruptedCompleted))) != std::string::npos;
      const bool undone = second.find(Crlf(Text(strings::kInterruptedUndone))) != std::string::npos;
      EXPECT_TRUE(completed || undone) << second;
    }
    if (::testing::Test::HasFailure()) break;  // one broken point tells the story; the rest would repeat it
  }
  return count;
}

}  // namespace halshift::testing
