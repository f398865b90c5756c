// Test helpers for the offline mode: an NT 4.0 installation as it sits on disk, made from the
// typical example machine with its registry as NT 4.0 hives, the program run as a user starts
// it, and whole-tree snapshots that prove nothing changed.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/host_file.h"
#include "platform/image/offline.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"
#include "tests/support/machine_checks.h"
#include "tests/support/nt4_hive.h"
#include "platform/image/hive_registry.h"

namespace halshift::testing {

inline constexpr const char* kSoftwareHive = "C:\\WINNT\\System32\\config\\SOFTWARE";
inline constexpr const char* kSystemHive = "C:\\WINNT\\System32\\config\\SYSTEM";

// Writes the two hives of a plain installation into the tree (the image's drives/C).
inline void WriteHives(const TempImage& tree, const HiveKey& software = Nt4SoftwareHive(),
                       const HiveKey& system = Nt4SystemHive(), HiveOptions softwareOptions = {}) {
  std::filesystem::create_directories(tree.DrivePath("C:\\WINNT\\System32\\config"));
  WriteNt4Hive(tree.DrivePath(kSoftwareHive), software, softwareOptions);
  HiveOptions systemOptions;
  systemOptions.fileName = std::string(kSystemHiveName);
  WriteNt4Hive(tree.DrivePath(kSystemHive), system, systemOptions);
}

// The typical example machine as an installation on disk: drives/C is the system drive's
// folder (with its hives, nothing in use), drives/D the Service Pack CD's folder. machine.ini,
// registry.reg and memory/ stay beside them and are not read.
inline void MakeOfflineTree(const TempImage& tree) {
  CopyExample(tree, kTypicalExample);
  WriteHives(tree);
}

// The same machine as a machine image with nothing in use, for comparing with.
inline void MakeIdleImage(TempImage& image) {
  CopyExample(image, kTypicalExample);
  std::string ini = image.ReadImageFile("machine.ini").value_or("");
  ini = ini.substr(0, ini.find("[InUse]"));
  image.WriteImageFile("machine.ini", ini);
}

inline std::string DriveFolder(const TempImage& tree, char letter) {
  return (tree.Root() / "drives" / std::string(1, letter)).string();
}

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Reads what a pipe delivers until it closes.
inline std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return text;
}

