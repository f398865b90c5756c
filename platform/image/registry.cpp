// Registry of the machine image: HKEY_LOCAL_MACHINE served from registry.reg.
#include <algorithm>

#include "platform/image/image_state.h"

namespace halshift::image {

platform::Registry::QueryResult ImageRegistry::QueryValue(std::string_view keyPath,
                                                          std::string_view valueName,
                                                          std::span<std::uint8_t> buffer) {
  QueryResult result;
  if (state_.faults.ShouldFail(Call::kRegQueryValue)) {
    result.status = platform::kErrorAccessDenied;
    return result;
  }
  if (!state_.registryFile.KeyExists(keyPath)) return result;
  const RegistryValue* value = state_.registryFile.Find(keyPath, valueName);
  if (value == nullptr) return result;
  result.size = value->data.size();
  if (value->data.size() > buffer.size()) {
    result.status = platform::kErrorMoreData;
    return result;
  }
  std::copy(value->data.begin(), value->data.end(), buffer.begin());
  result.status = platform::kErrorSuccess;
  result.type = value->type;
  return result;
}

long ImageRegistry::SetValue(std::string_view keyPath, std::string_view valueName,
                             std::uint32_t type, std::span<const std::uint8_t> data) {
  const std::string bytes(data.begin(), data.end());
  return state_.WriteRegistryValue(keyPath, valueName, type, bytes, false,
                                   host::Durability::kFlushed);
}

}  // namespace halshift::image
