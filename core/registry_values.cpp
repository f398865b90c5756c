// The registry record of the installation: CurrentType and SystemRoot.
#include "core/registry_values.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace halshift::registry_values {
namespace {

std::string ReadCurrentVersionText(platform::Registry& registry, std::string_view valueName) {
  std::array<std::uint8_t, kTextBufferSize> buffer{};
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

std::string ReadSystemDirectory(platform::Registry& registry) {
  return ReadSystemRoot(registry) + "\\System32";
}

long WriteCurrentType(platform::Registry& registry, std::string_view type) {
  std::vector<std::uint8_t> value(type.begin(), type.end());
  value.push_back(0);
  return registry.SetValue(kCurrentVersionKey, kCurrentTypeValue, platform::kRegSz, value);
}

}  // namespace halshift::registry_values
