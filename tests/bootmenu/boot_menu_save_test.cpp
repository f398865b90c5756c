// The boot menu loaded and edited in memory, and saved: bytes, backup, attributes, and no
// half-written BOOT.INI on any failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bootmenu/boot_menu.h"
#include "tests/support/boot_machine.h"

namespace halshift::bootmenu {
namespace {

using testing::OpenMachine;
using testing::TempImage;

using Lines = std::vector<std::string>;

constexpr std::uint32_t kReadOnlyHiddenSystem = 7;

// The names in the root of drive C: on the host.
std::set<std::string> RootNames(const TempImage& image) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(image.DrivePath("C:\\"))) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

struct RewriteCase {
  const char* name;
  std::string before;
  std::string after;
};

TEST(BootMenuFileSave, RewritesEveryLineWithCrLf) {
  const std::vector<RewriteCase> cases = {
      {"CR LF kept", std::string(testing::kSetupBootIni), std::string(testing::kSetupBootIni)},
      {"LF only becomes CR LF", "[boot loader]\ntimeout=30\n[operating systems]\na=\"b\"\n",
       "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\na=\"b\"\r\n"},
      {"last line gains a terminator", "[operating systems]\r\na=b", "[operating systems]\r\na=b\r\n"},
      {"blank and comment lines unchanged", "; comment \r\n\r\n  \r\n[x]\r\n",
       "; comment \r\n\r\n  \r\n[x]\r\n"},
      {"what follows Ctrl-Z is dropped", "a=b\r\nc\x1A" "d=e\r\n", "a=b\r\nc\r\n"},
      {"empty file stays empty", "", ""},
  };
  for (const auto& c : cases) {
    TempImage image;
    testing::WriteBootMachine(image);
    testing::WriteLoaderFiles(image, 'C', c.before);
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine) << c.name;
    BootMenuFile menu(machine->Platform().files);
    ASSERT_TRUE(menu.Backup("C:\\")) << c.name;
    ASSERT_TRUE(menu.Load("C:\\")) << c.name;
    EXPECT_TRUE(menu.Save()) << c.name;
    EXPECT_EQ(image.ReadDriveFile("C:\\BOOT.INI"), c.after) << c.name;
    EXPECT_EQ(image.ReadDriveFile("C:\\BOOTINI.ORV"), c.before) << c.name;
  }
}

TEST(BootMenuFileSave, ReplacesAProtectedBackupAndProtectsBothFiles) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(image, 'C', testing::kSetupBootIni);
  image.WriteDriveFile("C:\\BOOTINI.ORV", "an old backup\r\n");
  image.SetDriveFileAttributes("C:\\BOOTINI.ORV", kReadOnlyHiddenSystem);
  ASSERT_EQ(image.DriveFileAttributes("C:\\BOOT.INI"), 0u);
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);

  BootMenuFile menu(machine->Platform().files);
  ASSERT_TRUE(menu.Backup("C:\\"));
  ASSERT_TRUE(menu.Load("C:\\"));
  menu.AppendLine("multi(0)disk(0)rdisk(1)partition(1)\\WINNT=\"Second\"");
  ASSERT_TRUE(menu.Save());

  EXPECT_EQ(image.ReadDriveFile("C:\\BOOTINI.ORV"), std::string(testing::kSetupBootIni));
  EXPECT_EQ(image.ReadDriveFile("C:\\BOOT.INI"),
            std::string(testing::kSetupBootIni) +
                "multi(0)disk(0)rdisk(1)partition(1)\\WINNT=\"Second\"\r\n");
  EXPECT_EQ(image.DriveFileAttributes("C:\\BOOT.INI"), kReadOnlyHiddenSystem);
  EXPECT_EQ(image.DriveFileAttributes("C:\\BOOTINI.ORV"), kReadOnlyHiddenSystem);

  // A second save over the files it protected works the same way.
  BootMenuFile again(machine->Platform().files);
  ASSERT_TRUE(again.Backup("C:\\"));
  ASSERT_TRUE(again.Load("C:\\"));
  again.RemoveLine(again.Lines().size() - 1);
  ASSERT_TRUE(again.Save());
  EXPECT_EQ(image.ReadDriveFile("C:\\BOOT.INI"), std::string(testing::kSetupBootIni));
  EXPECT_EQ(image.DriveFileAttributes("C:\\BOOT.INI"), kReadOnlyHiddenSystem);
  EXPECT_EQ(image.DriveFileAttributes("C:\\BOOTINI.ORV"), kReadOnlyHiddenSystem);
  EXPECT_EQ(RootNames(image),
            (std::set<std::string>{"BOOT.INI", "BOOTINI.ORV", "NTDETECT.COM", "NTLDR", "WINNT"}));
}

// The failure text of a save sends the user to the backup: without one taken first, nothing is
// written.
TEST(BootMenuFileSave, NeedsAFreshBackup) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(image, 'C', testing::kSetupBootIni);
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  BootMenuFile menu(machine->Platform().files);
  ASSERT_TRUE(menu.Load("C:\\"));
  menu.AppendLine("x=y");
  EXPECT_FALSE(menu.Save());
  EXPECT_EQ(image.ReadDriveFile("C:\\BOOT.INI"), std::string(testing::kSetupBootIni));
  EXPECT_FALSE(image.ReadDriveFile("C:\\BOOTINI.ORV"));
}

