// Tests of the command-line tail the Linux build hands to the program.
#include "platform/image/command_line.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/strings.h"
#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

TEST(JoinCommandLineTest, QuotesAsTheWindowsCommandLineHoldsArguments) {
  struct Case {
    const char* name;
    std::vector<const char*> arguments;
    const char* tail;
  };
  const Case cases[] = {
      {"none", {}, ""},
      {"keywords", {"upgrade_hal", "enable_recovery"}, "upgrade_hal enable_recovery"},
      {"an empty argument", {""}, "\"\""},
      {"empty between others", {"upgrade_hal", "", "x"}, "upgrade_hal \"\" x"},
      {"a blank inside", {"D:\\NT 4\\I386"}, "\"D:\\NT 4\\I386\""},
      {"a tab inside", {"a\tb"}, "\"a\tb\""},
      {"a quotation mark", {"say \"hi\""}, "\"say \\\"hi\\\"\""},
      {"backslashes before the closing quote", {"C:\\dir with blank\\"},
       "\"C:\\dir with blank\\\\\""},
      {"backslashes before a quotation mark", {"a b\\\"c"}, "\"a b\\\\\\\"c\""},
      {"a quotation mark without blanks is kept as it is", {"x\"y"}, "x\"y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinCommandLine(c.arguments), c.tail) << c.name;
  }
}

TEST(ParseLinuxOptionsTest, TheOptionsEndAtTheFirstOtherWord) {
  struct Case {
    const char* name;
    std::vector<const char*> arguments;
    std::size_t windowsStart;
  };
  const Case cases[] = {
      {"none", {}, 0},
      {"only Windows words", {"upgrade_hal", "--offline", "/x"}, 0},
      {"help switches stay Windows words", {"--offline", "/t", "--cpus", "2", "-help", "--media", "m"}, 4},
      {"a Windows switch that looks like ours", {"--offline=/t", "--cpus=2", "--help"}, 2},
      {"every option", {"--offline", "/t", "--drive", "d=/d", "--drive", "E=/e", "--vm-config", "v",
                        "--no-apic", "--media", "m", "upgrade_hal"}, 11},
      {"a word after the last option", {"--offline", "/t", "--firmware", "f", "/?"}, 4},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto options = ParseLinuxOptions(c.arguments, error);
    ASSERT_TRUE(options) << c.name << ": " << error;
    EXPECT_EQ(options->windowsStart, c.windowsStart) << c.name;
  }
  std::string error;
  const std::vector<const char*> every = {"--offline", "/t", "--drive", "d=/d", "--drive", "E=/e",
                                          "--vm-config", "v", "--no-apic", "--media", "m"};
  const auto options = ParseLinuxOptions(every, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->offline, "/t");
  ASSERT_EQ(options->drives.size(), 2u);
  EXPECT_EQ(options->drives[0].letter, 'D');
  EXPECT_EQ(options->drives[0].folder, "/d");
  EXPECT_EQ(options->drives[1].letter, 'E');
  EXPECT_EQ(options->vmConfig, "v");
  EXPECT_TRUE(options->noApic);
  EXPECT_EQ(options->media, "m");
  EXPECT_FALSE(options->cpus);
}

TEST(ParseLinuxOptionsTest, WrongOptionsAreNamed) {
  struct Case {
    const char* name;
    std::vector<const char*> arguments;
    const char* reason;
  };
  const Case cases[] = {
      {"count zero", {"--offline", "/t", "--cpus", "0"}, "--cpus 0: give the number of processors, 1 to 254"},
      {"count too large", {"--offline", "/t", "--cpus", "255"}, "--cpus 255"},
      {"count with a sign", {"--offline", "/t", "--cpus", "+2"}, "--cpus +2"},
      {"given twice", {"--offline", "/t", "--offline", "/u", "--cpus", "1"}, "--offline is given twice"},
      {"a drive twice", {"--offline", "/t", "--drive", "D=/a", "--drive", "d=/b", "--cpus", "1"},
       "--drive D is given twice"},
      {"a drive without a folder", {"--offline", "/t", "--drive", "D=", "--cpus", "1"}, "--drive D="},
      {"a drive that is no letter", {"--offline", "/t", "--drive", "1=/a", "--cpus", "1"}, "--drive 1=/a"},
      {"an empty path", {"--offline=", "--cpus", "1"}, "--offline needs a path"},
      {"no value at the end", {"--offline", "/t", "--cpus"}, "--cpus needs a value"},
      {"media without --offline", {"--media", "m", "upgrade_hal"}, "--media works only with --offline"},
      {"no processor source", {"--offline", "/t"}, "give --cpus N, --vm-config FILE or --firmware FILE"},
      {"two sources", {"--offline", "/t", "--cpus", "2", "--vm-config", "v"}, "only one of"},
      {"no APIC with a dump", {"--offline", "/t", "--firmware", "f", "--no-apic"}, "--no-apic does not go"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseLinuxOptions(c.arguments, error)) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
  }
}

// The program itself with one empty argument: a command line that is not empty, so the run is
// silent and finds no keyword, as halshift.exe "" does.
TEST(JoinCommandLineTest, AnEmptyArgumentMakesASilentRun) {
  const char* program = std::getenv("HALSHIFT_BINARY");
  ASSERT_NE(program, nullptr);
  testing::TempImage image;
  image.WriteMinimalMachine();
  const std::string machine = "HALSHIFT_MACHINE=" + image.Root().string();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char* const argv[] = {const_cast<char*>("halshift"), const_cast<char*>(""), nullptr};
    char* const envp[] = {const_cast<char*>(machine.c_str()), nullptr};
    execve(program, argv, envp);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = testing::ReadLog(image).value_or("");
  EXPECT_NE(log.find("Silent session beginning..."), std::string::npos) << log;
  EXPECT_NE(log.find("Command-line:\r\n\"\"\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(std::string(strings::BuiltInString(strings::kNoValidOptions))), std::string::npos)
      << log;
}

}  // namespace
}  // namespace halshift::image
