// Terminal message boxes, standard output and the local clock of the Linux build.
#include "platform/image/console.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "core/strings.h"

namespace halshift::image {
namespace {

bool HaveTerminal() { return isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1; }

}  // namespace

int ConsoleUserInterface::MessageBox(platform::BoxOwner, std::string_view text,
                                     std::string_view caption, unsigned style) {
  const bool yesNo = (style & 0xF) == platform::kMbYesNo;
  std::cerr << "[ " << caption << " ]\n" << text << "\n";
  if (!HaveTerminal()) {
    std::cerr.flush();
    return yesNo ? platform::kIdYes : platform::kIdOk;
  }
  for (;;) {
    std::cerr << (yesNo ? "[Yes/No] " : "[OK: press Enter] ") << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return yesNo ? platform::kIdNo : platform::kIdOk;
    if (!yesNo) return platform::kIdOk;
    if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) return platform::kIdYes;
    if (!answer.empty() && (answer[0] == 'n' || answer[0] == 'N')) return platform::kIdNo;
  }
}

std::string ConsoleUserInterface::LoadString(unsigned id) {
  return std::string(strings::BuiltInString(id));
}

void ConsoleUserInterface::ShowHelp(std::string_view helpFile) {
  std::cerr << "halshift: see the manual page halshift(1) (" << helpFile << ")\n";
}

platform::DialogHost* ConsoleUserInterface::Dialogs() {
  std::cerr << "halshift: the interactive window needs a terminal; run with keywords, such as "
               "upgrade_hal or enable_recovery, for a silent run\n";
  return nullptr;
}

void ConsoleOutput::Write(std::string_view text) { std::cout << text << std::flush; }

std::optional<std::tm> SystemClock::LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return std::nullopt;
  return local;
}

}  // namespace halshift::image
