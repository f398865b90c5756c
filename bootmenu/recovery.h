// Enabling and disabling the HAL Recovery boot entry: the recovery line, and the edits of
// BOOT.INI that add it after the running installation's entry or take it out again.
#pragma once

#include <string>
#include <string_view>

#include "core/state.h"
#include "bootmenu/boot_menu.h"
#include "platform/platform.h"

namespace halshift::bootmenu {

// What follows the running entry's description in the recovery line: the menu text's
// addition, the closing quote, and the switches that start the spare HAL and kernel in VGA
// mode with the marker.
inline constexpr std::string_view kRecoverySuffix =
    " [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1";

// The recovery line for a running entry: its key, "=", its value up to (not including) the
// value's last double quote (nothing when it has none), then kRecoverySuffix.
std::string RecoveryLine(const IniEntry& runningEntry);

// How an edit of the boot menu ended.
enum class MenuEdit {
  kDone,       // the menu is as asked (also when it already was)
  kUnchanged,  // BOOT.INI was not touched and no fresh backup was made
  kFailed,     // BOOT.INI was not edited; BOOTINI.ORV holds it as it is on disk
};

struct BootMenuOutcome {
  MenuEdit edit = MenuEdit::kUnchanged;
  // The boot drive whose menu holds the running entry ("C:"); empty when none does.
  std::string drive;
  bool Succeeded() const { return edit == MenuEdit::kDone; }
};

// On the first boot drive whose operating-systems section holds the running entry: writes
// that entry to standard output, and unless the recovery entry is already present, backs the
// menu up, inserts the recovery line after the first line with the running entry's key (keys
// compared without the blanks around them, as "key = value" lines are read) and saves the
// menu. kUnchanged when no drive holds the running entry or the backup cannot be made;
// kFailed when the menu cannot be read, no line carries the running entry's key, or the save
// fails. The spare files the entry starts are installed first: EnableRecovery in
// app/operations.h.
BootMenuOutcome AddRecoveryEntry(platform::Platform& platform);

// The same walk; unless the recovery entry is absent, backs the menu up and removes the first
// line with the running entry's key that contains "/ORVRCV=1". kFailed also when no such line
// is on that drive's menu (the entry detected sits on another drive).
BootMenuOutcome RemoveRecoveryEntry(platform::Platform& platform);

}  // namespace halshift::bootmenu
