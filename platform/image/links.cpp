// NativeLinks of the machine image: \ArcName links and DOS devices from machine.ini.
#include "base/text.h"
#include "platform/image/image_state.h"

namespace halshift::image {

namespace {

constexpr std::string_view kArcNamePrefix = "\\ArcName\\";

std::optional<std::string> Lookup(const std::vector<std::pair<std::string, std::string>>& table,
                                  std::string_view name) {
  for (const auto& [key, target] : table) {
    if (text::EqualsIgnoreCase(key, name)) return target;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ImageLinks::QuerySymbolicLink(std::string_view linkName) {
  if (state_.faults.ShouldFail(Call::kQuerySymbolicLink)) return std::nullopt;
  if (linkName.size() <= kArcNamePrefix.size() ||
      !text::EqualsIgnoreCase(linkName.substr(0, kArcNamePrefix.size()), kArcNamePrefix)) {
    return std::nullopt;
  }
  return Lookup(state_.arcNames, linkName.substr(kArcNamePrefix.size()));
}

std::optional<std::string> ImageLinks::QueryDosDevice(std::string_view drive) {
  if (state_.faults.ShouldFail(Call::kQueryDosDevice)) return std::nullopt;
  return Lookup(state_.dosDevices, drive);
}

}  // namespace halshift::image
