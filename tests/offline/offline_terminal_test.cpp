// The interactive window on an offline tree, in a real terminal (tmux): it opens with the tree's
// state and the recommendation for the machine described, and its Apply switches the tree as
// the silent run does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/host_file.h"
#include "tests/support/offline_tree.h"

namespace halshift {
namespace {

using namespace testing;

class TmuxSession {
 public:
  explicit TmuxSession(const TempImage& tree) : socket_((tree.Root() / "tmux").string()) {}
  ~TmuxSession() { RunCommand({"tmux", "-S", socket_, "kill-server"}, false); }

  bool Start(const std::string& command) {
    return RunCommand({"tmux", "-S", socket_, "-f", "/dev/null", "new-session", "-d", "-s", "offline",
                       "-x", "80", "-y", "25", command},
                      false)
               .exitCode == 0;
  }
  std::string Screen() { return RunCommand({"tmux", "-S", socket_, "capture-pane", "-p", "-t", "offline"}).out; }
  void Keys(std::vector<std::string> keys) {
    std::vector<std::string> command = {"tmux", "-S", socket_, "send-keys", "-t", "offline"};
    command.insert(command.end(), keys.begin(), keys.end());
    RunCommand(command);
  }
  // Polls the screen until it shows the text, at most a hundred times a tenth of a second apart.
  bool WaitFor(const std::string& text) {
    for (int tries = 0; tries < 100; ++tries) {
      if (Screen().find(text) != std::string::npos) return true;
      usleep(100000);
    }
    ADD_FAILURE() << "the screen never showed: " << text << "\n" << Screen();
    return false;
  }

 private:
  std::string socket_;
};

TEST(OfflineTerminalTest, TheWindowOpensOnTheTreeAndItsApplySwitchesIt) {
  if (RunCommand({"tmux", "-V"}).exitCode != 0) GTEST_SKIP() << "tmux is not installed";
  const char* program = std::getenv("HALSHIFT_BINARY");
  ASSERT_NE(program, nullptr);
  TempImage tree;
  MakeOfflineTree(tree);
  const std::string exitFile = (tree.Root() / "exit").string();
  TmuxSession tmux(tree);
  ASSERT_TRUE(tmux.Start("env TERM=tmux-256color LC_ALL=C.UTF-8 '" + std::string(program) +
                         "' --offline '" + DriveFolder(tree, 'C') + "' --cpus 2 --media '" +
                         DriveFolder(tree, 'D') + "'; echo $? > '" + exitFile + "'; sleep 60"));
  for (const char* text : {"Current HAL :          Uniprocessor HAL", "Installed Processors : 2",
                           "HAL Recovery :         Not Present", "recomends that you upgrade",
                           "(*) Install a Multiprocessor HAL", "[< Apply >]"}) {
    if (!tmux.WaitFor(text)) return;
  }
  // The upgrade is preselected; mark the recovery entry and apply, with the CD in D:.
  tmux.Keys({"Tab", "Tab", "Tab", "Space"});
  if (!tmux.WaitFor("[X] Enable HAL Recovery boot option")) return;
  tmux.Keys({"Enter"});
  if (!tmux.WaitFor("ensure that the correct source media is used.")) return;
  tmux.Keys({"Enter"});
  if (!tmux.WaitFor("[D:\\I386\\HAL.DLL")) return;
  tmux.Keys({"Enter"});
  if (!tmux.WaitFor("Installation Successful!")) return;
  tmux.Keys({"Enter"});
  if (!tmux.WaitFor("Current HAL :          Multiprocessor HAL")) return;
  tmux.Keys({"Escape"});
  std::optional<std::string> exitCode;
  for (int tries = 0; tries < 100 && !exitCode; ++tries) {
    std::string text = halshift::testing::ReadHostFile(exitFile);
    if (!text.empty()) exitCode = text;
    if (!exitCode) usleep(100000);
  }
  EXPECT_EQ(exitCode.value_or("<none>"), "1\n");
  EXPECT_TRUE(IsNt4Hive(tree.DrivePath(kSoftwareHive)));
  const std::string log = ReadLog(tree).value_or("");
  EXPECT_NE(log.find("The system is upgraded to Multiprocessor HAL."), std::string::npos) << log;
  EXPECT_NE(log.find("HAL Recovery is enabled."), std::string::npos) << log;
}

}  // namespace
}  // namespace halshift
