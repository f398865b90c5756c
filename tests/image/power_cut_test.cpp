// FlushVolume of the machine image and the power cut of its fault injector: what a volume flush
// accepts, and which changes of folders a cut takes back (all since the drive's last flush, all
// but an oldest part of them, or any part with each name's changes in order), drive by drive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/image/machine_image.h"
#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

using testing::TempImage;

constexpr const char* kMachineIni =
    "[System]\r\nSystemDirectory=C:\\WINNT\\System32\r\n\r\n"
    "[Drives]\r\nC=fixed\r\nE=fixed\r\nD=cdrom\r\n\r\n"
    "[InUse]\r\nC:\\WINNT\\System32\\HAL.DLL=\r\n";

class PowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.WriteImageFile("machine.ini", kMachineIni);
    image_.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", "old hal");
    image_.WriteDriveFile("C:\\a.txt", "a");
    image_.WriteDriveFile("C:\\b.txt", "b");
    image_.WriteDriveFile("C:\\c.txt", "c");
    image_.WriteDriveFile("C:\\d.txt", "d");
    image_.WriteDriveFile("C:\\e.txt", "e");
    image_.WriteDriveFile("C:\\source.txt", "copied");
    image_.WriteDriveFile("E:\\BOOT.INI", "menu");
  }

  // Runs the steps in a child process on a freshly opened image, then ends it by a power cut
  // at its next step; false when a step failed or the child did not end as cut.
  bool RunThenCut(const std::function<bool(platform::FileSystem&)>& steps,
                  std::optional<std::uint32_t> prefixSeed) {
    const pid_t child = fork();
    if (child == 0) {
      std::string error;
      auto machine = MachineImage::Open(image_.Root(), error);
      if (!machine) _exit(2);
      // Asked for before the steps, so that the image journals them; the stop comes after.
      FaultInjector& faults = machine->Faults();
      faults.CutPowerAtStep(1 << 30, prefixSeed);
      if (!steps(machine->Files())) _exit(2);
      faults.CutPowerAtStep(faults.StepCount() + 1, prefixSeed);
      machine->Files().CreateDirectory("C:\\NEVER");
      _exit(3);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) && WEXITSTATUS(status) == FaultInjector::kStoppedExitCode;
  }

  std::optional<std::string> Drive(const char* path) { return image_.ReadDriveFile(path); }

  TempImage image_;
};

TEST_F(PowerCutTest, FlushVolumeTakesADriveOrItsRoot) {
  std::string error;
  auto machine = MachineImage::Open(image_.Root(), error);
  ASSERT_TRUE(machine) << error;
  const struct {
    const char* drive;
    bool flushed;
  } cases[] = {
      {"C:", true}, {"c:", true}, {"C:\\", true}, {"e:\\", true},
      {"C", false}, {"C:/", false}, {"C:\\WINNT", false}, {"", false}, {"1:", false},
      {"D:", false},  // a CD-ROM drive without a disc: no folder
      {"Q:", false},  // no such drive
  };
  for (const auto& c : cases) {
    EXPECT_EQ(machine->Files().FlushVolume(c.drive), c.flushed) << "'" << c.drive << "'";
  }
  machine->Faults().Reset();
  machine->Faults().FailCall(Call::kFlushVolume, 1);
  EXPECT_FALSE(machine->Files().FlushVolume("C:"));
  EXPECT_TRUE(machine->Files().FlushVolume("C:"));
}

