// The order in which the typical silent run makes its changes durable: each volume flush at its
// point between the intent record, the moves of the system files, CurrentType, BOOT.INI and the
// record's removal; also when the next start finishes a change that a stop cut off.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "base/winpath.h"
#include "tests/support/machine_checks.h"

namespace halshift {
namespace {

using namespace testing;

// The calls that order matters for, one letter each:
//   R  the intent record opened for writing     F  a volume flush
//   M  a file moved into the system directory   B  a file moved over BOOT.INI
//   T  CurrentType written                      D  the intent record removed
class OrderRecorder : public platform::FileSystem, public platform::Registry {
 public:
  OrderRecorder(platform::FileSystem& files, platform::Registry& registry)
      : files_(files), registry_(registry) {}
  std::string order;
  std::vector<std::string> flushedDrives;

  bool FindFirstFile(std::string_view path) override { return files_.FindFirstFile(path); }
  unsigned GetDriveType(std::string_view root) override { return files_.GetDriveType(root); }
  std::uint32_t GetFileAttributes(std::string_view path) override {
    return files_.GetFileAttributes(path);
  }
  bool SetFileAttributes(std::string_view path, std::uint32_t attributes) override {
    return files_.SetFileAttributes(path, attributes);
  }
  bool CreateDirectory(std::string_view path) override { return files_.CreateDirectory(path); }
  bool CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) override {
    return files_.CopyFile(existing, newPath, failIfExists);
  }
  bool MoveFile(std::string_view existing, std::string_view newPath) override {
    const bool moved = files_.MoveFile(existing, newPath);
    if (moved) NoteMove(newPath);
    return moved;
  }
  bool MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                  std::uint32_t flags) override {
    const bool moved = files_.MoveFileEx(existing, newPath, flags);
    if (moved && newPath && (flags & platform::kMoveFileDelayUntilReboot) == 0) NoteMove(*newPath);
    return moved;
  }
  bool DeleteFile(std::string_view path) override {
    const bool deleted = files_.DeleteFile(path);
    if (deleted && IsRecord(path)) order += 'D';
    return deleted;
  }
  std::optional<std::string> GetTempFileName(std::string_view directory,
                                             std::string_view prefix) override {
    return files_.GetTempFileName(directory, prefix);
  }
  std::vector<FoundFile> FindFiles(std::string_view pattern) override {
    return files_.FindFiles(pattern);
  }
  bool FlushFiles(std::span<const std::string> paths) override { return files_.FlushFiles(paths); }
  bool FlushVolume(std::string_view drive) override {
    const bool flushed = files_.FlushVolume(drive);
    EXPECT_TRUE(flushed) << drive;
    order += 'F';
    flushedDrives.emplace_back(drive);
    return flushed;
  }
  std::optional<std::string> ReadFile(std::string_view path) override {
    return files_.ReadFile(path);
  }
  std::unique_ptr<platform::OutputFile> OpenFile(std::string_view path,
                                                 platform::OpenMode mode) override {
    auto file = files_.OpenFile(path, mode);
    if (file && IsRecord(path)) order += 'R';
    return file;
  }
  std::uint32_t GetPrivateProfileSection(std::string_view section, std::span<char> buffer,
                                         std::string_view file) override {
    return files_.GetPrivateProfileSection(section, buffer, file);
  }
  std::uint32_t VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                               std::string_view destinationName, std::string_view sourceDirectory,
                               std::string_view destinationDirectory,
                               std::string_view currentDirectory, std::string& tempName) override {
    return files_.VerInstallFile(flags, sourceName, destinationName, sourceDirectory,
                                 destinationDirectory, currentDirectory, tempName);
  }

  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override {
    return registry_.QueryValue(keyPath, valueName, buffer);
  }
  long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                std::span<const std::uint8_t> data) override {
    const long status = registry_.SetValue(keyPath, valueName, type, data);
    if (status == platform::kErrorSuccess && text::EqualsIgnoreCase(valueName, "CurrentType")) {
      order += 'T';
    }
    return status;
  }

 private:
  static bool IsRecord(std::string_view path) {
    return text::EqualsIgnoreCase(path, kIntentRecord);
  }
  void NoteMove(std::string_view to) {
    const std::string folder = winpath::DirectoryOf(to);
    if (text::EqualsIgnoreCase(folder, kSystem32)) order += 'M';
    if (text::EqualsIgnoreCase(to, "C:\\BOOT.INI")) order += 'B';
  }

  platform::FileSystem& files_;
  platform::Registry& registry_;
};

