// The boot menu model: text-mode lines, section entries, the line-view walk and the drive scan.
#include "bootmenu/boot_menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/boot_machine.h"

namespace halshift::bootmenu {
namespace {

using Lines = std::vector<std::string>;

struct SplitCase {
  const char* name;
  std::string bytes;
  Lines lines;
};

TEST(SplitTextLines, AppliesTextModeAndKeepsEveryOtherByte) {
  const std::vector<SplitCase> cases = {
      {"empty file", "", {}},
      {"CR LF line ends", "a\r\nb\r\n", {"a", "b"}},
      {"LF only line ends", "a\nb\n", {"a", "b"}},
      {"last line without terminator", "a\r\nlast", {"a", "last"}},
      {"blank lines kept", "\r\n\r\nx\r\n", {"", "", "x"}},
      {"Ctrl-Z ends the file", "a\r\nb\x1A" "c\r\nd\r\n", {"a", "b"}},
      {"Ctrl-Z at the start", "\x1A" "a\r\n", {}},
      {"lone CR kept", "a\rb\r\nc\r", {"a\rb", "c\r"}},
      {"CR CR LF keeps one CR", "a\r\r\n", {"a\r"}},
      {"zero bytes kept", std::string("a\0b\r\n", 5), {std::string("a\0b", 3)}},
      {"high bytes kept", "\xE4\xF6=\xFC\r\n", {"\xE4\xF6=\xFC"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitTextLines(c.bytes), c.lines) << c.name;
  }
}

TEST(SplitTextLines, LinesOfAnyLength) {
  const std::string longLine(100000, 'x');
  const Lines lines = SplitTextLines(longLine + "\r\n" + longLine);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], longLine);
  EXPECT_EQ(lines[1], longLine);
}

TEST(JoinTextLines, EndsEveryLineWithCrLfAndReadsBackTheSame) {
  const Lines lines = {"[boot loader]", "", "a=b", "c\r"};
  const std::string bytes = JoinTextLines(lines);
  EXPECT_EQ(bytes, "[boot loader]\r\n\r\na=b\r\nc\r\r\n");
  EXPECT_EQ(SplitTextLines(bytes), lines);
  EXPECT_EQ(JoinTextLines(Lines{}), "");
}

struct EntryCase {
  const char* name;
  std::string line;
  IniEntry entry;
};

TEST(SplitEntry, SplitsAtTheFirstEquals) {
  const std::vector<EntryCase> cases = {
      {"plain", "multi(0)\\WINNT=\"NT\"", {"multi(0)\\WINNT", "\"NT\""}},
      {"further equals stay in the value", "k=\"NT\" /HAL=UPHAL.DLL /KERNEL=X",
       {"k", "\"NT\" /HAL=UPHAL.DLL /KERNEL=X"}},
      {"no equals: all key", "C:\\ \"MS-DOS\"", {"C:\\ \"MS-DOS\"", ""}},
      {"empty value", "key=", {"key", ""}},
      {"empty key", "=value", {"", "value"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitEntry(c.line), c.entry) << c.name;
}

TEST(ParseSectionBuffer, WalksZeroTerminatedStringsWithinTheBuffer) {
  const std::string filled("a=1\0b\0c=x=y\0\0garbage=1\0", 24);
  const std::vector<IniEntry> expected = {{"a", "1"}, {"b", ""}, {"c", "x=y"}};
  EXPECT_EQ(ParseSectionBuffer(filled, 12), expected);
  // A count that runs past the buffer is not believed, and the walk still ends at the first
  // empty string.
  EXPECT_EQ(ParseSectionBuffer(filled, 1000000), expected);
  EXPECT_TRUE(ParseSectionBuffer(filled, 0).empty());
  EXPECT_TRUE(ParseSectionBuffer(std::string("\0a=1\0", 5), 5).empty());
}

TEST(ParseSectionBuffer, StringCutByTheCountEndsThere) {
  const std::string filled = "a=1234";  // no zero at all
  const std::vector<IniEntry> expected = {{"a", "12"}};
  EXPECT_EQ(ParseSectionBuffer(filled, 4), expected);
  const std::vector<IniEntry> whole = {{"a", "1234"}};
  EXPECT_EQ(ParseSectionBuffer(filled, 6), whole);
}

TEST(LineKey, TextBeforeTheFirstEquals) {
  EXPECT_EQ(LineKey("multi(0)\\WINNT=\"NT\" /X=1"), "multi(0)\\WINNT");
  EXPECT_EQ(LineKey("multi(0)\\WINNT =\"NT\""), "multi(0)\\WINNT ");
  EXPECT_EQ(LineKey("[operating systems]"), "");
  EXPECT_EQ(LineKey("=x"), "");
}

TEST(IsOperatingSystemsHeader, WholeLineWithoutRegardToCase) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"[operating systems]", true},  {"[Operating Systems]", true},
      {"[OPERATING SYSTEMS]", true},  {"[operating systems] ", false},
      {" [operating systems]", false}, {"[operating systems]\r", false},
      {"[operating  systems]", false}, {"[boot loader]", false},
      {"operating systems", false},   {"", false},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(IsOperatingSystemsHeader(line), expected) << '"' << line << '"';
  }
}

