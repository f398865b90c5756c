// Keeping %SystemRoot%\repair\setup.log in step with a change of system files, on disk: its
// [Files.WinNt] lines of the files a HAL switch installed are rewritten (hal/setup_log.h) to
// name the media file each now comes from, with that file's checksum, so that a later service
// pack or an emergency repair puts back the kind of HAL that is installed.
//
// The old file is first copied to setup.orv beside it (as BOOT.INI is to BOOTINI.ORV): the
// ".ORV" extension marks halshift's backups, and the name is none that setup, the repair disk
// utility or a service pack writes into the repair folder. The new text goes to a temporary
// file in the same folder, which is flushed and then moved over setup.log in one step, so
// that setup.log is the old or the new file at every moment. setup.log keeps its attributes.
#pragma once

#include <string>
#include <string_view>

#include "hal/intent_record.h"
#include "platform/platform.h"

namespace halshift::hal {

inline constexpr std::string_view kSetupLogBackupName = "setup.orv";
// The prefix of the temporary files of a rewrite in the repair folder.
inline constexpr std::string_view kSetupLogTempPrefix = "slt";

// systemRoot + "\repair\setup.log".
std::string SetupLogPath(std::string_view systemRoot);

enum class SetupLogUpdate {
  kUnchanged,  // nothing to do: no setup.log, no line for any file, or every line already reads
               // as asked (so a second rewrite changes nothing); or a file too large to be one
  kUpdated,    // the lines were rewritten
  kFailed,     // setup.log could not be read or replaced; it is as it was
};

// Rewrites record.setupLogPath's [Files.WinNt] lines of the record's files: for each, the line
// of SystemFilePath(record.systemRoot, its destination's name) gets its media name and the
// checksum of the new file, read from its destination (which must hold it: the change has been
// completed). kUnchanged without doing anything when the record names no setup.log.
SetupLogUpdate UpdateSetupLog(platform::FileSystem& files, const IntentRecord& record);

// Removes the temporary files that a rewrite cut off leaves in the repair folder of systemRoot.
void RemoveSetupLogLeftovers(platform::FileSystem& files, std::string_view systemRoot);

}  // namespace halshift::hal