// Every file operation of a backup and save fails in turn: BOOT.INI then holds its old bytes or its new
// ones, the result says which, and no temporary file is left in the root.
TEST(BootMenuFileSave, NoFailureLeavesAHalfWrittenBootMenu) {
  const std::string before(testing::kSetupBootIni);
  const std::string recoveryLine =
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Server Version 4.00 [HAL "
      "Recovery Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1";
  const std::string after = [&] {
    auto lines = SplitTextLines(before);
    lines.insert(lines.begin() + 5, recoveryLine);
    return JoinTextLines(lines);
  }();
  // Runs one save with the nth call of operation failing (nth 0: none fails); returns the
  // calls counted.
  auto runSave = [&](image::Call operation, int nth) {
    TempImage image;
    testing::WriteBootMachine(image);
    testing::WriteLoaderFiles(image, 'C', before);
    image.SetDriveFileAttributes("C:\\BOOT.INI", kReadOnlyHiddenSystem);
    auto machine = OpenMachine(image);
    if (!machine) return 0;
    auto& faults = machine->image->Faults();
    BootMenuFile menu(machine->Platform().files);
    faults.Reset();
    if (nth > 0) faults.FailCall(operation, nth);
    const bool backedUp = menu.Backup("C:\\");
    bool saved = false;
    if (backedUp && menu.Load("C:\\")) {
      menu.InsertLine(5, recoveryLine);
      saved = menu.Save();
    }
    const std::string context =
        std::string(image::NameOf(operation)) + " call " + std::to_string(nth);

    const auto bytes = image.ReadDriveFile("C:\\BOOT.INI");
    if (!bytes) {
      ADD_FAILURE() << context << ": BOOT.INI is gone";
      return 0;
    }
    EXPECT_TRUE(*bytes == before || *bytes == after) << context << ": " << *bytes;
    EXPECT_EQ(saved, *bytes == after) << context;
    for (const auto& name : RootNames(image)) {
      EXPECT_TRUE(name == "BOOT.INI" || name == "BOOTINI.ORV" || name == "NTDETECT.COM" ||
                  name == "NTLDR" || name == "WINNT")
          << context << ": left " << name;
    }
    if (backedUp) {
      // Whatever happened next, the backup is the menu as it was: what text 115 promises.
      EXPECT_EQ(image.ReadDriveFile("C:\\BOOTINI.ORV"), before) << context;
      if (operation != image::Call::kSetFileAttributes) {
        EXPECT_EQ(image.DriveFileAttributes("C:\\BOOT.INI"), kReadOnlyHiddenSystem) << context;
        EXPECT_EQ(image.DriveFileAttributes("C:\\BOOTINI.ORV"), kReadOnlyHiddenSystem) << context;
      }
    } else {
      // Without a fresh backup BOOT.INI is not touched, and no backup is half made.
      EXPECT_EQ(*bytes, before) << context;
      EXPECT_FALSE(image.ReadDriveFile("C:\\BOOTINI.ORV")) << context;
      EXPECT_EQ(image.DriveFileAttributes("C:\\BOOT.INI"), kReadOnlyHiddenSystem) << context;
    }
    if (nth == 0) {
      EXPECT_TRUE(saved) << context;
    }
    return faults.CallCount(operation);
  };

  int injected = 0;
  for (const image::CallInfo& info : image::kCalls) {
    if (!info.changesMachine) continue;
    const image::Call operation = info.call;
    const int calls = runSave(operation, 0);
    for (int nth = 1; nth <= calls; ++nth) {
      runSave(operation, nth);
      ++injected;
    }
  }
  // The backup: a temporary name, the copy, attributes, a flush, the move; the save: a
  // temporary name, the open, one write, the close, attributes and the move.
  EXPECT_GE(injected, 14);
}

TEST(BootMenuFileLoad, ReadsLinesAndEditsInMemory) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(image, 'C', "[boot loader]\ntimeout=30\n[operating systems]\nlast");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  BootMenuFile menu(machine->Platform().files);
  ASSERT_TRUE(menu.Load("C:\\"));
  EXPECT_EQ(menu.Root(), "C:\\");
  EXPECT_EQ(menu.Lines(), (Lines{"[boot loader]", "timeout=30", "[operating systems]", "last"}));

  menu.InsertLine(1, "inserted");
  menu.AppendLine("appended");
  menu.RemoveLine(0);
  menu.RemoveLine(99);
  menu.InsertLine(99, "ignored");
  EXPECT_EQ(menu.Lines(),
            (Lines{"inserted", "timeout=30", "[operating systems]", "last", "appended"}));
  menu.InsertLine(menu.Lines().size(), "at end");
  EXPECT_EQ(menu.Lines().back(), "at end");
}

TEST(BootMenuFileLoad, MissingOrUnreadableFileFails) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(image, 'C', "[operating systems]\r\n");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  BootMenuFile menu(machine->Platform().files);
  EXPECT_FALSE(menu.Load("E:\\"));
  machine->image->Faults().Reset();
  machine->image->Faults().FailCall(image::Call::kReadFile, 1);
  EXPECT_FALSE(menu.Load("C:\\"));
  EXPECT_TRUE(menu.Lines().empty());
  EXPECT_TRUE(menu.Load("C:\\"));
  EXPECT_EQ(menu.Lines(), Lines{"[operating systems]"});
}

}  // namespace
}  // namespace halshift::bootmenu
