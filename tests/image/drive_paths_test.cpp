// Tests of the mapping of Windows paths onto drive folders.
#include "platform/image/drive_paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/text.h"
#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

TEST(DrivePathsTest, MapsWithoutCaseAndNeverLeavesTheDrive) {
  testing::TempImage image;
  image.WriteDriveFile("C:\\WinNT\\System32\\Hal.dll", "x");
  image.MakeDriveDirectory("D:\\I386");
  const DriveMap drives(image.Root() / "drives");
  const auto map = [&](const char* path) { return drives.Map(*ParseWindowsPath(path, 'C')); };

  EXPECT_EQ(map("c:\\WINNT\\SYSTEM32\\HAL.DLL"), image.DrivePath("C:\\WinNT\\System32\\Hal.dll"));
  // A new name keeps the case given; folders on the way keep theirs.
  EXPECT_EQ(map("C:\\winnt\\NewFile.Txt"), image.DrivePath("C:\\WinNT\\NewFile.Txt"));
  EXPECT_EQ(map("C:\\..\\..\\..\\WINNT"), image.DrivePath("C:\\WinNT"));
  EXPECT_EQ(map("C:\\"), image.Root() / "drives" / "C");
  EXPECT_FALSE(map("E:\\x"));  // no folder: no media
}

TEST(DrivePathsTest, SymbolicLinksOnTheWayAreNotFollowed) {
  testing::TempImage image;
  image.MakeDriveDirectory("C:\\WINNT");
  std::filesystem::create_directory_symlink(image.Root(), image.DrivePath("C:\\out"));
  const DriveMap drives(image.Root() / "drives");
  EXPECT_FALSE(drives.Map(*ParseWindowsPath("C:\\out\\machine.ini", 'C')));
}

// The entry that a listing of the folder gives for a name: the entry of exactly that name,
// else the first one in the folder's own order whose name differs only in case.
std::optional<std::string> FirstListed(const std::filesystem::path& folder,
                                       const std::string& name) {
  std::optional<std::string> caseless;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string listed = entry.path().filename().string();
    if (listed == name) return listed;
    if (!caseless && text::EqualsIgnoreCase(listed, name)) caseless = listed;
  }
  return caseless;
}

void Touch(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  close(fd);
}

// Names that differ only in case: the exact name wins, else the first the folder lists, also
// after the image's own changes to the folder, each done on the host and then reported.
TEST(DrivePathsTest, CaseTwinsAnswerAsAListingOfTheFolderDoes) {
  testing::TempImage image;
  image.MakeDriveDirectory("C:\\T");
  const auto folder = image.DrivePath("C:\\T");
  for (const char* twin : {"Hal.Dll", "HAL.DLL", "hal.dll", "Ntldr", "NTLDR"}) Touch(folder / twin);
  DriveMap drives(image.Root() / "drives");
  const auto first = [&](const char* name) { return *FirstListed(folder, name); };

  struct Step {
    const char* name;
    std::function<void()> change;  // made on the host, then reported
  };
  const Step steps[] = {
      {"as made", [] {}},
      {"another file created",
       [&] {
         Touch(folder / "Other.txt");
         drives.EntryCreated(folder / "Other.txt");
       }},
      {"the first listed twin removed",
       [&] {
         const auto gone = folder / first("hAL.dLL");
         ASSERT_EQ(unlink(gone.c_str()), 0);
         drives.EntryRemoved(gone);
       }},
      {"a twin renamed away",
       [&] {
         const auto from = folder / first("hAL.dLL");
         ASSERT_EQ(rename(from.c_str(), (folder / "moved.dll").c_str()), 0);
         drives.EntryRenamed(from, folder / "moved.dll");
       }},
      {"a twin renamed back in another case",
       [&] {
         ASSERT_EQ(rename((folder / "moved.dll").c_str(), (folder / "hAl.dLl").c_str()), 0);
         drives.EntryRenamed(folder / "moved.dll", folder / "hAl.dLl");
       }},
      {"a new twin created",
       [&] {
         Touch(folder / "ntLDR");
         drives.EntryCreated(folder / "ntLDR");
       }},
      {"the only other-case name of a file renamed",
       [&] {
         ASSERT_EQ(rename((folder / "Other.txt").c_str(), (folder / "OTHER.TXT").c_str()), 0);
         drives.EntryRenamed(folder / "Other.txt", folder / "OTHER.TXT");
       }},
  };
  for (const auto& step : steps) {
    step.change();
    for (const char* asked : {"HAL.DLL", "hal.dll", "Hal.Dll", "hAL.dLL", "hAl.dLl", "NTLDR",
                              "ntldr", "Ntldr", "other.txt", "OTHER.TXT", "moved.dll"}) {
      const auto path = ParseWindowsPath(std::string("C:\\T\\") + asked, 'C');
      const auto expected = folder / FirstListed(folder, asked).value_or(asked);
      EXPECT_EQ(drives.Map(*path), expected) << step.name << ": " << asked;
      EXPECT_EQ(DriveMap(image.Root() / "drives").Map(*path), expected)
          << step.name << ": " << asked;
    }
  }
}

