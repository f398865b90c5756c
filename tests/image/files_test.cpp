// Tests of the machine image's files: attributes, the in-use rules, delayed operations,
// profile sections, the installer and the writers, over images on disk.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "base/text.h"
#include "platform/image/machine_image.h"
#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

using namespace std::string_literals;
using testing::TempImage;

constexpr const char* kMachineIni =
    "[System]\r\nVersion=4.0\r\nSystemDirectory=C:\\WINNT\\System32\r\n\r\n"
    "[Drives]\r\nC=fixed\r\nD=cdrom\r\n\r\n"
    "[InUse]\r\n; held by the running system\r\n"
    "C:\\WINNT\\System32\\HAL.DLL=\r\nc:\\winnt\\system32\\ntoskrnl.exe=  ; kernel\r\n";

constexpr const char* kSessionManager = "System\\CurrentControlSet\\Control\\Session Manager";

std::string MediaFixture(const char* name) {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  std::ifstream in(std::filesystem::path(source == nullptr ? "." : source) / "tests" /
                       "fixtures" / "media" / name,
                   std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.WriteImageFile("machine.ini", kMachineIni);
    image_.WriteImageFile("registry.reg",
                          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n\"a\"=\"b\"\r\n");
    image_.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", "old hal");
    image_.WriteDriveFile("C:\\WINNT\\System32\\NTOSKRNL.EXE", "old kernel");
    image_.WriteDriveFile("C:\\WINNT\\System32\\KERNEL32.DLL", "k32");
    image_.WriteDriveFile("D:\\I386\\HAL.DLL", "new hal");
    Reopen();
  }
  void Reopen() {
    std::string error;
    machine_ = MachineImage::Open(image_.Root(), error);
    ASSERT_TRUE(machine_) << error;
  }
  platform::FileSystem& Files() { return machine_->Files(); }
  std::string PendingOperations() {
    std::array<std::uint8_t, 1024> buffer{};
    const auto result =
        machine_->Registry().QueryValue(kSessionManager, "PendingFileRenameOperations", buffer);
    if (result.status != platform::kErrorSuccess) return "<" + std::to_string(result.status) + ">";
    EXPECT_EQ(result.type, platform::kRegMultiSz);
    return std::string(buffer.begin(), buffer.begin() + static_cast<long>(result.size));
  }
  std::vector<std::string> HostEntries(const std::string& windowsFolder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(image_.DrivePath(windowsFolder))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempImage image_;
  std::unique_ptr<MachineImage> machine_;
};

TEST_F(FilesTest, FindFirstFileSeesFilesFoldersAndPatterns) {
  struct Case {
    const char* path;
    bool found;
  };
  const Case cases[] = {
      {"C:\\winnt\\system32\\hal.dll", true}, {"c:\\WINNT", true},
      {"\\WINNT\\System32\\KERNEL32.DLL", true}, {"D:\\I386\\HAL.DL_", false},
      {"D:\\i386\\HAL.*", true},               {"C:\\WINNT\\System32\\*.EXE", true},
      {"C:\\WINNT\\System32\\*.SYS", false},   {"C:\\WINNT\\*\\HAL.DLL", false},
      {"C:\\WINNT\\", false},                  {"C:\\", false},
      {"E:\\", false},                         {"C:\\..\\..\\machine.ini", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Files().FindFirstFile(c.path), c.found) << c.path;
  EXPECT_EQ(machine_->HostPath("c:\\winnt\\system32\\..\\SYSTEM32\\hal.dll"),
            image_.DrivePath("C:\\WINNT\\System32\\HAL.DLL"));
  EXPECT_EQ(machine_->HostPath("\\WINNT"), image_.DrivePath("C:\\WINNT"));
  EXPECT_FALSE(machine_->HostPath("E:\\x"));
}

TEST_F(FilesTest, AttributesAreKeptAsWineKeepsThem) {
  auto& files = Files();
  const std::string path = "C:\\WINNT\\System32\\kernel32.dll";
  EXPECT_EQ(files.GetFileAttributes(path), platform::kFileAttributeNormal);
  EXPECT_EQ(files.GetFileAttributes("C:\\WINNT"), platform::kFileAttributeDirectory);
  EXPECT_EQ(files.GetFileAttributes("C:\\nothing"), platform::kInvalidFileAttributes);

  struct Case {
    std::uint32_t set;
    std::uint32_t reported;
  };
  const Case cases[] = {
      {0x07, 0x07}, {0x01, 0x01}, {0x06, 0x06}, {0x22, 0x02}, {0x80, 0x80}, {0x04, 0x04}, {0x00, 0x80},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(files.SetFileAttributes(path, c.set)) << c.set;
    EXPECT_EQ(files.GetFileAttributes(path), c.reported) << c.set;
    // What another reader of the tree (Wine) sees.
    const std::uint32_t onDisk = image_.DriveFileAttributes("C:\\WINNT\\System32\\KERNEL32.DLL");
    EXPECT_EQ(onDisk, c.reported & 0x07u) << c.set;
  }
  image_.SetDriveFileAttributes("C:\\WINNT\\System32\\KERNEL32.DLL", 0x03);
  EXPECT_EQ(files.GetFileAttributes(path), 0x03u);
  EXPECT_FALSE(files.SetFileAttributes("C:\\nothing", 0x80));
}

TEST_F(FilesTest, ReadOnlyFilesResistWrites) {
  auto& files = Files();
  const std::string path = "C:\\WINNT\\System32\\KERNEL32.DLL";
  ASSERT_TRUE(files.SetFileAttributes(path, platform::kFileAttributeReadOnly));
  EXPECT_FALSE(files.DeleteFile(path));
  EXPECT_FALSE(files.OpenFile(path, platform::OpenMode::kCreateTruncate));
  EXPECT_FALSE(files.OpenFile(path, platform::OpenMode::kAppendExclusive));
  EXPECT_FALSE(files.CopyFile("D:\\I386\\HAL.DLL", path, false));
  EXPECT_FALSE(files.MoveFileEx("D:\\I386\\HAL.DLL", path, platform::kMoveFileReplaceExisting));
  std::string temp;
  EXPECT_EQ(files.VerInstallFile(1, "HAL.DLL", "KERNEL32.DLL", "D:\\I386", "C:\\WINNT\\System32",
                                 "C:\\WINNT\\System32", temp),
            platform::kVifWriteProt);
  EXPECT_EQ(image_.ReadDriveFile(path), "k32");
  // Renaming is allowed, as on Windows.
  EXPECT_TRUE(files.MoveFile(path, "C:\\WINNT\\System32\\K32.OLD"));
}

TEST_F(FilesTest, InUseFilesCanMoveButNotBeReplacedAndTheirMarkFollows) {
  auto& files = Files();
  const std::string hal = "C:\\WINNT\\SYSTEM32\\hal.dll";
  EXPECT_FALSE(files.DeleteFile(hal));
  EXPECT_FALSE(files.OpenFile(hal, platform::OpenMode::kCreateTruncate));
  EXPECT_FALSE(files.CopyFile("D:\\I386\\HAL.DLL", hal, false));
  EXPECT_FALSE(files.MoveFileEx("D:\\I386\\HAL.DLL", hal, platform::kMoveFileReplaceExisting));
  std::string temp;
  EXPECT_EQ(files.VerInstallFile(1, "HAL.DLL", "HAL.DLL", "D:\\I386", "C:\\WINNT\\System32",
                                 "C:\\WINNT\\System32", temp),
            platform::kVifFileInUse);
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"), "old hal");
  EXPECT_EQ(image_.ReadImageFile("machine.ini"), kMachineIni);

  ASSERT_TRUE(files.MoveFile(hal, "C:\\WINNT\\System32\\del1A2B.tmp"));
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\del1A2B.tmp"), "old hal");
  std::string expected = kMachineIni;
  expected.replace(expected.find("C:\\WINNT\\System32\\HAL.DLL="),
                   std::string("C:\\WINNT\\System32\\HAL.DLL").size(),
                   "C:\\WINNT\\System32\\del1A2B.tmp");
  EXPECT_EQ(image_.ReadImageFile("machine.ini"), expected);
  // The old name is free now; the moved file is still held.
  EXPECT_EQ(files.VerInstallFile(1, "HAL.DLL", "HAL.DLL", "D:\\I386", "C:\\WINNT\\System32",
                                 "C:\\WINNT\\System32", temp),
            0u);
  EXPECT_FALSE(files.DeleteFile("C:\\WINNT\\System32\\DEL1A2B.TMP"));
  // The mark survives reopening the image.
  Reopen();
  EXPECT_FALSE(Files().DeleteFile("C:\\WINNT\\System32\\del1a2b.tmp"));
  EXPECT_TRUE(Files().DeleteFile("C:\\WINNT\\System32\\HAL.DLL"));
}

TEST_F(FilesTest, MovingAFolderMovesTheMarksBelowIt) {
  ASSERT_TRUE(Files().MoveFile("C:\\WINNT", "C:\\OLDNT"));
  EXPECT_FALSE(Files().DeleteFile("C:\\OLDNT\\System32\\HAL.DLL"));
  EXPECT_NE(image_.ReadImageFile("machine.ini")->find("C:\\OLDNT\\System32\\HAL.DLL=\r\n"),
            std::string::npos);
  // The value and its comment were dropped by the parse; the rewritten line keeps the value.
  EXPECT_NE(image_.ReadImageFile("machine.ini")->find("C:\\OLDNT\\system32\\ntoskrnl.exe=\r\n"),
            std::string::npos);
}

TEST_F(FilesTest, AFailedMarkRewriteUndoesTheMove) {
  machine_->Faults().FailCall(image::Call::kRenameTemporary, 1);
  EXPECT_FALSE(Files().MoveFile("C:\\WINNT\\System32\\HAL.DLL", "C:\\WINNT\\System32\\x.tmp"));
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"), "old hal");
  EXPECT_FALSE(image_.ReadDriveFile("C:\\WINNT\\System32\\x.tmp"));
  EXPECT_EQ(image_.ReadImageFile("machine.ini"), kMachineIni);
  EXPECT_FALSE(Files().DeleteFile("C:\\WINNT\\System32\\HAL.DLL"));
}

TEST_F(FilesTest, MoveRulesForExistingTargets) {
  auto& files = Files();
  image_.WriteDriveFile("C:\\a.txt", "a");
  image_.WriteDriveFile("C:\\b.txt", "b");
  EXPECT_FALSE(files.MoveFile("C:\\a.txt", "C:\\B.TXT"));
  EXPECT_FALSE(files.MoveFileEx("C:\\a.txt", "C:\\b.txt", 0));
  EXPECT_FALSE(files.MoveFileEx("C:\\a.txt", std::nullopt, 0));
  EXPECT_FALSE(files.MoveFile("C:\\missing", "C:\\c.txt"));
  EXPECT_TRUE(files.MoveFileEx("C:\\A.TXT", "C:\\b.txt", platform::kMoveFileReplaceExisting));
  EXPECT_EQ(image_.ReadDriveFile("C:\\b.txt"), "a");
  EXPECT_FALSE(image_.ReadDriveFile("C:\\a.txt"));
  // A change of case only renames.
  EXPECT_TRUE(files.MoveFile("C:\\b.txt", "C:\\B.TXT"));
  EXPECT_EQ(image_.ReadDriveFile("C:\\B.TXT"), "a");
  EXPECT_EQ(HostEntries("C:\\").size(), 2u);  // B.TXT and WINNT
}

TEST_F(FilesTest, DelayedDeleteAppendsToPendingOperations) {
  auto& files = Files();
  EXPECT_EQ(PendingOperations(), "<2>");
  ASSERT_TRUE(files.MoveFileEx("c:\\winnt\\system32\\del1.tmp", std::nullopt,
                               platform::kMoveFileDelayUntilReboot));
  EXPECT_EQ(PendingOperations(), "\\??\\C:\\winnt\\system32\\del1.tmp\0\0\0"s);  // full path
  ASSERT_TRUE(files.MoveFileEx("C:\\x", std::nullopt, platform::kMoveFileDelayUntilReboot));
  ASSERT_TRUE(files.MoveFileEx("C:\\old", "C:\\new",
                               platform::kMoveFileDelayUntilReboot |
                                   platform::kMoveFileReplaceExisting));
  ASSERT_TRUE(files.MoveFileEx("C:\\p", "C:\\q", platform::kMoveFileDelayUntilReboot));
  const std::string expected =
      "\\??\\C:\\winnt\\system32\\del1.tmp\0\0\\??\\C:\\x\0\0"
      "\\??\\C:\\old\0!\\??\\C:\\new\0\\??\\C:\\p\0\\??\\C:\\q\0\0"s;
  EXPECT_EQ(PendingOperations(), expected);
  // Nothing moved now; the value is in the file, with the key it needed.
  EXPECT_TRUE(image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"));
  Reopen();
  EXPECT_EQ(PendingOperations(), expected);
  EXPECT_EQ(image_.ReadImageFile("registry.reg")->rfind(
                "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n\"a\"=\"b\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n"
                "\"PendingFileRenameOperations\"=hex(7):",
                0),
            0u);
}

TEST_F(FilesTest, DelayedDeleteFailsWithoutChangingTheRegistry) {
  for (const image::Call operation : {image::Call::kMoveFileEx, image::Call::kRegSetValue, image::Call::kRenameTemporary}) {
    machine_->Faults().Reset();
    machine_->Faults().FailCall(operation, 1);
    EXPECT_FALSE(
        Files().MoveFileEx("C:\\x", std::nullopt, platform::kMoveFileDelayUntilReboot))
        << image::NameOf(operation);
    EXPECT_EQ(PendingOperations(), "<2>") << image::NameOf(operation);
    EXPECT_EQ(*image_.ReadImageFile("registry.reg"),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n\"a\"=\"b\"\r\n")
        << image::NameOf(operation);
  }
}

TEST_F(FilesTest, TempFileNamesAreUniqueAndEmpty) {
  auto& files = Files();
  const auto first = files.GetTempFileName("C:\\WINNT\\System32", "delete");
  const auto second = files.GetTempFileName("c:\\winnt\\system32\\", "del");
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);
  for (const auto& name : {*first, *second}) {
    const std::string file = name.substr(name.rfind('\\') + 1);
    EXPECT_EQ(file.size(), 11u) << name;  // del + 4 hex digits + .TMP
    EXPECT_EQ(file.substr(0, 3), "del") << name;
    EXPECT_EQ(file.substr(7), ".TMP") << name;
    EXPECT_EQ(file.find_first_not_of("0123456789ABCDEF", 3), 7u) << name;
    EXPECT_EQ(files.ReadFile(name), "") << name;
    EXPECT_TRUE(files.FindFirstFile(name)) << name;
  }
  EXPECT_EQ(first->rfind("C:\\WINNT\\System32\\", 0), 0u);
  EXPECT_FALSE(files.GetTempFileName("C:\\NOWHERE", "del"));
  EXPECT_FALSE(files.GetTempFileName("C:\\WINNT\\System32\\HAL.DLL", "del"));
}

TEST_F(FilesTest, DirectoriesAndCopies) {
  auto& files = Files();
  EXPECT_TRUE(files.CreateDirectory("C:\\OrvSystem"));
  EXPECT_FALSE(files.CreateDirectory("c:\\ORVSYSTEM"));
  EXPECT_TRUE(files.CreateDirectory("C:\\ORVSYSTEM\\log"));
  EXPECT_FALSE(files.CreateDirectory("C:\\missing\\log"));
  EXPECT_EQ(HostEntries("C:\\OrvSystem"), std::vector<std::string>{"log"});

  image_.WriteDriveFile("C:\\BOOT.INI", "[boot loader]\r\n");
  image_.SetDriveFileAttributes("C:\\BOOT.INI", 0x07);
  EXPECT_TRUE(files.CopyFile("c:\\boot.ini", "C:\\BOOTINI.ORV", false));
  EXPECT_EQ(image_.ReadDriveFile("C:\\BOOTINI.ORV"), "[boot loader]\r\n");
  EXPECT_EQ(files.GetFileAttributes("C:\\BOOTINI.ORV"), 0x07u);  // the source's attributes
  EXPECT_FALSE(files.CopyFile("C:\\BOOT.INI", "C:\\BOOTINI.ORV", true));
  EXPECT_FALSE(files.CopyFile("C:\\missing", "C:\\x", false));
  image_.WriteDriveFile("C:\\other.txt", "other");
  image_.WriteDriveFile("C:\\dest.txt", "dest");
  EXPECT_FALSE(files.CopyFile("C:\\other.txt", "C:\\dest.txt", true));
  EXPECT_TRUE(files.CopyFile("C:\\other.txt", "C:\\dest.txt", false));
  EXPECT_EQ(image_.ReadDriveFile("C:\\dest.txt"), "other");
}

TEST_F(FilesTest, FailedCopyLeavesTheTargetAsItWas) {
  image_.WriteDriveFile("C:\\src.txt", "new");
  image_.WriteDriveFile("C:\\dst.txt", "old");
  machine_->Faults().FailCall(image::Call::kRenameTemporary, 1);
  EXPECT_FALSE(Files().CopyFile("C:\\src.txt", "C:\\dst.txt", false));
  EXPECT_EQ(image_.ReadDriveFile("C:\\dst.txt"), "old");
  EXPECT_EQ(HostEntries("C:\\"), (std::vector<std::string>{"WINNT", "dst.txt", "src.txt"}));
}

TEST_F(FilesTest, OutputFilesFollowTheirOpenMode) {
  auto& files = Files();
  const std::string log = "C:\\halshift.log";
  {
    auto out = files.OpenFile(log, platform::OpenMode::kCreateTruncate);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->Write(std::string_view("one\r\n")));
    EXPECT_TRUE(out->Close());
    EXPECT_TRUE(out->Close());
    EXPECT_FALSE(out->Write(std::string_view("late")));
  }
  {
    auto out = files.OpenFile(log, platform::OpenMode::kAppendExclusive);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->Write(std::string_view("two\n")));
    // A second opener is refused and changes nothing.
    EXPECT_FALSE(files.OpenFile(log, platform::OpenMode::kAppendExclusive));
    EXPECT_FALSE(files.OpenFile(log, platform::OpenMode::kCreateTruncate));
    EXPECT_EQ(image_.ReadDriveFile(log), "one\r\ntwo\n");
  }
  EXPECT_EQ(image_.ReadDriveFile(log), "one\r\ntwo\n");
  {
    auto out = files.OpenFile(log, platform::OpenMode::kCreateTruncate);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->Write(std::string_view("three")));
  }
  EXPECT_EQ(image_.ReadDriveFile(log), "three");
  EXPECT_FALSE(files.OpenFile("C:\\WINNT", platform::OpenMode::kCreateTruncate));
  EXPECT_FALSE(files.OpenFile("C:\\missing\\x.log", platform::OpenMode::kCreateTruncate));
}

