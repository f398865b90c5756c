// HAL identification: the HAL kind, the recovery entry and the system directory.
#include "inspect/identify.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "app/state.h"
#include "bootmenu/recovery_detect.h"

namespace halshift {
namespace inspect {
namespace {

std::string ReadCurrentVersionText(platform::Registry& registry, std::string_view valueName) {
  std::array<std::uint8_t, kRegistryTextBufferSize> buffer{};
  const auto result = registry.QueryValue(kCurrentVersionKey, valueName, buffer);
  if (result.status != platform::kErrorSuccess) return {};
  // A value stored without its zero (binary data, say) ends at the stored bytes.
  const std::size_t stored = std::min(result.size, buffer.size());
  const auto end = std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(stored),
                             std::uint8_t{0});
  return std::string(buffer.begin(), end);
}

}  // namespace

std::string ReadCurrentType(platform::Registry& registry) {
  return ReadCurrentVersionText(registry, kCurrentTypeValue);
}

std::string ReadSystemRoot(platform::Registry& registry) {
  return ReadCurrentVersionText(registry, kSystemRootValue);
}

}  // namespace inspect

bool HalInstallation::IdentifyHal() {
  halKind = inspect::ReadCurrentType(platform_.registry) == inspect::kUniprocessorType
                ? HalKind::kUniprocessor
                : HalKind::kMultiprocessor;
  recoveryPresent = bootmenu::IsRecoveryEntryPresent(platform_) ? 1 : 0;
  // Used as the registry holds it: no separator is added or removed.
  systemDirectory = inspect::ReadSystemRoot(platform_.registry);
  systemDirectory += inspect::kSystemDirectorySuffix;
  return true;
}

}  // namespace halshift
