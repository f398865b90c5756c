// The whole silent run "upgrade_hal enable_recovery" on a machine image, beside a durable copy
// of the same media files to their destinations in the same run: the ratio of the two is what
// the program costs over the bytes it must put on disk. Measured twice:
// - BM_SilentRun: the program started as a user starts it, beside a shell script that copies
//   each file and syncs it (cp and sync), process starts included on both sides;
// - BM_SilentRunInProcess: the session run inside this process, beside the same copies made
//   with the bare system calls: the stricter figure, free of what starting processes costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "core/strings.h"
#include "bench/ratio.h"
#include "hal/upgrade.h"
#include "platform/image/console.h"
#include "platform/image/machine_image.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kCommandLine = "upgrade_hal enable_recovery";
constexpr const char* kExample = "smp-uniprocessor-hal";
// A full-sized NT 4.0 installation: its system directory and its Windows directory hold this
// many entries, the example's own included.
constexpr int kFullSystem32Entries = 2000;
constexpr int kFullWinntEntries = 200;
constexpr std::size_t kFillerBytes = 512;

// The run shows no box; one that appears anyway is counted, never waited for.
class NoBoxes : public halshift::platform::UserInterface {
 public:
  int MessageBox(halshift::platform::BoxOwner, std::string_view, std::string_view,
                 unsigned style) override {
    ++shown;
    return (style & 0xF) == halshift::platform::kMbYesNo ? halshift::platform::kIdYes
                                                         : halshift::platform::kIdOk;
  }
  std::string LoadString(unsigned id) override {
    return std::string(halshift::strings::BuiltInString(id));
  }
  void ShowHelp(std::string_view) override {}
  int shown = 0;
};

class DiscardedOutput : public halshift::platform::StandardOutput {
 public:
  void Write(std::string_view) override {}
};

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A whole file, read into a string of its size.
std::optional<std::string> ReadWhole(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) return std::nullopt;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  const bool read = ::read(fd, bytes.data(), bytes.size()) == st.st_size;
  close(fd);
  if (!read) return std::nullopt;
  return bytes;
}

// Flushes the file system that holds the path, so that what an untimed step wrote is not paid
// for by the next timed one.
void FlushFileSystem(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

// A temporary folder holding the base images and the copies of each iteration; removed with
// everything in it when the benchmark ends.
class Workspace {
 public:
  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "halshift-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~Workspace() {
    if (root_.empty()) return;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
};

// The base image: the example as shipped, or with its Windows and system directories filled
// to full size with small files named as an installation names them (lower case).
bool MakeBaseImage(const fs::path& base, bool fullSized, std::string& error) {
  const fs::path example = fs::path(HALSHIFT_EXAMPLES) / kExample;
  std::error_code ec;
  fs::copy(example, base, fs::copy_options::recursive, ec);
  if (ec) {
    error = "cannot copy " + example.string() + ": " + ec.message();
    return false;
  }
  if (!fullSized) return true;
  const auto fill = [&](const fs::path& folder, int entries, const char* stem, const char* ext) {
    int present = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      ++present;
    }
    const std::string filler(kFillerBytes, 'x');
    for (int i = 0; present + i < entries; ++i) {
      char name[32];
      std::snprintf(name, sizeof(name), "%s%04d.%s", stem, i, ext);
      if (!WriteFile(folder / name, filler)) return false;
    }
    return !ec;
  };
  const fs::path winnt = base / "drives" / "C" / "WINNT";
  if (!fill(winnt / "System32", kFullSystem32Entries, "sys", "dll") ||
      !fill(winnt, kFullWinntEntries, "win", "ini")) {
    error = "cannot fill the full-sized image";
    return false;
  }
  return true;
}

// The media files the run installs and their destinations in the system directory: the
// recovery's spare uniprocessor pair, then the multiprocessor set.
std::vector<std::pair<std::string, std::string>> InstalledPairs() {
  using namespace halshift::hal;
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i < RecoveryFileNames.size(); ++i) {
    pairs.emplace_back(UniprocessorSourceNames[i], RecoveryFileNames[i]);
  }
  for (std::size_t i = 0; i < SystemFileNames.size(); ++i) {
    pairs.emplace_back(MultiprocessorSourceNames[i], SystemFileNames[i]);
  }
  return pairs;
}

// The media file of each installed pair as the CD holds it (plain, or with "_" as its last
// character), and its destination.
std::optional<std::vector<std::pair<fs::path, fs::path>>> CopiedFiles(const fs::path& image) {
  const fs::path media = image / "drives" / "D" / "I386";
  const fs::path system = image / "drives" / "C" / "WINNT" / "System32";
  std::vector<std::pair<fs::path, fs::path>> files;
  for (const auto& [source, destination] : InstalledPairs()) {
    fs::path from = media / source;
    if (!fs::is_regular_file(from)) {
      std::string compressed = source;
      compressed.back() = '_';
      from = media / compressed;
    }
    if (!fs::is_regular_file(from)) return std::nullopt;
    files.emplace_back(from, system / destination);
  }
  return files;
}