TEST_F(FilesTest, ExclusiveOpenShutsOutAnotherProcess) {
  auto out = Files().OpenFile("C:\\halshift.log", platform::OpenMode::kAppendExclusive);
  ASSERT_TRUE(out);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto other = MachineImage::Open(image_.Root(), error);
    const bool refused =
        other && !other->Files().OpenFile("C:\\halshift.log", platform::OpenMode::kAppendExclusive);
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  out->Close();
  EXPECT_TRUE(Files().OpenFile("C:\\halshift.log", platform::OpenMode::kAppendExclusive));
}

TEST_F(FilesTest, WriteAndCloseFaultsAreReported) {
  machine_->Faults().FailCall(image::Call::kWriteFile, 2);
  machine_->Faults().FailCall(image::Call::kCloseFile, 1);
  auto out = Files().OpenFile("C:\\x.log", platform::OpenMode::kCreateTruncate);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->Write(std::string_view("a")));
  EXPECT_FALSE(out->Write(std::string_view("b")));
  EXPECT_FALSE(out->Close());
  EXPECT_EQ(image_.ReadDriveFile("C:\\x.log"), "a");
  // Calls count from 1 again after a reset.
  machine_->Faults().Reset();
  machine_->Faults().FailCall(image::Call::kOpenFile, 1);
  EXPECT_FALSE(Files().OpenFile("C:\\y.log", platform::OpenMode::kCreateTruncate));
  EXPECT_FALSE(image_.ReadDriveFile("C:\\y.log"));
}

