// HAL identification: the HAL kind and the system root recorded in the registry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace halshift::inspect {

inline constexpr std::string_view kCurrentVersionKey =
    "Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr std::string_view kCurrentTypeValue = "CurrentType";
inline constexpr std::string_view kSystemRootValue = "SystemRoot";
// The CurrentType text of the uniprocessor build; every other text means multiprocessor.
inline constexpr std::string_view kUniprocessorType = "Uniprocessor Free";
inline constexpr std::string_view kSystemDirectorySuffix = "\\System32";
// Both values are read into a buffer of this size, ending zero included.
inline constexpr std::size_t kRegistryTextBufferSize = 80;

// The text of CurrentType up to its first zero; empty when it cannot be read or does not fit
// 80 bytes.
std::string ReadCurrentType(platform::Registry& registry);
// The text of SystemRoot, read the same way.
std::string ReadSystemRoot(platform::Registry& registry);

}  // namespace halshift::inspect
