// Fuzzes the Linux build's own options over arbitrary argument lists (the input split at zero
// bytes): the parse never reads past an argument, stops at the first word that is not one of
// its options, and what it accepts fits together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/command_line.h"

using halshift::fuzzing::Check;

namespace {

constexpr std::string_view kNames[] = {"--offline", "--drive", "--cpus", "--no-apic",
                                       "--vm-config", "--firmware", "--media"};

// Whether a word names one of the options, alone or with its value after "=".
bool IsOption(std::string_view word) {
  for (std::string_view name : kNames) {
    if (word == name) return true;
    if (name != "--no-apic" && word.size() > name.size() && word.substr(0, name.size()) == name &&
        word[name.size()] == '=') {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) words.push_back(current);
  std::vector<const char*> arguments;
  for (const std::string& word : words) arguments.push_back(word.c_str());

  std::string error;
  const auto options = halshift::image::ParseLinuxOptions(arguments, error);
  if (!options) {
    Check(!error.empty() && error.find('\n') == std::string::npos);
    return 0;
  }
  Check(options->windowsStart <= arguments.size());
  // The Windows command line begins with a word that is not an option.
  if (options->windowsStart < arguments.size()) Check(!IsOption(arguments[options->windowsStart]));
  const int sources = (options->cpus ? 1 : 0) + (options->vmConfig ? 1 : 0) + (options->firmware ? 1 : 0);
  if (options->offline) {
    Check(sources == 1 && !(options->noApic && options->firmware));
  } else {
    Check(sources == 0 && options->drives.empty() && !options->media && !options->noApic);
  }
  if (options->cpus) Check(*options->cpus >= 1 && *options->cpus <= halshift::image::kMaxProcessors);
  for (std::size_t i = 0; i < options->drives.size(); ++i) {
    Check(options->drives[i].letter >= 'A' && options->drives[i].letter <= 'Z');
    for (std::size_t j = 0; j < i; ++j) Check(options->drives[i].letter != options->drives[j].letter);
  }
  return 0;
}
