// The command line of the Linux build: its own options, which come first, and the rest as
// Windows would hold it (the arguments, split by the shell, joined again so that the program
// sees the same tail as halshift.exe would).
//
// May contain: C++ standard library only.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/vm_config.h"

namespace halshift::image {

// The arguments after the program name, separated by one blank. An empty argument, or one with
// a blank or a tab, is enclosed in double quotes; within them a quotation mark is written \"
// and the backslashes just before it, or before the closing quote, are doubled, as
// CommandLineToArgvW reads them back.
std::string JoinCommandLine(std::span<const char* const> arguments);

// The Linux build's own options. Each takes its value as the next argument or after "="
// ("--cpus 2", "--cpus=2").
struct LinuxOptions {
  // --offline PATH: the system drive's root folder, or a disk image file that holds it
  std::optional<std::string> offline;
  struct Drive {
    char letter = 'C';  // upper case
    std::string folder;
  };
  std::vector<Drive> drives;           // --drive L=PATH, each letter once
  std::optional<unsigned> cpus;        // --cpus N, 1 to kMaxProcessors (vm_config.h)
  bool noApic = false;                 // --no-apic
  std::optional<std::string> vmConfig;  // --vm-config FILE
  std::optional<std::string> firmware;  // --firmware FILE
  std::optional<std::string> media;     // --media PATH: a folder or an ISO 9660 image
  bool noBackup = false;                // --no-backup: no snapshot or copy of a disk first
  // Where the Windows command line begins: the index of the first argument that is not one of
  // these options (the count of arguments when there is none).
  std::size_t windowsStart = 0;
};

// A message as one line: control characters (a line feed in a path a person typed) shown as '?'.
std::string OneLine(std::string_view message);

// Reads the options from the arguments after the program name, up to the first argument that
// is not one of them; every argument from there on belongs to the Windows command line, so
// "-h", "/?" and "-help" keep their Windows meaning. Nothing, with error set to one line that
// names the fault and what to do, when an option lacks its value or has a wrong one, is given
// twice, or does not fit with the others: without --offline, none of the others may be given;
// with it, exactly one of --cpus, --vm-config and --firmware must be, and --no-apic not with
// --firmware (the dump tells).
std::optional<LinuxOptions> ParseLinuxOptions(std::span<const char* const> arguments,
                                              std::string& error);

}  // namespace halshift::image
