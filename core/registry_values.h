// Where Windows NT records what halshift reads and changes of the installation: the HAL kind
// (CurrentType) and the Windows directory (SystemRoot) under the CurrentVersion key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace halshift::registry_values {

inline constexpr std::string_view kCurrentVersionKey =
    "Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr std::string_view kCurrentTypeValue = "CurrentType";
inline constexpr std::string_view kSystemRootValue = "SystemRoot";
// The CurrentType texts of the two free builds. Exactly the uniprocessor text means a
// uniprocessor HAL; every other text means a multiprocessor one.
inline constexpr std::string_view kUniprocessorType = "Uniprocessor Free";
inline constexpr std::string_view kMultiprocessorType = "Multiprocessor Free";
// Both values are read into a buffer of this size, ending zero included.
inline constexpr std::size_t kTextBufferSize = 80;

// The text of CurrentType up to its first zero; empty when it cannot be read or does not fit
// 80 bytes.
std::string ReadCurrentType(platform::Registry& registry);
// The text of SystemRoot, read the same way.
std::string ReadSystemRoot(platform::Registry& registry);
// The system directory: SystemRoot as the registry holds it (no separator added or removed),
// then "\System32"; "\System32" alone when SystemRoot cannot be read.
std::string ReadSystemDirectory(platform::Registry& registry);
// Sets CurrentType as REG_SZ with its terminating zero; the registry's status.
long WriteCurrentType(platform::Registry& registry, std::string_view type);

}  // namespace halshift::registry_values
