// The recovery boot entry: spare HAL and kernel, and the BOOT.INI line that starts them.
#include "bootmenu/recovery.h"

#include <optional>

#include "app/strings.h"
#include "bootmenu/arc_path.h"
#include "bootmenu/recovery_detect.h"
#include "hal/installer.h"
#include "hal/upgrade.h"

namespace halshift::bootmenu {
namespace {

enum class Edit { kInsert, kRemove };

void WriteRunningEntry(platform::Platform& platform, const IniEntry& entry) {
  platform.out.Write(entry.key + "=" + entry.value + "\n");
}

// The walk that both edits share: the first boot drive holding the running entry is the one
// edited, whatever the outcome.
bool EditBootMenu(platform::Platform& platform, Edit edit) {
  bool result = false;
  ForEachBootDrive(platform.files, [&](const std::string& root) {
    const std::optional<IniEntry> running = FindRunningEntry(platform, root);
    if (!running) return Walk::kContinue;
    WriteRunningEntry(platform, *running);

    const bool present = IsRecoveryEntryPresent(platform);
    if ((edit == Edit::kInsert && present) || (edit == Edit::kRemove && !present)) {
      result = true;  // already as asked: nothing is loaded, copied or written
      return Walk::kStop;
    }

    BootMenuFile menu(platform.files);
    if (!menu.Load(root)) return Walk::kStop;  // an unreadable menu is never rewritten

    const std::string& key = running->key;
    const std::optional<std::size_t> line =
        FindOperatingSystemsLine(menu.Lines(), [&](std::string_view candidate) {
          if (LineKey(candidate) != key) return false;
          return edit == Edit::kInsert ||
                 candidate.find(kRecoveryMarker) != std::string_view::npos;
        });
    // Rewriting the menu unchanged would report an edit that was not made.
    if (!line) return Walk::kStop;

    if (edit == Edit::kInsert) {
      menu.InsertLine(*line + 1, RecoveryLine(*running));
    } else {
      menu.RemoveLine(*line);
    }
    result = menu.Save();
    return Walk::kStop;
  });
  return result;
}

}  // namespace

std::string RecoveryLine(const IniEntry& runningEntry) {
  const std::size_t lastQuote = runningEntry.value.rfind('"');
  std::string line = runningEntry.key;
  line += '=';
  if (lastQuote != std::string::npos) line.append(runningEntry.value, 0, lastQuote);
  line += kRecoverySuffix;
  return line;
}

bool AddRecoveryEntry(platform::Platform& platform) { return EditBootMenu(platform, Edit::kInsert); }

bool RemoveRecoveryEntry(platform::Platform& platform) {
  return EditBootMenu(platform, Edit::kRemove);
}

bool EnableRecovery(HalInstallation& installation, std::string& error) {
  platform::Platform& machine = installation.Machine();
  // The plain uniprocessor HAL, whatever the firmware says about the APIC.
  if (!hal::InstallFiles(installation, hal::UniprocessorSourceNames, hal::RecoveryFileNames)) {
    error = machine.ui.LoadString(strings::kCopyError);
    return false;
  }
  // When the menu cannot be edited the spare files stay installed, as a matching pair: only
  // the recovery entry starts them.
  if (!AddRecoveryEntry(machine)) {
    error = machine.ui.LoadString(strings::kBootIniError);
    return false;
  }
  return true;
}

bool DisableRecovery(HalInstallation& installation, std::string& error) {
  platform::Platform& machine = installation.Machine();
  if (!RemoveRecoveryEntry(machine)) {
    error = machine.ui.LoadString(strings::kBootIniError);
    return false;
  }
  return true;
}

}  // namespace halshift::bootmenu