TEST_F(FilesTest, ProfileSectionsComeBackAsWindowsPacksThem) {
  image_.WriteDriveFile(
      "C:\\BOOT.INI",
      "[boot loader]\r\ntimeout=30\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINNT\r\n"
      "[Operating Systems]\r\n"
      "  multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT\"  \r\n"
      "; a comment\r\n\r\n"
      "C:\\ \t= \"MS-DOS\"\n"
      "[other]\r\nx=y\r\n");
  auto& files = Files();
  // Blanks around the key and the value are dropped, "=" and all that follows kept.
  const std::string expected =
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT\"\0C:\\=\"MS-DOS\"\0\0"s;
  std::vector<char> buffer(65536, 'x');
  EXPECT_EQ(files.GetPrivateProfileSection("operating systems", buffer, "c:\\boot.ini"),
            expected.size() - 1);
  EXPECT_EQ(std::string(buffer.data(), expected.size()), expected);

  // Cut to fit: the result is the size less two, and two zeros close the buffer.
  std::vector<char> small(20, 'x');
  EXPECT_EQ(files.GetPrivateProfileSection("Operating Systems", small, "C:\\BOOT.INI"), 18u);
  EXPECT_EQ(std::string(small.data(), 20), expected.substr(0, 18) + "\0\0"s);

  // Exactly enough room.
  std::vector<char> exact(expected.size(), 'x');
  EXPECT_EQ(files.GetPrivateProfileSection("Operating Systems", exact, "C:\\BOOT.INI"),
            expected.size() - 1);
  EXPECT_EQ(std::string(exact.data(), exact.size()), expected);

  EXPECT_EQ(files.GetPrivateProfileSection("missing", buffer, "C:\\BOOT.INI"), 0u);
  EXPECT_EQ(files.GetPrivateProfileSection("boot loader", buffer, "C:\\NOFILE.INI"), 0u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(FilesTest, InstallerResults) {
  image_.WriteDriveFile("D:\\I386\\HALMPS.DL_", MediaFixture("szdd.dl_"));
  image_.WriteDriveFile("D:\\I386\\BROKEN.DL_", MediaFixture("szdd-truncated.dl_"));
  const std::string expanded = MediaFixture("standin.txt");
  ASSERT_FALSE(expanded.empty());
  auto& files = Files();
  std::string temp = "stale";
  const auto install = [&](const char* source, const char* destination) {
    return files.VerInstallFile(platform::kViffForceInstall, source, destination, "D:\\I386",
                                "C:\\WINNT\\System32", "C:\\WINNT\\System32", temp);
  };
  EXPECT_EQ(install("HALMPS.DLL", "HALMPS.DLL"), platform::kVifCannotReadSrc);
  EXPECT_EQ(temp, "");
  EXPECT_EQ(install("BROKEN.DL_", "BROKEN.DLL"), platform::kVifCannotReadSrc);
  EXPECT_FALSE(image_.ReadDriveFile("C:\\WINNT\\System32\\BROKEN.DLL"));
  EXPECT_EQ(install("halmps.dl_", "NEWHAL.DLL"), 0u);
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\NEWHAL.DLL"), expanded);
  EXPECT_EQ(install("HAL.DLL", "kernel32.dll"), 0u);  // replaces, keeping the name's case
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\KERNEL32.DLL"), "new hal");
  EXPECT_EQ(files.VerInstallFile(1, "HAL.DLL", "HAL.DLL", "D:\\I386", "C:\\NOWHERE", "C:\\", temp),
            platform::kVifCannotCreate);

  const auto before = HostEntries("C:\\WINNT\\System32");
  for (const image::Call operation : {image::Call::kVerInstallFile, image::Call::kRenameTemporary}) {
    machine_->Faults().Reset();
    machine_->Faults().FailCall(operation, 1);
    EXPECT_NE(install("HALMPS.DL_", "KERNEL32.DLL"), 0u) << image::NameOf(operation);
    EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\KERNEL32.DLL"), "new hal") << image::NameOf(operation);
    EXPECT_EQ(HostEntries("C:\\WINNT\\System32"), before) << image::NameOf(operation) << ": no temporary left";
  }
}

// The installer's sequence for a file in use, end to end: the running HAL is moved aside to a
// placeholder, scheduled for deletion, and the new file takes its name.
TEST_F(FilesTest, ReplacingTheRunningHal) {
  auto& files = Files();
  std::string temp;
  const std::string system = "C:\\WINNT\\System32";
  ASSERT_EQ(files.VerInstallFile(1, "HAL.DLL", "HAL.DLL", "D:\\I386", system, system, temp),
            platform::kVifFileInUse);
  const auto placeholder = files.GetTempFileName(system, "del");
  ASSERT_TRUE(placeholder);
  ASSERT_TRUE(files.FindFirstFile(*placeholder));
  ASSERT_TRUE(files.DeleteFile(*placeholder));
  ASSERT_TRUE(files.MoveFile(system + "\\HAL.DLL", *placeholder));
  ASSERT_TRUE(files.MoveFileEx(*placeholder, std::nullopt, platform::kMoveFileDelayUntilReboot));
  ASSERT_EQ(files.VerInstallFile(1, "HAL.DLL", "HAL.DLL", "D:\\I386", system, system, temp), 0u);

  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"), "new hal");
  const std::string placeholderName = placeholder->substr(placeholder->rfind('\\') + 1);
  EXPECT_EQ(image_.ReadDriveFile("C:\\WINNT\\System32\\" + placeholderName), "old hal");
  EXPECT_EQ(PendingOperations(), "\\??\\" + *placeholder + "\0\0\0"s);
  EXPECT_NE(image_.ReadImageFile("machine.ini")->find(*placeholder + "=\r\n"), std::string::npos);
  EXPECT_EQ(HostEntries("C:\\WINNT\\System32"),
            (std::vector<std::string>{"HAL.DLL", "KERNEL32.DLL", "NTOSKRNL.EXE", placeholderName}));
}

// A long-lived image answers every lookup as a freshly opened one does, through a sequence of
// its own changes and changes made behind its back, names of other cases and patterns included.
TEST_F(FilesTest, LookupsAfterChangesAnswerAsAFreshImage) {
  auto& files = Files();
  std::string temp;
  std::string tempName;
  struct Step {
    const char* name;
    std::function<bool()> change;
  };
  const Step steps[] = {
      {"nothing yet", [] { return true; }},
      {"folders created", [&] {
         return files.CreateDirectory("C:\\Data") && files.CreateDirectory("c:\\data\\Sub");
       }},
      {"a file opened new", [&] {
         auto out = files.OpenFile("C:\\data\\Log.txt", platform::OpenMode::kCreateTruncate);
         return out && out->Write(std::string_view("log")) && out->Close();
       }},
      {"a file copied", [&] {
         return files.CopyFile("C:\\WINNT\\System32\\kernel32.dll", "c:\\DATA\\Copy.Dll", false);
       }},
      {"a temporary name taken", [&] {
         const auto name = files.GetTempFileName("C:\\Data", "tmp");
         if (name) tempName = *name;
         return name.has_value();
       }},
      {"someone else creates a file, then the image another beside it", [&] {
         image_.WriteDriveFile("C:\\Data\\Theirs.txt", "theirs");
         return files.CopyFile("C:\\DATA\\LOG.TXT", "C:\\Data\\Mine.txt", true);
       }},
      {"someone else creates a file, then the image replaces one beside it", [&] {
         image_.WriteDriveFile("C:\\Data\\Later.txt", "later");
         return files.CopyFile("C:\\Data\\Log.txt", "C:\\Data\\Mine.txt", false);
       }},
      {"the temporary file renamed", [&] {
         return files.MoveFile(tempName, "C:\\data\\Moved.tmp");
       }},
      {"a file replaced by a move", [&] {
         return files.MoveFileEx("C:\\data\\copy.dll", "C:\\DATA\\LOG.TXT",
                                 platform::kMoveFileReplaceExisting);
       }},
      {"a file renamed to another case", [&] {
         return files.MoveFile("C:\\Data\\moved.tmp", "C:\\data\\MOVED.TMP");
       }},
      {"someone else removes a file", [&] {
         return std::filesystem::remove(image_.DrivePath("C:\\Data\\Theirs.txt"));
       }},
      {"a file deleted", [&] { return files.DeleteFile("C:\\data\\moved.tmp"); }},
      {"a file installed", [&] {
         return files.VerInstallFile(1, "HAL.DLL", "New.Dll", "D:\\I386", "C:\\Data", "C:\\Data",
                                     temp) == 0;
       }},
      {"a folder renamed", [&] { return files.MoveFile("C:\\Data\\SUB", "C:\\Data\\Sub2"); }},
      {"a folder created where the renamed one was", [&] {
         return files.CreateDirectory("C:\\DATA\\sub");
       }},
  };
  const std::vector<std::string> fixedProbes = {
      "C:\\data",           "C:\\DATA\\SUB",         "C:\\data\\sub2",
      "C:\\Data\\log.txt",  "C:\\DATA\\COPY.DLL",    "C:\\data\\mine.TXT",
      "C:\\data\\THEIRS.txt", "C:\\DATA\\later.TXT",   "C:\\Data\\moved.TMP",
      "C:\\data\\NEW.DLL",  "C:\\Data\\*.tmp",       "C:\\DATA\\*.DLL",
      "C:\\Data\\THEIRS.*", "C:\\Data\\sub*",        "C:\\winnt\\system32\\KERNEL32.dll"};
  for (const auto& step : steps) {
    ASSERT_TRUE(step.change()) << step.name;
    std::string error;
    const auto fresh = MachineImage::Open(image_.Root(), error);
    ASSERT_TRUE(fresh) << error;
    std::vector<std::string> probes = fixedProbes;
    if (!tempName.empty()) probes.push_back(text::ToUpper(tempName));
    for (const std::string& probe : probes) {
      EXPECT_EQ(files.FindFirstFile(probe), fresh->Files().FindFirstFile(probe))
          << step.name << ": " << probe;
      if (std::string_view(probe).find('*') != std::string_view::npos) continue;
      EXPECT_EQ(machine_->HostPath(probe), fresh->HostPath(probe)) << step.name << ": " << probe;
      EXPECT_EQ(files.GetFileAttributes(probe), fresh->Files().GetFileAttributes(probe))
          << step.name << ": " << probe;
    }
  }
}

}  // namespace
}  // namespace halshift::image