TEST(FindOperatingSystemsLine, CandidatesFollowTheHeaderOnly) {
  const Lines lines = {"k=before", "[Operating Systems]", "x=1", "k=first",
                       "[other]",  "k=second"};
  std::vector<std::string> seen;
  const auto found = FindOperatingSystemsLine(lines, [&](std::string_view line) {
    seen.emplace_back(line);
    return LineKey(line) == "k";
  });
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, 3u);
  // The line before the header is never offered; the walk stops at the first accepted line.
  EXPECT_EQ(seen, (Lines{"x=1", "k=first"}));
}

struct WalkCase {
  const char* name;
  Lines lines;
  std::optional<std::size_t> found;
};

TEST(FindOperatingSystemsLine, TakesTheFirstLineWithTheKeyAfterTheHeader) {
  const std::vector<WalkCase> cases = {
      {"later section does not end the walk",
       {"[operating systems]", "a=1", "[boot loader]", "k=2"}, 3},
      {"header lines are not candidates", {"[operating systems]", "[OPERATING SYSTEMS]", "k=1"}, 2},
      {"header with trailing blank", {"[operating systems] ", "k=1"}, std::nullopt},
      {"no header", {"k=1", "k=2"}, std::nullopt},
      {"key compared exactly", {"[operating systems]", "K=1", "k =2", "k=3"}, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindOperatingSystemsLine(
                  c.lines, [](std::string_view line) { return LineKey(line) == "k"; }),
              c.found)
        << c.name;
  }
}

// --- Over a machine image -------------------------------------------------------------------

using testing::OpenMachine;
using testing::TempImage;

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

TEST(IniSectionOnImage, EntriesOfTheOperatingSystemsSectionInFileOrder) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(
      image, 'C',
      "[boot loader]\r\ntimeout=30\r\n[Operating Systems]\r\n"
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"NT\" /HAL=UPHAL.DLL /X=1\r\n"
      "C:\\\r\nscsi(0)disk(0)rdisk(0)partition(1)\\NT=\"Other\"\r\n");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  IniSection section(machine->Platform().files, "operating systems", "C:\\BOOT.INI");
  const std::vector<IniEntry> expected = {
      {"multi(0)disk(0)rdisk(0)partition(1)\\WINNT", "\"NT\" /HAL=UPHAL.DLL /X=1"},
      {"C:\\", ""},
      {"scsi(0)disk(0)rdisk(0)partition(1)\\NT", "\"Other\""},
  };
  EXPECT_EQ(section.Entries(), expected);
  std::vector<IniEntry> handedOut;
  for (const IniEntry* e = section.FirstEntry(); e != nullptr; e = section.NextEntry()) {
    handedOut.push_back(*e);
  }
  EXPECT_EQ(handedOut, expected);
  EXPECT_EQ(section.NextEntry(), nullptr);
  // FirstEntry starts again.
  ASSERT_NE(section.FirstEntry(), nullptr);
  EXPECT_EQ(section.NextEntry()->key, "C:\\");

  IniSection missingFile(machine->Platform().files, "operating systems", "E:\\BOOT.INI");
  EXPECT_EQ(missingFile.FirstEntry(), nullptr);
  IniSection missingSection(machine->Platform().files, "nothing here", "C:\\BOOT.INI");
  EXPECT_EQ(missingSection.FirstEntry(), nullptr);
}

