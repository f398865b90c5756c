// ARC path resolution: does a boot entry's ARC path name the running installation?
#include "inspect/arc_path.h"

#include <algorithm>
#include <array>

#include "base/text.h"
#include "core/registry_values.h"
#include "base/winpath.h"

namespace halshift::bootmenu {
namespace {

// Copies text and its ending zero into buffer; false, with the buffer untouched, when they do
// not fit.
bool StoreText(std::string_view text, std::span<char> buffer) {
  if (text.size() >= buffer.size()) return false;
  std::copy(text.begin(), text.end(), buffer.begin());
  buffer[text.size()] = '\0';
  return true;
}

// The text of a zero-filled buffer up to its first zero.
std::string_view BufferText(std::span<const char> buffer) {
  const std::string_view all(buffer.data(), buffer.size());
  return all.substr(0, std::min(all.find('\0'), all.size()));
}

}  // namespace

bool QueryLinkTarget(platform::NativeLinks& links, std::string_view linkName,
                     std::span<char> buffer) {
  const auto target = links.QuerySymbolicLink(linkName);
  if (!target) return false;
  return StoreText(*target, buffer);
}

bool IsRunningSystemArcPath(platform::Platform& platform, std::string arcPath) {
  std::string systemRoot = registry_values::ReadSystemRoot(platform.registry);
  if (systemRoot.empty()) return false;
  const std::string drive = winpath::DriveDesignation(systemRoot);
  const auto rootSlash = systemRoot.find('\\');
  std::string directory = rootSlash == std::string::npos ? systemRoot : systemRoot.substr(rootSlash);

  directory = text::ToUpper(directory);
  // A key read by a profile reader that keeps the blanks before "=" names the same path.
  arcPath = text::ToUpper(text::Trim(arcPath));

  const std::size_t tailLength = std::min(directory.size(), arcPath.size());
  if (std::string_view(arcPath).substr(arcPath.size() - tailLength) != directory) return false;

  const auto arcSlash = arcPath.find('\\');
  if (arcSlash == std::string::npos) return false;
  std::string linkName(kArcNamePrefix);
  linkName += std::string_view(arcPath).substr(0, arcSlash);

  std::array<char, kDeviceNameBufferSize> linkTarget{};
  std::array<char, kDeviceNameBufferSize> driveDevice{};
  if (!QueryLinkTarget(platform.links, linkName, linkTarget)) return false;
  const auto device = platform.links.QueryDosDevice(drive);
  if (!device || !StoreText(*device, driveDevice)) return false;
  return text::EqualsIgnoreCase(BufferText(linkTarget), BufferText(driveDevice));
}

std::optional<IniEntry> FindRunningEntry(platform::Platform& platform, std::string_view root) {
  std::string bootMenu(root);
  bootMenu += kBootMenuName;
  IniSection section(platform.files, std::string(kOperatingSystemsSection), bootMenu);
  for (const IniEntry* entry = section.FirstEntry(); entry != nullptr;
       entry = section.NextEntry()) {
    if (IsRunningSystemArcPath(platform, entry->key)) return *entry;
  }
  return std::nullopt;
}

}  // namespace halshift::bootmenu