// Changes made by someone else, right after the folder's index was made or right after one of
// the image's own changes (so within the same tick of a coarse file clock), are seen at once.
TEST(DrivePathsTest, ChangesBehindItsBackAreSeen) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path& folder)> change;
    std::vector<std::pair<const char*, const char*>> answers;  // asked, entry expected
  };
  const auto putTimesBack = [](const std::filesystem::path& folder, const struct stat& before) {
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
  };
  const Case cases[] = {
      {"a file created", [](const auto& folder) { Touch(folder / "New.txt"); },
       {{"NEW.TXT", "New.txt"}, {"OLD.TXT", "Old.txt"}}},
      {"a file removed",
       [](const auto& folder) { ASSERT_EQ(unlink((folder / "Old.txt").c_str()), 0); },
       {{"OLD.TXT", "OLD.TXT"}, {"KEEP.TXT", "Keep.txt"}}},
      {"a file renamed",
       [](const auto& folder) {
         ASSERT_EQ(rename((folder / "Old.txt").c_str(), (folder / "Moved.txt").c_str()), 0);
       },
       {{"OLD.TXT", "OLD.TXT"}, {"MOVED.TXT", "Moved.txt"}}},
      {"a file created and the folder's modification time put back",
       [&](const auto& folder) {
         struct stat before {};
         ASSERT_EQ(stat(folder.c_str(), &before), 0);
         Touch(folder / "New.txt");
         putTimesBack(folder, before);
       },
       {{"NEW.TXT", "New.txt"}}},
      {"the folder replaced by another with the same modification time",
       [&](const auto& folder) {
         struct stat before {};
         ASSERT_EQ(stat(folder.c_str(), &before), 0);
         ASSERT_EQ(rename(folder.c_str(), (folder.string() + ".old").c_str()), 0);
         ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
         Touch(folder / "Other.txt");
         putTimesBack(folder, before);
       },
       {{"OTHER.TXT", "Other.txt"}, {"OLD.TXT", "OLD.TXT"}}},
  };
  for (const bool afterOwnChange : {false, true}) {
    for (const auto& c : cases) {
      testing::TempImage image;
      image.WriteDriveFile("C:\\F\\Old.txt", "old");
      image.WriteDriveFile("C:\\F\\Keep.txt", "keep");
      const auto folder = image.DrivePath("C:\\F");
      DriveMap drives(image.Root() / "drives");
      const auto map = [&](const std::string& name) {
        return drives.Map(*ParseWindowsPath("C:\\F\\" + name, 'C'));
      };
      ASSERT_EQ(map("KEEP.TXT"), folder / "Keep.txt");  // the index is made
      if (afterOwnChange) {
        Touch(folder / "Mine.txt");
        drives.EntryCreated(folder / "Mine.txt");
      }
      c.change(folder);
      for (const auto& [asked, entry] : c.answers) {
        EXPECT_EQ(map(asked), folder / entry)
            << c.name << (afterOwnChange ? " after an own change" : "") << ": " << asked;
      }
    }
  }
}

}  // namespace
}  // namespace halshift::image
