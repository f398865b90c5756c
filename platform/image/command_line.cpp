// The command line of the Linux build: its own options, and the rest joined into a Windows
// command-line tail.
#include "platform/image/command_line.h"

#include <string_view>

namespace halshift::image {
namespace {

void AppendQuoted(std::string& line, std::string_view argument) {
  line += '"';
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quotation mark are doubled, and the mark itself escaped.
    line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  // Before the closing quote, too.
  line.append(backslashes * 2, '\\');
  line += '"';
}

}  // namespace

std::string JoinCommandLine(std::span<const char* const> arguments) {
  std::string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ' ';
    const std::string_view text = arguments[i] != nullptr ? arguments[i] : "";
    if (text.empty() || text.find_first_of(" \t") != std::string_view::npos) {
      AppendQuoted(line, text);
    } else {
      line += text;
    }
  }
  return line;
}

namespace {

enum class Option { kOffline, kDrive, kCpus, kNoApic, kVmConfig, kFirmware, kMedia, kNoBackup };

struct OptionName {
  Option option;
  std::string_view name;
  bool takesValue;
};

constexpr OptionName kOptions[] = {
    {Option::kOffline, "--offline", true},   {Option::kDrive, "--drive", true},
    {Option::kCpus, "--cpus", true},         {Option::kNoApic, "--no-apic", false},
    {Option::kVmConfig, "--vm-config", true}, {Option::kFirmware, "--firmware", true},
    {Option::kMedia, "--media", true},       {Option::kNoBackup, "--no-backup", false},
};

// The option an argument names, with its value when it came after "="; nothing when the
// argument is not one of the options.
struct Named {
  const OptionName* option = nullptr;
  std::optional<std::string_view> inlineValue;
};

Named NameOf(std::string_view argument) {
  for (const OptionName& option : kOptions) {
    if (argument == option.name) return {&option, std::nullopt};
    if (option.takesValue && argument.size() > option.name.size() &&
        argument.substr(0, option.name.size()) == option.name &&
        argument[option.name.size()] == '=') {
      return {&option, argument.substr(option.name.size() + 1)};
    }
  }
  return {};
}

std::optional<unsigned> ParseCount(std::string_view text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    count = count * 10 + static_cast<unsigned>(c - '0');
  }
  if (count < 1 || count > kMaxProcessors) return std::nullopt;
  return count;
}

bool Fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

// Stores one option's value; false with the error when it is wrong.
bool Store(LinuxOptions& options, const OptionName& option, std::string_view value,
           std::string& error) {
  const std::string name(option.name);
  const auto once = [&](auto& field) {
    if (field) return Fail(error, name + " is given twice: give it once");
    if (value.empty()) return Fail(error, name + " needs a path after it");
    field = std::string(value);
    return true;
  };
  switch (option.option) {
    case Option::kOffline:
      return once(options.offline);
    case Option::kVmConfig:
      return once(options.vmConfig);
    case Option::kFirmware:
      return once(options.firmware);
    case Option::kMedia:
      return once(options.media);
    case Option::kCpus: {
      if (options.cpus) return Fail(error, name + " is given twice: give it once");
      options.cpus = ParseCount(value);
      if (!options.cpus) {
        return Fail(error, "--cpus " + std::string(value) + ": give the number of processors, 1 to " +
                               std::to_string(kMaxProcessors) + " (such as --cpus 2)");
      }
      return true;
    }
    case Option::kNoApic:
      if (options.noApic) return Fail(error, name + " is given twice: give it once");
      options.noApic = true;
      return true;
    case Option::kNoBackup:
      if (options.noBackup) return Fail(error, name + " is given twice: give it once");
      options.noBackup = true;
      return true;
    case Option::kDrive: {
      const bool shaped = value.size() > 2 && value[1] == '=' &&
                          ((value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z'));
      if (!shaped) {
        return Fail(error, "--drive " + std::string(value) +
                               ": give a drive letter and a folder, such as --drive D=/mnt/data");
      }
      const char letter = static_cast<char>(value[0] & ~0x20);
      for (const auto& drive : options.drives) {
        if (drive.letter == letter) {
          return Fail(error, std::string("--drive ") + letter + " is given twice: give each drive once");
        }
      }
      options.drives.push_back({letter, std::string(value.substr(2))});
      return true;
    }
  }
  return true;
}

}  // namespace

std::string OneLine(std::string_view message) {
  std::string line(message);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return line;
}

namespace {

std::optional<LinuxOptions> ParseOptions(std::span<const char* const> arguments, std::string& error) {
  LinuxOptions options;
  std::size_t index = 0;
  for (; index < arguments.size(); ++index) {
    const std::string_view argument = arguments[index] != nullptr ? arguments[index] : "";
    const Named named = NameOf(argument);
    if (named.option == nullptr) break;
    std::string_view value;
    if (named.inlineValue) {
      value = *named.inlineValue;
    } else if (named.option->takesValue) {
      if (index + 1 >= arguments.size() || arguments[index + 1] == nullptr) {
        error = std::string(named.option->name) + " needs a value after it";
        return std::nullopt;
      }
      value = arguments[++index];
    }
    if (!Store(options, *named.option, value, error)) return std::nullopt;
  }
  options.windowsStart = index;

  const int sources = (options.cpus ? 1 : 0) + (options.vmConfig ? 1 : 0) + (options.firmware ? 1 : 0);
  if (!options.offline) {
    const char* alone = !options.drives.empty() ? "--drive"
                        : options.cpus          ? "--cpus"
                        : options.noApic        ? "--no-apic"
                        : options.vmConfig      ? "--vm-config"
                        : options.firmware      ? "--firmware"
                        : options.media         ? "--media"
                        : options.noBackup      ? "--no-backup"
                                                : nullptr;
    if (alone != nullptr) {
      error = std::string(alone) + " works only with --offline PATH, the installation's system drive";
      return std::nullopt;
    }
    return options;
  }
  if (sources == 0) {
    error = "--offline needs the machine that will start the installation: give --cpus N, "
            "--vm-config FILE or --firmware FILE";
    return std::nullopt;
  }
  if (sources > 1) {
    error = "give only one of --cpus, --vm-config and --firmware: each describes the whole machine";
    return std::nullopt;
  }
  if (options.noApic && options.firmware) {
    error = "--no-apic does not go with --firmware: the firmware dump tells whether there is an APIC";
    return std::nullopt;
  }
  return options;
}

}  // namespace

std::optional<LinuxOptions> ParseLinuxOptions(std::span<const char* const> arguments,
                                              std::string& error) {
  auto options = ParseOptions(arguments, error);
  if (!options) error = OneLine(error);
  return options;
}

}  // namespace halshift::image
