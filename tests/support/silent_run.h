// Runs halshift in-process over a machine image, silently, as the Linux entry point does, and
// reads back what the session logged.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/app.h"
#include "core/strings.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"

namespace halshift::testing {

inline constexpr const char* kRunningEntry =
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00\"";

struct SilentRun {
  int exitCode = -1;
  std::optional<std::string> log;  // the whole log file
  std::string standardOutput;
};

// Runs one session; fault injection, when given, is set up on the opened image first.
template <typename Setup>
SilentRun RunSilent(const TempImage& image, const std::string& commandLine, Setup setup) {
  SilentRun run;
  {
    auto machine = OpenMachine(image);
    if (!machine) return run;
    setup(*machine->image);
    HalUtilityApp app(machine->Platform());
    app.Startup(commandLine);
    run.exitCode = app.Shutdown();
    run.standardOutput = machine->out.written;
  }
  run.log = ReadLog(image);
  return run;
}

inline SilentRun RunSilent(const TempImage& image, const std::string& commandLine) {
  return RunSilent(image, commandLine, [](image::MachineImage&) {});
}

// The entries that the driver wrote: what follows the state block and precedes the footer of
// the last session; nothing when the log is missing or incomplete.
inline std::optional<std::string> DriverEntries(const std::optional<std::string>& log) {
  if (!log) return std::nullopt;
  const std::string footer = std::string("\r\n") + kLogRule + "Session Complete\r\n" + kLogRule;
  if (log->size() < footer.size() || log->compare(log->size() - footer.size(), footer.size(), footer) != 0) {
    return std::nullopt;
  }
  const std::size_t state = log->rfind("\r\nHAL Recovery:");
  if (state == std::string::npos) return std::nullopt;
  const std::size_t start = log->find("\r\n\r\n", state);
  if (start == std::string::npos) return std::nullopt;
  return log->substr(start + 4, log->size() - footer.size() - (start + 4));
}

// A log text as the file stores it: every line feed as CR LF.
inline std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline std::string Text(unsigned id) { return std::string(strings::BuiltInString(id)); }

}  // namespace halshift::testing
