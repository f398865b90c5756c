// Recovery entry detection: a running-system entry carrying the marker switch, on any boot
// drive.
#include "inspect/recovery_detect.h"

#include <string>

#include "inspect/arc_path.h"
#include "inspect/boot_ini.h"

namespace halshift::bootmenu {

bool IsRecoveryEntryPresent(platform::Platform& platform) {
  // Unlike the edits, which act on the first drive holding the running entry, detection goes
  // on through every boot drive until one gives a hit.
  return ForEachBootDrive(platform.files, [&](const std::string& root) {
    IniSection section(platform.files, std::string(kOperatingSystemsSection),
                       root + std::string(kBootMenuName));
    for (const IniEntry* entry = section.FirstEntry(); entry != nullptr;
         entry = section.NextEntry()) {
      if (!IsRunningSystemArcPath(platform, entry->key)) continue;
      if (entry->value.find(kRecoveryMarker) != std::string::npos) return Walk::kStop;
    }
    return Walk::kContinue;
  });
}

}  // namespace halshift::bootmenu
