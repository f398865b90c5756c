// The machine of a Windows NT installation that is not running, made from its folders on disk
// (a mounted partition or a copy), its own registry hives and a description of the machine
// that will start it: the Linux build's --offline mode.
//
// May contain: POSIX and C++ standard library calls. Must not contain: any of the program's
// own logic; the offline machine only answers the platform's questions as the installation's
// own files answer them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/command_line.h"
#include "platform/image/machine_image.h"

namespace halshift::image {

// What the command line names of an offline machine.
struct OfflineMachine {
  // The root folder of the installation's system drive, or a disk image file that holds it.
  std::filesystem::path systemDrive;
  std::vector<LinuxOptions::Drive> drives;  // its other drives
  std::optional<std::filesystem::path> media;  // a folder or an ISO 9660 image
  // The firmware area of the machine that will start it (physical memory from
  // kFirmwareAreaBase on).
  std::vector<std::uint8_t> firmwareArea;
  // Whether a disk is kept as it was before its first change (a qcow2 snapshot or a copy).
  bool backup = true;
};

// The offline machine that the options describe, its firmware area made from --cpus and
// --no-apic, read from --vm-config, or taken from the --firmware dump; nothing, with error
// set to one line naming the fault and what to do, when a file cannot be read or is not what
// it should be.
std::optional<OfflineMachine> DescribeOfflineMachine(const LinuxOptions& options,
                                                     std::string& error);

// The paths of an installation that halshift reads or changes, from the system root
// ("C:\WINNT") and the drive holding BOOT.INI ("C:"). None of them may lead through a symbolic
// link: an installation where one does is refused.
std::vector<std::string> NeededPaths(std::string_view systemRoot, std::string_view bootDrive);

}  // namespace halshift::image
