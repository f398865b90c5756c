// Matching boot menu entries to the running installation through their ARC paths.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "inspect/boot_ini.h"
#include "platform/platform.h"

namespace halshift::bootmenu {

// The size of the buffers that receive a link target and a drive's device name, ending zero
// included.
inline constexpr std::size_t kDeviceNameBufferSize = 260;
inline constexpr std::string_view kArcNamePrefix = "\\ArcName\\";

// True when arcPath (such as multi(0)disk(0)rdisk(0)partition(1)\WINNT) names the running
// installation: its tail is the system root's directory and its device part leads to the same
// NT device as the system root's drive letter, all without regard to case and to blanks around
// the path. Any lookup that fails makes the answer false.
bool IsRunningSystemArcPath(platform::Platform& platform, std::string arcPath);

// Stores the target of the symbolic link object linkName in buffer as text ended by a zero.
// False, with the buffer left as it was, when the link cannot be read or when the target and
// its zero do not fit buffer. A target longer than the link's own name is read like any other:
// NT 4.0 names such as \Device\HarddiskVolume1 behind a short ARC name are common.
bool QueryLinkTarget(platform::NativeLinks& links, std::string_view linkName,
                     std::span<char> buffer);

// The running entry of the boot drive at root: the first entry of the "Operating Systems"
// section of root + "BOOT.INI" whose key names the running installation; nothing when none
// does.
std::optional<IniEntry> FindRunningEntry(platform::Platform& platform, std::string_view root);

}  // namespace halshift::bootmenu
