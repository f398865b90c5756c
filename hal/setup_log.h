// The emergency repair record %SystemRoot%\repair\setup.log, as far as a HAL switch touches
// it: the lines of section [Files.WinNt] that name, for each installed system file, the file
// on the installation media it came from and that file's checksum:
//
//   \WINNT\system32\hal.dll = "halmps.dll","1a01c"
//
// The key is the file's path from the root of its drive; the value is the media file's name
// in lower case and its image checksum (as CheckSumMappedFile computes it) in lower-case
// hexadecimal without leading zeros, each in double quotes, separated by a comma. Service
// packs and the repair process read these lines to decide which file to put down.
//
// Pure functions over the file's bytes. A rewrite changes the chosen lines' values and keeps
// every other byte: line ends, other sections, spacing and the keys of the lines it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::hal {

inline constexpr std::string_view kSetupLogSection = "Files.WinNt";
// A larger file is not a setup record of one installation; it is left alone.
inline constexpr std::size_t kMaxSetupLogBytes = std::size_t{16} * 1024 * 1024;

// One line of [Files.WinNt] as found.
struct SetupLogEntry {
  std::size_t line = 0;  // 0-based line number in the file
  std::string key;       // the text before the first "=", without surrounding blanks
  // The comma-separated fields of the value, without surrounding blanks and quotes; the
  // first is the media file's name, the second its checksum.
  std::vector<std::string> fields;
};

// The first line of a [Files.WinNt] section (the header compared without regard to case)
// whose key equals path without regard to case; nothing when there is none.
std::optional<SetupLogEntry> FindSetupLogFile(std::string_view text, std::string_view path);

// What one installed file now comes from.
struct SetupLogChange {
  std::string path;       // from the root of its drive: "\WINNT\system32\hal.dll"
  std::string mediaName;  // "HALMPS.DLL" or "halmps.dll": written in lower case
  std::uint32_t checkSum = 0;
};

struct SetupLogChangedLine {
  std::size_t line = 0;    // 0-based line number, the same before and after
  std::size_t change = 0;  // index into the changes asked for
};

struct SetupLogRewrite {
  std::string text;  // the whole new file; equal to the input when nothing changed
  // The lines whose bytes differ, in file order; a line that already read as asked is not
  // among them.
  std::vector<SetupLogChangedLine> changed;
  bool tooLarge = false;  // the input was longer than kMaxSetupLogBytes and is returned as it is
};

// The value setup writes for a media file: "\"halmps.dll\",\"1a01c\"".
std::string FormatSetupLogValue(std::string_view mediaName, std::uint32_t checkSum);

// Rewrites, in every [Files.WinNt] section, each line whose key matches a change's path
// (without regard to case) to
//   <the line's own text up to and including the blanks after "="><FormatSetupLogValue>
// followed by the line's own end ("\r\n", "\n", or nothing on a last line without one).
// Further fields after the checksum (a repair disk's source and tag file) go with the old
// value, since they describe where the old file came from. Lines that match no change, other
// sections, and a file without the section or without a line for a change stay byte for
// byte; when two changes name the same path, the first wins.
SetupLogRewrite RewriteSetupLog(std::string_view text, std::span<const SetupLogChange> changes);

// Where setup put the installation, from the section [Paths]:
//
//   TargetDirectory = "\WINNT"
//   TargetDevice = "\Device\Harddisk0\partition1"
//   SystemPartition = "\Device\Harddisk0\partition1"
//
// the system root's directory on its partition, the NT device of that partition, and the NT
// device of the partition the machine starts from (the one with BOOT.INI).
inline constexpr std::string_view kSetupLogPathsSection = "Paths";
struct SetupLogPaths {
  std::string targetDirectory;
  std::string targetDevice;
  std::string systemPartition;
  friend bool operator==(const SetupLogPaths&, const SetupLogPaths&) = default;
};
// The first field of the first line of each key in the first [Paths] section (header and keys
// compared without regard to case), without its quotes; empty for a key that is not there, and
// all empty for a file larger than kMaxSetupLogBytes.
SetupLogPaths ReadSetupLogPaths(std::string_view text);

// The path setup.log uses for a file of the system directory: systemRoot ("C:\WINNT") without
// its drive, then "\system32\" and the file name: "\WINNT\system32\hal.dll".
std::string SystemFilePath(std::string_view systemRoot, std::string_view fileName);

}  // namespace halshift::hal