TEST_F(PowerCutTest, ACutTakesBackWhatNoFlushOfItsDriveCovered) {
  const auto attributesOf = [this](const char* path) { return image_.DriveFileAttributes(path); };
  // One change of a folder each, in this order.
  const std::vector<std::pair<const char*, std::function<bool(platform::FileSystem&)>>> changes = {
      {"folder created", [](auto& f) { return f.CreateDirectory("C:\\NEWDIR"); }},
      {"temporary name taken", [](auto& f) { return f.GetTempFileName("C:\\NEWDIR", "hsn").has_value(); }},
      {"file in use moved aside",
       [](auto& f) { return f.MoveFile("C:\\WINNT\\System32\\HAL.DLL", "C:\\WINNT\\System32\\del1.TMP"); }},
      {"file replaced by a copy", [](auto& f) { return f.CopyFile("C:\\source.txt", "C:\\a.txt", false); }},
      {"file deleted", [](auto& f) { return f.DeleteFile("C:\\b.txt"); }},
      {"attributes set",
       [](auto& f) {
         return f.SetFileAttributes("C:\\c.txt", platform::kFileAttributeHidden |
                                                     platform::kFileAttributeReadOnly);
       }},
      {"file moved over another",
       [](auto& f) { return f.MoveFileEx("C:\\d.txt", "C:\\e.txt", platform::kMoveFileReplaceExisting); }},
      {"file created and written",
       [](auto& f) {
         auto out = f.OpenFile("C:\\new.txt", platform::OpenMode::kCreateTruncate);
         return out && out->Write(std::string_view("new")) && out->Close();
       }},
  };
  const auto checkMade = [&](std::size_t i, bool made) {
    SCOPED_TRACE(std::string(changes[i].first) + (made ? " must stand" : " must be taken back"));
    switch (i) {
      case 0: EXPECT_EQ(std::filesystem::is_directory(image_.DrivePath("C:\\NEWDIR")), made); break;
      case 1: {
        std::error_code ec;
        EXPECT_EQ(std::filesystem::is_directory(image_.DrivePath("C:\\NEWDIR")) &&
                      !std::filesystem::is_empty(image_.DrivePath("C:\\NEWDIR"), ec),
                  made);
        break;
      }
      case 2:
        EXPECT_EQ(Drive("C:\\WINNT\\System32\\HAL.DLL").has_value(), !made);
        EXPECT_EQ(Drive("C:\\WINNT\\System32\\del1.TMP").has_value(), made);
        // The mark of use follows the file back.
        EXPECT_EQ(image_.ReadImageFile("machine.ini")->find("del1.TMP") != std::string::npos, made);
        break;
      case 3: EXPECT_EQ(Drive("C:\\a.txt"), made ? "copied" : "a"); break;
      case 4: EXPECT_EQ(Drive("C:\\b.txt").has_value(), !made); break;
      case 5:
        EXPECT_EQ(attributesOf("C:\\c.txt"),
                  made ? platform::kFileAttributeHidden | platform::kFileAttributeReadOnly : 0u);
        break;
      case 6:
        EXPECT_EQ(Drive("C:\\d.txt").has_value(), !made);
        EXPECT_EQ(Drive("C:\\e.txt"), made ? "d" : "e");
        break;
      case 7: EXPECT_EQ(Drive("C:\\new.txt").has_value(), made); break;
    }
  };

  // kept: how many of the changes reach the disk; past the count, all of them.
  for (const std::uint32_t kept : {0u, 1u, 3u, 6u, 8u, 1000u}) {
    SCOPED_TRACE("oldest " + std::to_string(kept) + " kept");
    std::filesystem::remove_all(image_.Root() / "drives");
    SetUp();
    const std::optional<std::uint32_t> seed =
        kept == 0 ? std::nullopt : std::optional<std::uint32_t>(kept);
    ASSERT_TRUE(RunThenCut(
        [&](platform::FileSystem& files) {
          for (const auto& [name, make] : changes) {
            if (!make(files)) return false;
          }
          return true;
        },
        seed));
    // A seed counts modulo the number of changes plus one: 1000 % 9 keeps 1.
    const std::size_t stand = kept == 1000u ? 1000u % (changes.size() + 1) : kept;
    for (std::size_t i = 0; i < changes.size(); ++i) checkMade(i, i < stand);
    if (stand == 0) {
      EXPECT_EQ(image_.ReadImageFile("machine.ini"), kMachineIni);
    }
    // What the image kept of taken-back files goes at its next open.
    std::string error;
    ASSERT_TRUE(MachineImage::Open(image_.Root(), error)) << error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(image_.Root() / "drives")) {
      EXPECT_NE(entry.path().filename().string().rfind(".halshift~", 0), 0u) << entry.path();
    }
  }
}

