// Whether the boot menu already holds the HAL Recovery entry of the running installation.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace halshift::bootmenu {

// The switch that marks the recovery entry; searched for exactly, case included.
inline constexpr std::string_view kRecoveryMarker = "/ORVRCV=1";

// True when some boot drive, in letter order, has an entry whose key names the running
// installation and whose value contains "/ORVRCV=1". Only reads; unreadable files, sections
// and lookups count as misses.
bool IsRecoveryEntryPresent(platform::Platform& platform);

}  // namespace halshift::bootmenu
