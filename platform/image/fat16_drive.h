// A FAT16 volume of a disk image as a drive of the machine image (the Volume seam).
//
// May contain: C++ standard library only.
#pragma once

#include <memory>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/fat16_volume.h"
#include "platform/image/volume.h"

namespace halshift::image {

// Serves a mounted Fat16Volume. Names of new files and folders, and new names of a rename, are
// taken in upper case where that makes an 8.3 name (as FAT keeps them); another name of a new
// file or folder gets long-name entries (fat16_volume.h), a rename needs an 8.3 name. Entries
// with a long name are listed by it, their 8.3 name as shortName.
class Fat16Drive final : public Volume {
 public:
  // devices: what the volume reads through (the disk and the partition's view of it), kept
  // for as long as the drive lives.
  Fat16Drive(std::vector<std::shared_ptr<BlockDevice>> devices, std::unique_ptr<Fat16Volume> volume)
      : devices_(std::move(devices)), volume_(std::move(volume)) {}

  std::optional<Entry> Find(std::span<const std::string> components) const override;
  std::vector<Entry> List(std::span<const std::string> components) const override;
  std::optional<std::string> Read(std::span<const std::string> components) const override;
  bool Writable() const override { return true; }
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
  std::unique_ptr<Fat16Volume> volume_;
};

}  // namespace halshift::image
