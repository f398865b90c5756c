// What a disk file holds, told by its content alone (never by its name): raw data that
// halshift reads and writes in place, or a virtual machine's container that only QEMU's block
// layer opens.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/image/block_device.h"

namespace halshift::image {

enum class DiskFormat {
  kRawDisk,        // a master boot record from the first sector on
  kBarePartition,  // a FAT or NTFS file system from the first sector on
  kFixedVhd,       // raw data with a 512-byte "conectix" footer of disk type 2 (fixed)
  kQcow2,          // "QFI\xfb", version 2 or 3
  kVdi,            // VirtualBox: the image signature 0xBEDA107F at 0x40
  kVmdkSparse,     // VMware: "KDMV" (a monolithic sparse extent)
  kVhdDynamic,     // "conectix" at the start (the footer's copy) or a footer of disk type 3 or 4
  kVhdx,           // "vhdxfile"
  kUnknown,
};

std::string_view NameOf(DiskFormat format);

// Whether halshift reads and writes the format in place (a raw disk, a bare partition, a
// fixed VHD, whose footer lies past the disk's data); the others are containers.
constexpr bool IsRaw(DiskFormat format) {
  return format == DiskFormat::kRawDisk || format == DiskFormat::kBarePartition ||
         format == DiskFormat::kFixedVhd;
}

// The format of a disk file. A VMware flat extent ("-flat.vmdk") is raw data and reads as a
// raw disk; its descriptor file is text, kUnknown. Containers are told first, by their
// signatures, so that a container whose first guest sector happens to hold a partition table
// is never written as raw data.
DiskFormat DetectDiskFormat(BlockDevice& file);

// The bytes of a fixed VHD that belong to the disk (all but its footer); the whole size for
// other raw formats.
std::uint64_t RawDataSize(BlockDevice& file, DiskFormat format);

}  // namespace halshift::image
