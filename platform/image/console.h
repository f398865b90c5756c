// Message boxes, standard output and the clock for the Linux build, on the terminal.
//
// May contain: POSIX and C++ standard library calls. No logic of the program.
#pragma once

#include "platform/platform.h"

namespace halshift::image {

// Draws message boxes in the terminal and waits for the user's answer. Without a terminal on
// standard input (a pipe, a script, cron) it prints the caption and text to standard error
// and answers as if confirmed (OK or Yes): nothing ever waits for input that cannot come.
class ConsoleUserInterface : public platform::UserInterface {
 public:
  int MessageBox(platform::BoxOwner owner, std::string_view text, std::string_view caption,
                 unsigned style) override;
  std::string LoadString(unsigned id) override;
  void ShowHelp(std::string_view helpFile) override;
  // There is no window without a terminal: says so on standard error and offers none, so an
  // interactive session ends at once.
  platform::DialogHost* Dialogs() override;
};

class ConsoleOutput : public platform::StandardOutput {
 public:
  void Write(std::string_view text) override;
};

class SystemClock : public platform::Clock {
 public:
  std::optional<std::tm> LocalTime() override;
};

}  // namespace halshift::image
