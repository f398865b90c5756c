// The command-line tail that halshift.exe hands to start-up, and the text arguments of the
// Win32 calls.
#include "platform/win32/command_tail.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

using namespace std::string_literals;

struct TailCase {
  const char* name;
  std::string commandLine;
  std::string tail;
};

void PrintTo(const TailCase& testCase, std::ostream* out) { *out << testCase.name; }

class CommandLineTailTest : public ::testing::TestWithParam<TailCase> {};

TEST_P(CommandLineTailTest, TakesTheTextAfterTheProgramName) {
  EXPECT_EQ(CommandLineTail(GetParam().commandLine), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTailTest,
    ::testing::Values(
        TailCase{"PlainName", "halshift.exe upgrade_hal", "upgrade_hal"},
        TailCase{"QuotedNameWithBlanks", R"("C:\Program Files\halshift.exe" upgrade_hal)",
                 "upgrade_hal"},
        TailCase{"QuoteEndsTheName", R"("C:\Tools\halshift.exe"enable_recovery)",
                 "enable_recovery"},
        TailCase{"EmptyQuotedName", R"(""  downgrade_hal)", "downgrade_hal"},
        TailCase{"UnterminatedQuote", R"("C:\Program Files\halshift.exe upgrade_hal)", ""},
        TailCase{"NameOnly", "halshift.exe", ""},
        TailCase{"NameAndBlanksOnly", "halshift.exe \t  ", ""},
        TailCase{"EmptyLine", "", ""},
        TailCase{"BlanksAndTabsBeforeTheTail", "halshift.exe \t \t enable_recovery",
                 "enable_recovery"},
        TailCase{"ControlCharactersBeforeTheTail", "halshift.exe\x01\x1f/?", "/?"},
        TailCase{"ControlCharacterEndsAPlainName", "halshift.exe\x7-help", "-help"},
        TailCase{"TrailingBlanksKept", "halshift.exe upgrade_hal  ", "upgrade_hal  "},
        TailCase{"QuotesInTheTailKept", R"(halshift.exe "upgrade_hal" x)", R"("upgrade_hal" x)"},
        // Bytes of 0x80 and above are letters of the ANSI code page, not blanks, also where
        // char is signed.
        TailCase{"HighBytesInTheName", "C:\\Pr\xE9sentation\\halshift.exe x", "x"},
        TailCase{"HighByteStartsTheTail", "halshift.exe \xA0upgrade_hal", "\xA0upgrade_hal"},
        TailCase{"ZeroByteIsAControlCharacter", "halshift.exe\0/?"s, "/?"}),
    [](const ::testing::TestParamInfo<TailCase>& testCase) { return std::string(testCase.param.name); });

TEST(ZeroTerminatedTest, RefusesTextWithAZeroOfItsOwn) {
  EXPECT_EQ(ZeroTerminated("C:\\BOOT.INI"), std::optional<std::string>("C:\\BOOT.INI"));
  EXPECT_EQ(ZeroTerminated(""), std::optional<std::string>(""));
  // The system would act on "C:\BOOT.INI" instead of the name asked for.
  EXPECT_EQ(ZeroTerminated("C:\\BOOT.INI\0.bak"s), std::nullopt);
  EXPECT_EQ(ZeroTerminated("\0"s), std::nullopt);
}

TEST(TextUpToZeroTest, StopsAtTheFirstZeroOrTheBufferEnd) {
  EXPECT_EQ(TextUpToZero("\\Device\\CdRom0\0\\Device\\CdRom1\0\0"s), "\\Device\\CdRom0");
  EXPECT_EQ(TextUpToZero("no zero at all"), "no zero at all");
  EXPECT_EQ(TextUpToZero("\0rest"s), "");
}

}  // namespace
}  // namespace halshift::win32
