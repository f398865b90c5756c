// Tests of the command-line tail the Linux build hands to the program.
#include "platform/image/command_line.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "app/strings.h"
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
