// The line view of BOOT.INI that edits and rewrites it (BootMenuFile), and the removal of what
// a cut-off save leaves. Reading it is inspect/boot_ini.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inspect/boot_ini.h"
#include "platform/platform.h"

namespace halshift::bootmenu {

// The whole boot menu of one drive as lines, between loading and saving.
class BootMenuFile {
 public:
  explicit BootMenuFile(platform::FileSystem& files) : files_(files) {}

  // Copies root + "BOOT.INI" as it is on disk to "BOOTINI.ORV" beside it, whole or not at all:
  // through a temporary file in the root, flushed before it replaces the backup. Leaves the
  // backup read-only, hidden and system. False, with the earlier backup as it was and no
  // temporary file left, when the copy cannot be made.
  bool Backup(std::string_view root);

  // Reads root + "BOOT.INI" as lines. False when the file is missing or cannot be read; the
  // lines are then empty, and a caller must not save them.
  bool Load(std::string_view root);

  // Edits in memory; nothing is written. InsertLine at Lines().size() appends; an index past
  // that, and RemoveLine of a line that does not exist, change nothing.
  void InsertLine(std::size_t index, std::string line);
  void AppendLine(std::string line);
  void RemoveLine(std::size_t index);

  // Replaces "BOOT.INI" with the lines, each ended by CR LF, and sets it and its backup
  // read-only, hidden and system whatever happened. The new text is written to a temporary
  // file in the root, flushed, and moved over "BOOT.INI" in one step only when it is complete,
  // so that BOOT.INI is the old or the new file at every moment, and a failed save leaves the
  // old file and no temporary file. Refused without a Backup of this root first: the failure
  // text sends the user to the backup. True when "BOOT.INI" holds the lines.
  bool Save();

  const std::vector<std::string>& Lines() const { return lines_; }
  const std::string& Root() const { return root_; }

 private:
  platform::FileSystem& files_;
  std::string root_;
  std::vector<std::string> lines_;
  bool backedUp_ = false;
};

// The temporary files a boot menu save leaves in the root of a fixed drive when it is cut
// off are removed (at start, before anything else is done with the boot menus).
void RemoveLeftoverTemporaryFiles(platform::FileSystem& files);

}  // namespace halshift::bootmenu