TEST_F(PowerCutTest, AFlushMakesItsDriveDurableAndNoOther) {
  ASSERT_TRUE(RunThenCut(
      [](platform::FileSystem& files) {
        return files.DeleteFile("C:\\a.txt") && files.DeleteFile("E:\\BOOT.INI") &&
               files.FlushVolume("E:") && files.DeleteFile("C:\\b.txt") &&
               files.CopyFile("C:\\source.txt", "E:\\BOOT.INI", false) &&
               files.FlushVolume("C:") && files.DeleteFile("C:\\c.txt") &&
               files.MoveFile("E:\\BOOT.INI", "E:\\BOOT.OLD");
      },
      std::nullopt));
  // C: was flushed after its first two deletions, E: after its first; the copy onto E: and the
  // move on E: came after E:'s flush, and C:'s flush does not cover them.
  EXPECT_FALSE(Drive("C:\\a.txt"));
  EXPECT_FALSE(Drive("C:\\b.txt"));
  EXPECT_EQ(Drive("C:\\c.txt"), "c");
  EXPECT_FALSE(Drive("E:\\BOOT.INI"));
  EXPECT_FALSE(Drive("E:\\BOOT.OLD"));
}

// In any order, but each name's changes in the order made: a move of a file onward is lost
// whenever the move that brought it there, or the deletion that freed its new name, is; an
// unrelated deletion goes its own way.
TEST_F(PowerCutTest, ACutInAnyOrderKeepsEachNamesChangesInOrder) {
  bool unrelatedKeptPastALoss = false;
  bool unrelatedLostBeforeAKept = false;
  for (std::uint32_t seed = 0; seed < 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::filesystem::remove_all(image_.Root() / "drives");
    SetUp();
    const pid_t child = fork();
    if (child == 0) {
      std::string error;
      auto machine = MachineImage::Open(image_.Root(), error);
      if (!machine) _exit(2);
      FaultInjector& faults = machine->Faults();
      faults.CutPowerInAnyOrderAtStep(1 << 30, seed);
      auto& files = machine->Files();
      if (!files.MoveFile("C:\\a.txt", "C:\\x.txt") || !files.DeleteFile("C:\\c.txt") ||
          !files.DeleteFile("C:\\b.txt") || !files.MoveFile("C:\\x.txt", "C:\\b.txt")) {
        _exit(2);
      }
      faults.CutPowerInAnyOrderAtStep(faults.StepCount() + 1, seed);
      files.CreateDirectory("C:\\NEVER");
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), FaultInjector::kStoppedExitCode);
    const bool atA = Drive("C:\\a.txt") == "a";
    const bool atX = Drive("C:\\x.txt") == "a";
    const bool atB = Drive("C:\\b.txt") == "a";
    const bool c = Drive("C:\\c.txt").has_value();
    EXPECT_EQ(int(atA) + int(atX) + int(atB), 1) << "a.txt's bytes must be under exactly one name";
    EXPECT_FALSE(Drive("C:\\NEVER").has_value());
    unrelatedKeptPastALoss = unrelatedKeptPastALoss || (atA && !c);
    unrelatedLostBeforeAKept = unrelatedLostBeforeAKept || (atB && c);
  }
  // Neither is a prefix of the changes: the cache reached the disk out of order.
  EXPECT_TRUE(unrelatedKeptPastALoss);
  EXPECT_TRUE(unrelatedLostBeforeAKept);
}

TEST_F(PowerCutTest, AKillKeepsEveryChangeAndNormalRunsKeepNoSpareLinks) {
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto machine = MachineImage::Open(image_.Root(), error);
    if (!machine) _exit(2);
    auto& files = machine->Files();
    if (!files.DeleteFile("C:\\a.txt") ||
        !files.MoveFileEx("C:\\d.txt", "C:\\e.txt", platform::kMoveFileReplaceExisting)) {
      _exit(2);
    }
    // Nothing journaled: no second names kept for what was removed or replaced.
    for (const auto& entry : std::filesystem::directory_iterator(image_.DrivePath("C:\\"))) {
      if (entry.path().filename().string().rfind(".halshift~", 0) == 0) _exit(4);
    }
    machine->Faults().StopAtStep(machine->Faults().StepCount() + 1);
    files.DeleteFile("C:\\b.txt");
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), FaultInjector::kStoppedExitCode);
  EXPECT_FALSE(Drive("C:\\a.txt"));
  EXPECT_EQ(Drive("C:\\e.txt"), "d");
  EXPECT_EQ(Drive("C:\\b.txt"), "b");
}

}  // namespace
}  // namespace halshift::image
