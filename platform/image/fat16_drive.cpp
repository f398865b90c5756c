// The Volume seam over a FAT16 volume.
#include "platform/image/fat16_drive.h"

#include "base/text.h"

namespace halshift::image {

namespace {

Volume::Entry EntryOf(const FatEntry& entry) {
  Volume::Entry out;
  out.name = entry.longName.empty() ? entry.name : entry.longName;
  if (!entry.longName.empty()) out.shortName = entry.name;
  out.directory = entry.IsDirectory();
  out.size = out.directory ? 0 : entry.size;
  out.attributes = entry.attributes & (volume::kChangeable | volume::kDirectory);
  return out;
}

// The name a new entry is written under: upper case where that makes an 8.3 name, else the
// long name as given.
std::string NewName(std::string_view name) {
  std::string upper = text::ToUpper(name);
  return IsValidShortName(upper) ? upper : std::string(name);
}

// The path with its last component as a new name is written.
std::string NewPath(std::span<const std::string> components) {
  if (components.empty()) return {};
  std::string path = JoinComponents(components.first(components.size() - 1));
  if (!path.empty()) path += '\\';
  return path + NewName(components.back());
}

}  // namespace

std::optional<Volume::Entry> Fat16Drive::Find(std::span<const std::string> components) const {
  return volume::FindIn(*volume_, components, EntryOf);
}

std::vector<Volume::Entry> Fat16Drive::List(std::span<const std::string> components) const {
  return volume::ListIn(*volume_, components, EntryOf);
}

std::optional<std::string> Fat16Drive::Read(std::span<const std::string> components) const {
  return volume::ReadIn(*volume_, components);
}

bool Fat16Drive::CanCreate(std::string_view name) const {
  return IsValidShortName(text::ToUpper(name)) || IsValidLongName(name);
}

bool Fat16Drive::Write(std::span<const std::string> components, std::string_view bytes) {
  if (components.empty()) return false;
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto existing = Find(components);
  return volume_->WriteFile(existing ? JoinComponents(components) : NewPath(components),
                            {data, bytes.size()});
}

bool Fat16Drive::CreateFolder(std::span<const std::string> components) {
  return !components.empty() && volume_->CreateFolder(NewPath(components));
}

bool Fat16Drive::Rename(std::span<const std::string> components, std::string_view newName) {
  return !components.empty() &&
         volume_->Rename(JoinComponents(components), text::ToUpper(newName));
}

bool Fat16Drive::Delete(std::span<const std::string> components) {
  return !components.empty() && volume_->Delete(JoinComponents(components));
}

bool Fat16Drive::SetAttributes(std::span<const std::string> components, std::uint32_t attributes) {
  return !components.empty() &&
         volume_->SetAttributes(JoinComponents(components),
                                static_cast<std::uint8_t>(attributes & volume::kChangeable));
}

}  // namespace halshift::image
