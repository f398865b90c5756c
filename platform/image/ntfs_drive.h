// An NTFS volume of a disk image as a drive of the machine image (the Volume seam), with the
// disk under its undo journal so that each change is whole or not made.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/volume.h"

namespace halshift::image {

// Serves a mounted NtfsVolume. New files and folders get the name given, in the case given;
// entries are listed by their long name, with the 8.3 name that NT gave them as shortName.
class NtfsDrive final : public Volume {
 public:
  // devices: what the volume reads through (the journaled disk and the partition's view of
  // it), kept for as long as the drive lives.
  NtfsDrive(std::vector<std::shared_ptr<BlockDevice>> devices, std::unique_ptr<NtfsVolume> volume,
            bool writable)
      : devices_(std::move(devices)), volume_(std::move(volume)), writable_(writable) {}

  std::optional<Entry> Find(std::span<const std::string> components) const override;
  std::vector<Entry> List(std::span<const std::string> components) const override;
  std::optional<std::string> Read(std::span<const std::string> components) const override;
  bool Writable() const override { return writable_; }
  bool CanCreate(std::string_view name) const override;
  bool Write(std::span<const std::string> components, std::string_view bytes) override;
  bool CreateFolder(std::span<const std::string> components) override;
  bool Rename(std::span<const std::string> components, std::string_view newName) override;
  bool Delete(std::span<const std::string> components) override;
  bool SetAttributes(std::span<const std::string> components, std::uint32_t attributes) override;
  bool Flush() override { return volume_->Flush(); }
  std::string LastError() const override { return volume_->LastError(); }

 private:
  std::vector<std::shared_ptr<BlockDevice>> devices_;
  std::unique_ptr<NtfsVolume> volume_;
  bool writable_;
};

// Whether a partition of this type may hold NTFS (0x07, which NT 4.0 also gives HPFS).
constexpr bool IsNtfsType(std::uint8_t type) { return type == 0x07; }

// The disk file's device under its undo journal (UndoJournalPath(path)): an interrupted change
// of an earlier run is undone first (opened for reading only, the device reads as if it were).
// Nothing, with error, when the journal cannot be opened or played back.
std::shared_ptr<BlockDevice> JournaledDisk(std::shared_ptr<BlockDevice> disk, const std::filesystem::path& path,
                                           bool writable, std::string& error);

// Mounts the NTFS volume of view (a partition of the journaled disk, one of devices) as a
// drive. Nothing, with problem, when the volume is refused (NtfsVolume::Mount), or when a file
// that the switch reads or replaces in an installation on it (the system files and spares in
// <folder>\System32, the hives, setup.log and its backup, BOOT.INI and its backup) is
// compressed, encrypted or sparse.
std::unique_ptr<Volume> MountNtfsDrive(std::vector<std::shared_ptr<BlockDevice>> devices, BlockDevice& view,
                                       bool writable, std::string& problem);

}  // namespace halshift::image