// One session on the image through the recorder; its exit code.
int RunRecorded(const TempImage& image, std::string_view commandLine, OrderRecorder*& recorder,
                std::unique_ptr<OrderRecorder>& keep) {
  auto machine = OpenMachine(image);
  if (!machine) return -1;
  keep = std::make_unique<OrderRecorder>(machine->image->Files(), machine->image->Registry());
  recorder = keep.get();
  platform::Platform platform{machine->image->System(), *recorder, *recorder,
                              machine->image->Memory(), machine->image->Links(), machine->ui,
                              machine->out, machine->clock};
  HalUtilityApp app(platform);
  app.Startup(commandLine);
  return app.Shutdown();
}

TEST(DurableOrderTest, TypicalRunFlushesAtEachPointOfItsChanges) {
  TempImage image;
  CopyExample(image, kTypicalExample);
  OrderRecorder* recorder = nullptr;
  std::unique_ptr<OrderRecorder> keep;
  ASSERT_EQ(RunRecorded(image, kTypicalCommandLine, recorder, keep), 1);
  // The spare pair (no CurrentType), the boot menu (its backup flushed before BOOT.INI is
  // replaced, BOOT.INI after), then the multiprocessor files, setup.log's backup flushed
  // before setup.log is replaced.
  EXPECT_TRUE(std::regex_match(recorder->order, std::regex("RFM+FFD" "FBF" "RFM+FTFFD")))
      << recorder->order;
  for (const std::string& drive : recorder->flushedDrives) EXPECT_EQ(drive, "C:");
}

// A change cut off between its moves is finished at the next start: the remaining files are
// moved in and flushed before CurrentType, and everything is flushed before the record goes.
TEST(DurableOrderTest, FinishingACutOffChangeFlushesBeforeCurrentTypeAndBeforeTheRecordGoes) {
  // The step just before the second move of the multiprocessor change.
  int stopStep = 0;
  {
    TempImage counted;
    CopyExample(counted, kTypicalExample);
    auto machine = OpenMachine(counted);
    ASSERT_TRUE(machine);
    struct Counter : OrderRecorder {
      using OrderRecorder::OrderRecorder;
      image::FaultInjector* faults = nullptr;
      int* stopStep = nullptr;
      bool MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                      std::uint32_t flags) override {
        // The second change's first move aside is its third 'M' in all.
        if (*stopStep == 0 && std::count(order.begin(), order.end(), 'T') == 0 &&
            std::count(order.begin(), order.end(), 'R') == 2 && order.back() == 'M') {
          *stopStep = faults->StepCount() + 1;
        }
        return OrderRecorder::MoveFileEx(existing, newPath, flags);
      }
    } counter(machine->image->Files(), machine->image->Registry());
    counter.faults = &machine->image->Faults();
    counter.stopStep = &stopStep;
    platform::Platform platform{machine->image->System(), counter, counter,
                                machine->image->Memory(), machine->image->Links(), machine->ui,
                                machine->out, machine->clock};
    HalUtilityApp app(platform);
    app.Startup(kTypicalCommandLine);
    ASSERT_EQ(app.Shutdown(), 1);
  }
  ASSERT_GT(stopStep, 0);

  TempImage image;
  CopyExample(image, kTypicalExample);
  const pid_t child = fork();
  if (child == 0) {
    auto machine = OpenMachine(image);
    if (!machine) _exit(2);
    machine->image->Faults().StopAtStep(stopStep);
    HalUtilityApp app(machine->Platform());
    app.Startup(kTypicalCommandLine);
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), image::FaultInjector::kStoppedExitCode);
  ASSERT_TRUE(image.ReadDriveFile(kIntentRecord).has_value());

  OrderRecorder* recorder = nullptr;
  std::unique_ptr<OrderRecorder> keep;
  RunRecorded(image, "", recorder, keep);
  EXPECT_TRUE(std::regex_match(recorder->order, std::regex("M+FTFFD"))) << recorder->order;
}

}  // namespace
}  // namespace halshift
