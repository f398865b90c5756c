// Where halshift keeps its own files on the system drive: the activity log, and beside it the
// intent record of a change of system files that has begun and not yet ended.
#pragma once

#include <string>
#include <string_view>

namespace halshift::locations {

// The two folder levels on the system drive ("C:"), as they are created.
inline std::string ProgramFolder(std::string_view drive) {
  return std::string(drive) + "\\ORVSYSTEM";
}
inline std::string LogFolder(std::string_view drive) {
  return std::string(drive) + "\\ORVSYSTEM\\log";
}
// The activity log; the folder names in the other case name the same folders.
inline std::string LogPath(std::string_view drive) {
  return std::string(drive) + "\\orvsystem\\log\\halshift.log";
}
inline std::string IntentRecordPath(std::string_view drive) {
  return std::string(drive) + "\\orvsystem\\log\\halshift.jnl";
}

}  // namespace halshift::locations