// Runs a program with the arguments (argv[0] included), without a terminal (standard input
// from /dev/null, output into pipes); with environment, in an environment of just those
// entries, else in this process's own. Without capture, its output goes to /dev/null (for a
// program that leaves a server behind that would hold the pipes open).
inline ProgramRun RunExecutable(const char* program, const std::vector<std::string>& arguments,
                                const std::vector<std::string>* environment, bool capture = true) {
  ProgramRun run;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "no pipe";
    return run;
  }
  const pid_t child = fork();
  if (child == 0) {
    const int nothing = open("/dev/null", O_RDWR);
    dup2(nothing, 0);
    dup2(capture ? out[1] : nothing, 1);
    dup2(capture ? err[1] : nothing, 2);
    close(out[1]);
    close(err[1]);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (environment == nullptr) {
      execvp(program, argv.data());
      _exit(127);
    }
    std::vector<char*> envp;
    for (const std::string& entry : *environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    execve(program, argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Standard error is small; read standard output first, then standard error.
  run.out = Drain(out[0]);
  run.err = Drain(err[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The halshift program (HALSHIFT_BINARY) with the arguments after its name, in an environment
// of just the entries given.
inline ProgramRun RunProgram(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {}) {
  const char* program = std::getenv("HALSHIFT_BINARY");
  if (program == nullptr) {
    ADD_FAILURE() << "HALSHIFT_BINARY is not set";
    return {};
  }
  std::vector<std::string> argv = {"halshift"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunExecutable(program, argv, &environment);
}

// A tool of the system (genisoimage, ...) found on PATH, with its name first in arguments.
inline ProgramRun RunCommand(const std::vector<std::string>& arguments, bool capture = true) {
  return RunExecutable(arguments.at(0).c_str(), arguments, nullptr, capture);
}

// The tree opened in this process as the program opens it, with recording stand-ins of the
// services that talk to a person; fails the current test when it does not open.
inline std::unique_ptr<OpenedMachine> OpenOfflineWords(const std::vector<std::string>& words);

inline std::unique_ptr<OpenedMachine> OpenOfflineTree(const TempImage& tree,
                                                      std::vector<std::string> machine = {"--cpus", "2"}) {
  std::vector<std::string> words = {"--offline", DriveFolder(tree, 'C'), "--media", DriveFolder(tree, 'D')};
  words.insert(words.end(), machine.begin(), machine.end());
  return OpenOfflineWords(words);
}

// The same for the program's own options as given ("--offline", a disk, ...).
inline std::unique_ptr<OpenedMachine> OpenOfflineWords(const std::vector<std::string>& words) {
  std::vector<const char*> arguments;
  for (const std::string& word : words) arguments.push_back(word.c_str());
  std::string error;
  const auto options = image::ParseLinuxOptions(arguments, error);
  const auto offline = options ? image::DescribeOfflineMachine(*options, error) : std::nullopt;
  auto opened = std::make_unique<OpenedMachine>();
  if (offline) opened->image = image::MachineImage::OpenOffline(*offline, error);
  if (!opened->image) {
    ADD_FAILURE() << "the offline tree does not open: " << error;
    return nullptr;
  }
  opened->platform = std::make_unique<platform::Platform>(platform::Platform{
      opened->image->System(), opened->image->Registry(), opened->image->Files(),
      opened->image->Memory(), opened->image->Links(), opened->ui, opened->out, opened->clock});
  return opened;
}

// The end state of an offline tree, as machine_checks.h compares it: nothing is scheduled for
// a restart, and "opens" means that both hives are still NT 4.0 hives and SYSTEM is the one
// the tree was made with.
inline EndState ReadOfflineEndState(const TempImage& tree) {
  EndState state;
  state.raw = SnapshotFolder(tree, kSystem32);
  state.systemDirectory = state.raw;
  state.bootDrive = SnapshotFolder(tree, "C:");
  state.setupLog = tree.ReadDriveFile(kSetupLog).value_or("<missing>");
  state.setupLogBackup = tree.ReadDriveFile(kSetupLogBackup).value_or("<missing>");
  HiveOptions systemOptions;
  systemOptions.fileName = std::string(kSystemHiveName);
  state.opens = IsNt4Hive(tree.DrivePath(kSoftwareHive)) && IsNt4Hive(tree.DrivePath(kSystemHive)) &&
                tree.ReadDriveFile(kSystemHive) == Nt4HiveBytes(Nt4SystemHive(), systemOptions);
  image::FaultInjector faults;
  std::string error;
  const auto hives =
      image::HiveRegistry::Open(tree.DrivePath(kSoftwareHive), tree.DrivePath(kSystemHive), faults, error);
  state.currentType = hives ? ReadRegistryText(*hives, kCurrentVersionKeyPath, "CurrentType").text
                            : "<hives do not open: " + error + ">";
  return state;
}

// The typical run on a fresh tree, before and after, for comparing with.
inline TypicalRun CleanOfflineRun() {
  TypicalRun run;
  TempImage original;
  MakeOfflineTree(original);
  run.before = ReadOfflineEndState(original);
  TempImage clean;
  MakeOfflineTree(clean);
  {
    auto machine = OpenOfflineTree(clean);
    if (!machine) return run;
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    EXPECT_EQ(app.Shutdown(), 1);
  }
  run.after = ReadOfflineEndState(clean);
  for (const auto& [name, file] : run.before.raw) run.knownContents.insert(file.bytes);
  for (const auto& [name, file] : run.after.raw) run.knownContents.insert(file.bytes);
  return run;
}

// One more offline start with no keyword; returns its session's log.
inline std::string StartOfflineAgain(const TempImage& tree) {
  const std::string earlier = ReadLog(tree).value_or("");
  {
    auto machine = OpenOfflineTree(tree);
    if (!machine) return {};
    HalUtilityApp app(machine->Platform());
    app.Startup("");
    app.Shutdown();
  }
  const std::string log = ReadLog(tree).value_or("");
  return log.size() >= earlier.size() ? log.substr(earlier.size()) : log;
}

// Everything below a folder: each entry's relative path with its kind, permission bits,
// user.DOSATTRIB and bytes (a link's target), so that any change shows.
using TreeSnapshot = std::map<std::string, std::string>;

inline TreeSnapshot SnapshotTree(const std::filesystem::path& root) {
  TreeSnapshot snapshot;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    struct stat st {};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::string state = std::to_string(st.st_mode) + " ";
    char attribute[64] = {};
    const ssize_t length = lgetxattr(it->path().c_str(), "user.DOSATTRIB", attribute, sizeof attribute);
    if (length > 0) state += std::string(attribute, static_cast<std::size_t>(length));
    state += " ";
    if (S_ISLNK(st.st_mode)) {
      state += std::filesystem::read_symlink(it->path(), ec).string();
    } else if (S_ISREG(st.st_mode)) {
      state += ReadHostFile(it->path());
    }
    snapshot[it->path().lexically_relative(root).string()] = std::move(state);
  }
  return snapshot;
}

// The entries whose state differs between two snapshots, for a failure message.
inline std::string Differences(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::string out;
  for (const auto& [path, state] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      out += "  removed " + path + "\n";
    } else if (found->second != state) {
      out += "  changed " + path + "\n";
    }
  }
  for (const auto& [path, state] : after) {
    if (!before.contains(path)) out += "  added " + path + "\n";
  }
  return out;
}

}  // namespace halshift::testing
