// The system survey: the facts about the machine that stay the same while halshift runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/state.h"
#include "platform/platform.h"

namespace halshift::inspect {

inline constexpr std::string_view kWindowsControlKey = "System\\CurrentControlSet\\Control\\Windows";
inline constexpr std::string_view kCsdVersionValue = "CSDVersion";

// The installed service pack: CSDVersion, which keeps the number in its second byte, divided
// by 255; 0 when the key or the value cannot be read.
std::int32_t ReadServicePack(platform::Registry& registry);

// The first drive letter from A to Z whose root is a CD-ROM drive, with its colon ("E:");
// empty when there is none.
std::string FindCdromDrive(platform::FileSystem& files);

// The survey of the machine: processors, enabled cores and APIC flag from the firmware
// tables, the service pack and the first CD-ROM drive. Always completes.
SystemSurvey RunSystemSurvey(platform::Platform& machine);

// True when SMBIOS reports more enabled cores than the MP configuration lists processors:
// Windows NT 4.0 starts only those it lists.
bool FirmwareHidesProcessors(const SystemSurvey& survey);

}  // namespace halshift::inspect