// Runs a program with the arguments and the extra environment entries, its output discarded;
// its exit code, or -1 when it could not be started or did not exit.
int RunProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& extra) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  for (const std::string& entry : extra) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The durable copy as a shell script makes it: each media file copied to its destination with
// cp, and the copy synced with sync, in one script started for the purpose.
bool ScriptedCopy(const std::vector<std::pair<fs::path, fs::path>>& files) {
  std::vector<std::string> arguments{
      "/bin/sh", "-c",
      "while [ $# -gt 1 ]; do cp \"$1\" \"$2\" && sync \"$2\" || exit 1; shift 2; done",
      "sh"};
  for (const auto& [from, to] : files) {
    arguments.push_back(from.string());
    arguments.push_back(to.string());
  }
  return RunProgram(arguments, {}) == 0;
}

// The floor: each media file read, written over its destination and flushed to the disk.
bool DurableCopy(const std::vector<std::pair<fs::path, fs::path>>& files) {
  for (const auto& [from, to] : files) {
    const std::optional<std::string> bytes = ReadWhole(from);
    if (!bytes) return false;
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write(fd, bytes->data(), bytes->size()) ==
                             static_cast<ssize_t>(bytes->size()) &&
                         fsync(fd) == 0;
    if (close(fd) != 0 || !written) return false;
  }
  return true;
}

// One silent session over the image, wired as the Linux entry point wires it without a
// terminal; the exit code, or -1 when the image does not open or a box was shown.
int SilentRun(const fs::path& image) {
  std::string error;
  auto machine = halshift::image::MachineImage::Open(image, error);
  if (!machine) return -1;
  NoBoxes ui;
  DiscardedOutput out;
  halshift::image::SystemClock clock;
  halshift::platform::Platform platform{machine->System(), machine->Registry(), machine->Files(),
                                        machine->Memory(), machine->Links(),    ui,
                                        out,               clock};
  halshift::HalUtilityApp app(platform);
  app.Startup(kCommandLine);
  const int exitCode = app.Shutdown();
  return ui.shown == 0 ? exitCode : -1;
}

// Fresh copies of the base image for the work and for the floor, untimed and flushed, so that
// both timed steps start from the same state. They are removed only at the end: files deleted
// just before would slow the creation of new ones on some file systems (ext4 without a journal
// avoids reusing their inodes).
bool FreshCopies(const Workspace& workspace, int iteration, fs::path& runImage,
                 fs::path& floorImage) {
  const fs::path base = workspace.Root() / "base";
  const std::string suffix = std::to_string(iteration);
  runImage = workspace.Root() / ("run" + suffix);
  floorImage = workspace.Root() / ("floor" + suffix);
  std::error_code ec;
  fs::copy(base, runImage, fs::copy_options::recursive, ec);
  if (!ec) fs::copy(base, floorImage, fs::copy_options::recursive, ec);
  if (ec) return false;
  FlushFileSystem(workspace.Root());
  return true;
}

// The run and its floor over fresh copies of the base image in each iteration: run(image) is
// the session on its copy, floor(files) the copy of the media files on the other.
template <typename Run, typename Floor>
void RunBesideFloor(benchmark::State& state, bool fullSized, Run run, Floor floor) {
  Workspace workspace;
  std::string error;
  if (workspace.Root().empty() || !MakeBaseImage(workspace.Root() / "base", fullSized, error)) {
    state.SkipWithError(error.empty() ? "no temporary folder" : error.c_str());
    return;
  }
  halshift::bench::WorkBesideFloor timer;
  int iteration = 0;
  for (auto _ : state) {
    fs::path runImage;
    fs::path floorImage;
    if (!FreshCopies(workspace, ++iteration, runImage, floorImage)) {
      state.SkipWithError("cannot copy the base image");
      return;
    }
    const auto files = CopiedFiles(floorImage);
    if (!files) {
      state.SkipWithError("the media files are missing");
      return;
    }
    if (!timer.Step(state, [&] { return run(runImage); }, [&] { return floor(*files); })) {
      state.SkipWithError("the silent run did not succeed, or the copy failed");
      return;
    }
  }
  timer.Report(state);
}

void BM_SilentRun(benchmark::State& state, bool fullSized) {
  RunBesideFloor(
      state, fullSized,
      [](const fs::path& image) {
        return RunProgram({HALSHIFT_PROGRAM, "upgrade_hal", "enable_recovery"},
                          {"HALSHIFT_MACHINE=" + image.string()}) == 1;
      },
      ScriptedCopy);
}
BENCHMARK_CAPTURE(BM_SilentRun, typical, false)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SilentRun, full_sized, true)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SilentRunInProcess(benchmark::State& state, bool fullSized) {
  RunBesideFloor(
      state, fullSized, [](const fs::path& image) { return SilentRun(image) == 1; }, DurableCopy);
}
BENCHMARK_CAPTURE(BM_SilentRunInProcess, typical, false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SilentRunInProcess, full_sized, true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
