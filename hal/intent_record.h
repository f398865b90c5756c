// The intent record of a change of system files: what a change that has begun will do. It is
// written and flushed before the first existing file changes and removed as the change's last
// step, so that a change cut off at any point (a failed call, a kill, a power cut) can be
// finished, or undone, at the next start.
//
// The record is text, one item a line, each line ended by CR LF:
//
//   halshift intent 1
//   CurrentType=Multiprocessor Free          when the change records a HAL kind
//   SetupLog=C:\WINNT\repair\setup.log*C:\WINNT   when setup.log is kept in step, with SystemRoot
//   File=<staged>*<destination>*<aside>*<attributes>*<size>*<hash>*<media name>
//   ...
//   End=<number of File lines>
//
// '*' cannot stand in a Windows path or file name. <aside> is empty when the destination did
// not exist; <attributes> are the destination's before the change (hexadecimal), <size> and
// <hash> those of the new file's bytes (ContentHash, hexadecimal). A text without its End line,
// or with anything else in it, is no record: a change whose record was cut off while it was
// written had not yet touched an existing file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::hal {

// One file of the change.
struct IntentFile {
  std::string stagedPath;       // the new file, complete, under a temporary name
  std::string destinationPath;  // where it goes
  std::string asidePath;        // where the old file goes; empty when there was none
  std::uint32_t attributes = 0;  // the old file's attributes
  std::uint64_t size = 0;       // of the new file
  std::uint64_t hash = 0;       // ContentHash of the new file
  std::string mediaName;        // the file on the media that the new file comes from
  friend bool operator==(const IntentFile&, const IntentFile&) = default;
};

struct IntentRecord {
  std::optional<std::string> currentType;  // to write once every file is in place
  std::string setupLogPath;  // setup.log to keep in step; empty: it is not touched
  std::string systemRoot;    // SystemRoot, for the paths setup.log names its files by
  std::vector<IntentFile> files;
  friend bool operator==(const IntentRecord&, const IntentRecord&) = default;
};

// FNV-1a over the bytes, 64 bits: tells a complete new file from a cut-off one.
std::uint64_t ContentHash(std::string_view bytes);

std::string FormatIntentRecord(const IntentRecord& record);
// Nothing for a text that is not a whole record of this form.
std::optional<IntentRecord> ParseIntentRecord(std::string_view text);

}  // namespace halshift::hal
