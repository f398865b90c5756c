// The setup.log model: finding the [Files.WinNt] line of a system file and rewriting chosen
// lines to name the media file they now come from, every other byte kept.
#include "hal/setup_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace halshift::hal {
namespace {

// A setup.log of a uniprocessor NT 4.0 installation in C:\WINNT, as setup writes it (CR LF).
std::string Fixture() {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  EXPECT_NE(source, nullptr) << "HALSHIFT_SOURCE_DIR is not set";
  if (source == nullptr) return {};
  std::ifstream in(std::string(source) + "/tests/fixtures/setup_log/nt40-uniprocessor.log",
                   std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string text = bytes.str();
  EXPECT_FALSE(text.empty());
  return text;
}

const std::string kHalLine = "\\WINNT\\system32\\hal.dll = \"hal.dll\",\"f63b\"";
const std::string kKernelLine = "\\WINNT\\system32\\ntoskrnl.exe = \"ntoskrnl.exe\",\"d4b5e\"";
const std::string kHalPath = "\\WINNT\\system32\\hal.dll";
const std::string kKernelPath = "\\WINNT\\system32\\ntoskrnl.exe";

// The text with the one occurrence of line (the whole line) replaced; fails when it is not
// there exactly once.
std::string ReplaceLine(std::string text, const std::string& line, const std::string& replacement) {
  const auto at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  if (at == std::string::npos) return text;
  EXPECT_EQ(text.find(line, at + 1), std::string::npos) << line;
  return text.replace(at, line.size(), replacement);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::size_t LineNumber(const std::string& text, const std::string& line) {
  const auto at = text.find(line);
  return static_cast<std::size_t>(
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

const std::vector<SetupLogChange> kUpgrade = {
    {kHalPath, "HALMPS.DLL", 0x1a01c},
    {kKernelPath, "NTKRNLMP.EXE", 0xe76ab},
};

TEST(SetupLogRewriteTest, UpgradeChangesExactlyTheHalAndKernelLines) {
  const std::string before = Fixture();
  const SetupLogRewrite rewrite = RewriteSetupLog(before, kUpgrade);
  std::string expected =
      ReplaceLine(before, kHalLine, "\\WINNT\\system32\\hal.dll = \"halmps.dll\",\"1a01c\"");
  expected = ReplaceLine(expected, kKernelLine,
                         "\\WINNT\\system32\\ntoskrnl.exe = \"ntkrnlmp.exe\",\"e76ab\"");
  EXPECT_EQ(rewrite.text, expected);
  ASSERT_EQ(rewrite.changed.size(), 2u);
  EXPECT_EQ(rewrite.changed[0].line, LineNumber(before, kHalLine));
  EXPECT_EQ(rewrite.changed[0].change, 0u);
  EXPECT_EQ(rewrite.changed[1].line, LineNumber(before, kKernelLine));
  EXPECT_EQ(rewrite.changed[1].change, 1u);
  EXPECT_FALSE(rewrite.tooLarge);
}

TEST(SetupLogRewriteTest, DowngradeAfterUpgradeRestoresTheOriginalBytes) {
  const std::string before = Fixture();
  const std::string upgraded = RewriteSetupLog(before, kUpgrade).text;
  const std::vector<SetupLogChange> downgrade = {{kHalPath, "hal.dll", 0xf63b},
                                                 {kKernelPath, "ntoskrnl.exe", 0xd4b5e}};
  EXPECT_EQ(RewriteSetupLog(upgraded, downgrade).text, before);
}

const std::string kNewHalValue = "\"halmps.dll\",\"1a01c\"";
const std::string kNewKernelLine = kKernelPath + " = \"ntkrnlmp.exe\",\"e76ab\"";

struct LineCase {
  const char* name;
  std::string halLine;       // the HAL's line as the file has it
  std::string rewritten;     // that line after the upgrade
  std::size_t changedLines;  // the kernel's line changes in every case
};

TEST(SetupLogRewriteTest, FormsOfTheLine) {
  const LineCase cases[] = {
      {"as setup writes it", kHalLine, kHalPath + " = " + kNewHalValue, 2},
      {"path in other case; the key keeps its case",
       "\\winnt\\SYSTEM32\\HAL.DLL = \"hal.dll\",\"f63b\"",
       "\\winnt\\SYSTEM32\\HAL.DLL = " + kNewHalValue, 2},
      {"blanks around the key and \"=\" kept as found",
       "  " + kHalPath + "\t=  \"hal.dll\" , \"f63b\"  ", "  " + kHalPath + "\t=  " + kNewHalValue,
       2},
      {"no blanks around \"=\"", kHalPath + "=\"hal.dll\",\"f63b\"", kHalPath + "=" + kNewHalValue,
       2},
      {"a repair disk's fields go with the old value",
       kHalPath + " = \"hal.dll\",\"99999\",\"\\\",\"ERD disk\",\"hal.dll\"",
       kHalPath + " = " + kNewHalValue, 2},
      {"empty value", kHalPath + " =", kHalPath + " =" + kNewHalValue, 2},
      {"already as asked: not a change", kHalPath + " = " + kNewHalValue,
       kHalPath + " = " + kNewHalValue, 1},
      {"key that only begins with the path", kHalPath + ".bak = \"hal.dll\",\"f63b\"",
       kHalPath + ".bak = \"hal.dll\",\"f63b\"", 1},
      {"line without \"=\"", kHalPath, kHalPath, 1},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = ReplaceLine(Fixture(), kHalLine, c.halLine);
    const SetupLogRewrite rewrite = RewriteSetupLog(input, kUpgrade);
    EXPECT_EQ(rewrite.text,
              ReplaceLine(ReplaceLine(input, c.halLine + "\r\n", c.rewritten + "\r\n"), kKernelLine,
                          kNewKernelLine));
    EXPECT_EQ(rewrite.changed.size(), c.changedLines);
  }
}

using Edit = std::function<std::string(const std::string&)>;

struct FileCase {
  const char* name;
  Edit input;     // made from the fixture
  Edit expected;  // made from the input
  std::size_t changedLines;
};

TEST(SetupLogRewriteTest, ShapesOfTheFile) {
  const std::string newHalLine = kHalPath + " = " + kNewHalValue;
  // Both lines replaced as setup would write them, every other byte as it was.
  const Edit upgraded = [&](const std::string& in) {
    return ReplaceLine(ReplaceLine(in, kHalLine, newHalLine), kKernelLine, kNewKernelLine);
  };
  const Edit unchanged = [](const std::string& in) { return in; };
  // The input with tail appended after the fixture, and what that tail becomes.
  const auto appended = [&](const std::string& tail, const std::string& rewrittenTail) {
    return Edit([=, &upgraded](const std::string& in) {
      return upgraded(in.substr(0, in.size() - tail.size())) + rewrittenTail;
    });
  };
  const std::string lastLine = kHalLine;
  const std::string secondSection = "[Files.WinNt]\r\n" + kHalLine + "\r\n";
  const std::string laterSection = "[Files.Later]\r\n" + kHalLine + "\r\n";
  const FileCase cases[] = {
      {"CR LF throughout", unchanged, upgraded, 2},
      {"line feeds only", [](const std::string& f) { return Replace(f, "\r\n", "\n"); }, upgraded,
       2},
      {"line ends mixed, each kept",
       [&](const std::string& f) { return ReplaceLine(f, kHalLine + "\r\n", kHalLine + "\n"); },
       upgraded, 2},
      {"last line without its end", [&](const std::string& f) { return f + lastLine; },
       appended(lastLine, newHalLine), 3},
      {"section header in other case",
       [](const std::string& f) { return Replace(f, "[Files.WinNt]", "[files.WINNT]"); }, upgraded,
       2},
      {"section header after blanks",
       [](const std::string& f) { return Replace(f, "[Files.WinNt]", " [Files.WinNt]"); }, upgraded,
       2},
      {"two [Files.WinNt] sections, both rewritten",
       [&](const std::string& f) { return f + secondSection; },
       appended(secondSection, "[Files.WinNt]\r\n" + newHalLine + "\r\n"), 3},
      {"a later section ends [Files.WinNt]", [&](const std::string& f) { return f + laterSection; },
       appended(laterSection, laterSection), 2},
      // Left as they are.
      {"no [Files.WinNt] section",
       [](const std::string& f) { return Replace(f, "[Files.WinNt]", "[Files.Other]"); }, unchanged,
       0},
      {"a section whose name only begins like it",
       [](const std::string& f) { return Replace(f, "[Files.WinNt]", "[Files.WinNt.Old]"); },
       unchanged, 0},
      {"no line for either file",
       [&](const std::string& f) {
         return ReplaceLine(ReplaceLine(f, kHalLine + "\r\n", ""), kKernelLine + "\r\n", "");
       },
       unchanged, 0},
      {"the lines only in another section",
       [&](const std::string& f) {
         const std::string moved =
             ReplaceLine(ReplaceLine(f, kHalLine + "\r\n", ""), kKernelLine + "\r\n", "");
         return ReplaceLine(
             moved, "[Files.SystemPartition]\r\n",
             "[Files.SystemPartition]\r\n" + kHalLine + "\r\n" + kKernelLine + "\r\n");
       },
       unchanged, 0},
      {"empty file", [](const std::string&) { return std::string(); }, unchanged, 0},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = c.input(Fixture());
    const SetupLogRewrite rewrite = RewriteSetupLog(input, kUpgrade);
    EXPECT_EQ(rewrite.text, c.expected(input));
    EXPECT_EQ(rewrite.changed.size(), c.changedLines);
  }
}

TEST(SetupLogRewriteTest, FirstOfTwoChangesForOnePathWins) {
  const std::vector<SetupLogChange> changes = {{kHalPath, "halmps.dll", 1},
                                               {kHalPath, "halapic.dll", 2}};
  const SetupLogRewrite rewrite = RewriteSetupLog(Fixture(), changes);
  ASSERT_EQ(rewrite.changed.size(), 1u);
  EXPECT_EQ(rewrite.changed[0].change, 0u);
  EXPECT_NE(rewrite.text.find(kHalPath + " = \"halmps.dll\",\"1\"\r\n"), std::string::npos);
}

TEST(SetupLogRewriteTest, AnEmptyPathMatchesNoLine) {
  const std::string input = "[Files.WinNt]\r\n = \"x\",\"1\"\r\n";
  const std::vector<SetupLogChange> changes = {{"", "hal.dll", 1}};
  const SetupLogRewrite rewrite = RewriteSetupLog(input, changes);
  EXPECT_EQ(rewrite.text, input);
  EXPECT_TRUE(rewrite.changed.empty());
}

TEST(SetupLogRewriteTest, TooLargeFileIsLeftAlone) {
  std::string huge = "[Files.WinNt]\r\n" + kHalLine + "\r\n";
  huge.resize(kMaxSetupLogBytes + 1, ' ');
  const SetupLogRewrite rewrite = RewriteSetupLog(huge, kUpgrade);
  EXPECT_TRUE(rewrite.tooLarge);
  EXPECT_TRUE(rewrite.changed.empty());
  EXPECT_EQ(rewrite.text, huge);
  EXPECT_FALSE(FindSetupLogFile(huge, kHalPath));
}

TEST(SetupLogFormatTest, LowerCaseNameAndHexWithoutLeadingZeros) {
  struct Case {
    const char* name;
    std::uint32_t checkSum;
    const char* expected;
  };
  const Case cases[] = {
      {"HALMPS.DLL", 0x1a01c, "\"halmps.dll\",\"1a01c\""},
      {"NtKrnlMp.Exe", 0xe76ab, "\"ntkrnlmp.exe\",\"e76ab\""},
      {"hal.dll", 0xf337, "\"hal.dll\",\"f337\""},
      {"halapic.dll", 0x0, "\"halapic.dll\",\"0\""},
      {"ntoskrnl.exe", 0xFFFFFFFF, "\"ntoskrnl.exe\",\"ffffffff\""},
      {"x", 0x100000, "\"x\",\"100000\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatSetupLogValue(c.name, c.checkSum), c.expected) << c.name;
  }
}

TEST(SetupLogFindTest, FindsTheLineAndSplitsItsFields) {
  const std::string text = Fixture();
  const auto hal = FindSetupLogFile(text, "\\winnt\\system32\\HAL.DLL");
  ASSERT_TRUE(hal);
  EXPECT_EQ(hal->line, LineNumber(text, kHalLine));
  EXPECT_EQ(hal->key, kHalPath);
  EXPECT_EQ(hal->fields, (std::vector<std::string>{"hal.dll", "f63b"}));

  const std::string repair =
      ReplaceLine(text, kKernelLine,
                  " " + kKernelPath + " = \"beep.sys\",\"99999\",\"\\\",\"ERD disk, 2\",beep.sys ");
  const auto kernel = FindSetupLogFile(repair, kKernelPath);
  ASSERT_TRUE(kernel);
  EXPECT_EQ(kernel->fields,
            (std::vector<std::string>{"beep.sys", "99999", "\\", "ERD disk, 2", "beep.sys"}));

  EXPECT_FALSE(FindSetupLogFile(text, "ntldr"));  // only in [Files.SystemPartition]
  EXPECT_FALSE(FindSetupLogFile(text, "\\WINNT\\system32\\halmps.dll"));
  EXPECT_FALSE(FindSetupLogFile(text, ""));
  EXPECT_FALSE(FindSetupLogFile(Replace(text, "[Files.WinNt]", "[Files.Other]"), kHalPath));
}

TEST(SetupLogFindTest, FindAfterRewriteReadsTheNewValue) {
  const std::string upgraded = RewriteSetupLog(Fixture(), kUpgrade).text;
  const auto kernel = FindSetupLogFile(upgraded, kKernelPath);
  ASSERT_TRUE(kernel);
  EXPECT_EQ(kernel->fields, (std::vector<std::string>{"ntkrnlmp.exe", "e76ab"}));
}

TEST(SetupLogPathsTest, ReadsTheFirstPathsSection) {
  struct Case {
    const char* name;
    std::string text;
    SetupLogPaths expected;
  };
  const SetupLogPaths nt40{"\\WINNT", "\\Device\\Harddisk0\\partition1",
                           "\\Device\\Harddisk0\\partition1"};
  const Case cases[] = {
      {"the NT 4.0 fixture", Fixture(), nt40},
      {"keys of another case, blanks, no quotes, LF only",
       "[paths]\n  targetdirectory=\\WTSRV \n TARGETDEVICE =  \"\\Device\\Harddisk1\\Partition2\"\n",
       {"\\WTSRV", "\\Device\\Harddisk1\\Partition2", ""}},
      {"the first line of a key wins",
       "[Paths]\r\nTargetDirectory = \"\\A\"\r\nTargetDirectory = \"\\B\"\r\n", {"\\A", "", ""}},
      {"only the first section counts",
       "[Paths]\nTargetDirectory = \"\\A\"\n[Other]\nTargetDevice = \"x\"\n[Paths]\nTargetDevice = \"y\"\n",
       {"\\A", "", ""}},
      {"keys outside the section are not read", "TargetDirectory = \"\\A\"\n[Files.WinNt]\nTargetDevice = \"y\"\n",
       {}},
      {"a key with a comma keeps the first field", "[Paths]\nSystemPartition = \"\\Device\\X\",\"other\"\n",
       {"", "", "\\Device\\X"}},
      {"a value cut before its closing quote", "[Paths]\nTargetDirectory = \"\\WIN", {"\\WIN", "", ""}},
      {"no [Paths] at all", "[Signature]\nVersion = \"WinNt4.0\"\n", {}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadSetupLogPaths(c.text), c.expected) << c.name;
  }
  EXPECT_EQ(ReadSetupLogPaths(Fixture() + std::string(kMaxSetupLogBytes, ' ')), SetupLogPaths{});
}

TEST(SystemFilePathTest, DriveDroppedAndSystem32Joined) {
  struct Case {
    const char* systemRoot;
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\WINNT", "hal.dll", "\\WINNT\\system32\\hal.dll"},
      {"C:\\WINNT\\", "ntoskrnl.exe", "\\WINNT\\system32\\ntoskrnl.exe"},
      {"D:\\WTSRV", "hal.dll", "\\WTSRV\\system32\\hal.dll"},
      {"C:\\", "hal.dll", "\\system32\\hal.dll"},
      {"\\WINNT", "hal.dll", "\\WINNT\\system32\\hal.dll"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SystemFilePath(c.systemRoot, c.file), c.expected) << c.systemRoot;
  }
}

}  // namespace
}  // namespace halshift::hal