struct DriveCase {
  const char* name;
  std::string drives;
  std::vector<char> withLoaderFiles;
  std::vector<std::string> bootDrives;
};

TEST(BootDriveScan, OnlyFixedDrivesWithAllThreeFilesInLetterOrder) {
  const std::vector<DriveCase> cases = {
      {"one fixed drive", "C=fixed\r\n", {'C'}, {"C:\\"}},
      {"floppy and CD-ROM never qualify",
       "A=removable\r\nC=fixed\r\nD=cdrom\r\nF=remote\r\nG=ramdisk\r\n",
       {'A', 'D', 'F', 'G'},
       {}},
      {"two fixed drives, earlier letter first", "C=fixed\r\nE=fixed\r\nH=fixed\r\n",
       {'H', 'E'},
       {"E:\\", "H:\\"}},
      {"letter not listed", "C=fixed\r\n", {'Q'}, {}},
      {"Z is scanned", "Z=fixed\r\n", {'Z'}, {"Z:\\"}},
  };
  for (const auto& c : cases) {
    TempImage image;
    testing::WriteBootMachine(image, c.drives);
    for (char letter : c.withLoaderFiles) testing::WriteLoaderFiles(image, letter, "x");
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine) << c.name;
    std::vector<std::string> found;
    EXPECT_FALSE(ForEachBootDrive(machine->Platform().files, [&](const std::string& root) {
      found.push_back(root);
      return Walk::kContinue;
    }));
    EXPECT_EQ(found, c.bootDrives) << c.name;
  }
}

TEST(BootDriveScan, EachLoaderFileIsRequiredAndTheVisitorCanStop) {
  TempImage image;
  testing::WriteBootMachine(image, "C=fixed\r\nE=fixed\r\nF=fixed\r\nG=fixed\r\nH=fixed\r\n");
  image.WriteDriveFile("C:\\NTDETECT.COM", "x");  // no BOOT.INI
  image.WriteDriveFile("C:\\NTLDR", "x");
  image.WriteDriveFile("E:\\boot.ini", "x");  // no NTDETECT.COM; names match without case
  image.WriteDriveFile("E:\\ntldr", "x");
  image.WriteDriveFile("F:\\BOOT.INI", "x");  // no NTLDR
  image.WriteDriveFile("F:\\NTDETECT.COM", "x");
  testing::WriteLoaderFiles(image, 'G', "x");
  image.WriteDriveFile("H:\\BOOT.INI", "x");
  image.MakeDriveDirectory("H:\\NTDETECT.COM");  // still counts: a directory is found too
  image.WriteDriveFile("H:\\NTLDR", "x");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  auto& files = machine->Platform().files;
  EXPECT_FALSE(IsBootDrive(files, "C:\\"));
  EXPECT_FALSE(IsBootDrive(files, "E:\\"));
  EXPECT_FALSE(IsBootDrive(files, "F:\\"));
  EXPECT_TRUE(IsBootDrive(files, "G:\\"));
  EXPECT_TRUE(IsBootDrive(files, "H:\\"));

  std::vector<std::string> visited;
  EXPECT_TRUE(ForEachBootDrive(files, [&](const std::string& root) {
    visited.push_back(root);
    return Walk::kStop;
  }));
  EXPECT_EQ(visited, std::vector<std::string>{"G:\\"});
}

}  // namespace
}  // namespace halshift::bootmenu
