// The recovery boot entry: the BOOT.INI line that starts the spare HAL and kernel.
#include "bootmenu/recovery.h"

#include <optional>

#include "base/text.h"
#include "base/winpath.h"
#include "inspect/arc_path.h"
#include "inspect/recovery_detect.h"

namespace halshift::bootmenu {
namespace {

enum class Edit { kInsert, kRemove };

void WriteRunningEntry(platform::Platform& platform, const IniEntry& entry) {
  platform.out.Write(entry.key + "=" + entry.value + "\n");
}

// The walk that both edits share: the first boot drive holding the running entry is the one
// edited, whatever the outcome. Once the entry is found and the edit is needed, the menu is
// backed up before anything is decided, so that whenever the edit then fails, BOOTINI.ORV
// holds exactly the BOOT.INI on disk, as the failure text tells the user.
BootMenuOutcome EditBootMenu(platform::Platform& platform, Edit edit) {
  BootMenuOutcome outcome;
  MenuEdit& result = outcome.edit;
  ForEachBootDrive(platform.files, [&](const std::string& root) {
    const std::optional<IniEntry> running = FindRunningEntry(platform, root);
    if (!running) return Walk::kContinue;
    outcome.drive = winpath::DriveDesignation(root);
    WriteRunningEntry(platform, *running);

    const bool present = IsRecoveryEntryPresent(platform);
    if ((edit == Edit::kInsert && present) || (edit == Edit::kRemove && !present)) {
      result = MenuEdit::kDone;  // already as asked: nothing is loaded, copied or written
      return Walk::kStop;
    }

    BootMenuFile menu(platform.files);
    if (!menu.Backup(root)) return Walk::kStop;  // without a backup, BOOT.INI is not touched
    result = MenuEdit::kFailed;
    if (!menu.Load(root)) return Walk::kStop;  // an unreadable menu is never rewritten

    // Keys compare as the system reads them, without the blanks around "=": the profile
    // reader may or may not have trimmed the running entry's key, the line keeps them.
    const std::string_view key = text::Trim(running->key);
    const std::optional<std::size_t> line =
        FindOperatingSystemsLine(menu.Lines(), [&](std::string_view candidate) {
          if (text::Trim(LineKey(candidate)) != key) return false;
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
    if (menu.Save()) result = MenuEdit::kDone;
    return Walk::kStop;
  });
  return outcome;
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

BootMenuOutcome AddRecoveryEntry(platform::Platform& platform) {
  return EditBootMenu(platform, Edit::kInsert);
}

BootMenuOutcome RemoveRecoveryEntry(platform::Platform& platform) {
  return EditBootMenu(platform, Edit::kRemove);
}

}  // namespace halshift::bootmenu
