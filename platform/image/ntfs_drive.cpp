// The Volume seam over an NTFS volume, and the disk's undo journal beneath it.
#include "platform/image/ntfs_drive.h"

#include <array>
#include <string_view>

#include "core/system_files.h"
#include "platform/image/undo_journal.h"

namespace halshift::image {

namespace {

Volume::Entry EntryOf(const NtfsEntry& entry) {
  Volume::Entry out;
  out.name = entry.name;
  out.shortName = entry.shortName;
  out.directory = entry.IsDirectory();
  out.size = out.directory ? 0 : entry.size;
  out.attributes = entry.attributes & (volume::kChangeable | volume::kDirectory);
  return out;
}

// Why a file the switch reads or replaces cannot be served whole, or empty.
std::string NotPlain(NtfsVolume& volume, const std::string& path) {
  std::string reason;
  if (!volume.Find(path) || volume.IsPlainFile(path, reason)) return {};
  return reason;
}

// The same for every such file of the installations in the volume's root folders.
std::string FirstNotPlainFile(NtfsVolume& volume) {
  for (const char* file : {"BOOT.INI", "BOOTINI.ORV"}) {
    if (std::string reason = NotPlain(volume, file); !reason.empty()) return reason;
  }
  const auto root = volume.List("");
  if (!root) return {};
  for (const NtfsEntry& folder : *root) {
    if (!folder.IsDirectory() || !volume.Find(folder.name + "\\System32\\config\\SOFTWARE")) continue;
    std::vector<std::string> files = {"System32\\config\\SOFTWARE", "System32\\config\\SYSTEM",
                                      "repair\\setup.log", "repair\\setup.orv"};
    for (const auto& names : {std::span<const std::string_view>(SystemFileNames),
                              std::span<const std::string_view>(RecoveryFileNames)}) {
      for (std::string_view name : names) files.push_back("System32\\" + std::string(name));
    }
    for (const std::string& file : files) {
      if (std::string reason = NotPlain(volume, folder.name + "\\" + file); !reason.empty()) return reason;
    }
  }
  return {};
}

}  // namespace

std::optional<Volume::Entry> NtfsDrive::Find(std::span<const std::string> components) const {
  return volume::FindIn(*volume_, components, EntryOf);
}

std::vector<Volume::Entry> NtfsDrive::List(std::span<const std::string> components) const {
  return volume::ListIn(*volume_, components, EntryOf);
}

std::optional<std::string> NtfsDrive::Read(std::span<const std::string> components) const {
  return volume::ReadIn(*volume_, components);
}

bool NtfsDrive::CanCreate(std::string_view name) const {
  // The characters Win32 names cannot hold; NTFS's own limit of 255 is checked on creation.
  constexpr std::string_view kForbidden = "\\/:*?\"<>|";
  if (!writable_ || name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || kForbidden.find(c) != std::string_view::npos) return false;
  }
  return true;
}

bool NtfsDrive::Write(std::span<const std::string> components, std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  return !components.empty() && volume_->WriteFile(JoinComponents(components), {data, bytes.size()});
}

bool NtfsDrive::CreateFolder(std::span<const std::string> components) {
  return !components.empty() && volume_->CreateFolder(JoinComponents(components));
}

bool NtfsDrive::Rename(std::span<const std::string> components, std::string_view newName) {
  return !components.empty() && volume_->Rename(JoinComponents(components), newName);
}

bool NtfsDrive::Delete(std::span<const std::string> components) {
  return !components.empty() && volume_->Delete(JoinComponents(components));
}

bool NtfsDrive::SetAttributes(std::span<const std::string> components, std::uint32_t attributes) {
  return !components.empty() &&
         volume_->SetAttributes(JoinComponents(components), attributes & volume::kChangeable);
}

std::shared_ptr<BlockDevice> JournaledDisk(std::shared_ptr<BlockDevice> disk, const std::filesystem::path& path,
                                           bool writable, std::string& error) {
  std::shared_ptr<UndoJournalDevice> journaled =
      UndoJournalDevice::Open(*disk, UndoJournalPath(path), 0, writable, nullptr, error);
  if (!journaled) return nullptr;
  journaled->Keep(std::move(disk));
  return journaled;
}

std::unique_ptr<Volume> MountNtfsDrive(std::vector<std::shared_ptr<BlockDevice>> devices, BlockDevice& view,
                                       bool writable, std::string& problem) {
  auto volume = NtfsVolume::Mount(view, problem, writable);
  if (!volume) return nullptr;
  problem = FirstNotPlainFile(*volume);
  if (!problem.empty()) return nullptr;
  return std::make_unique<NtfsDrive>(std::move(devices), std::move(volume), writable);
}

}  // namespace halshift::image
