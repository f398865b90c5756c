// The partitions of a disk: the master boot record and the chain of extended boot records,
// read with bounds, with the partition numbers of the ARC names that Windows NT 4.0 gives
// them ("multi(0)disk(0)rdisk(0)partition(N)").
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/image/block_device.h"

namespace halshift::image {

inline constexpr std::uint64_t kDiskSectorLength = 512;
// The chain of extended boot records is followed for at most this many logical drives; a
// longer chain is damaged or hostile (the disk administrator of NT 4.0 has room for 24
// drive letters in all).
inline constexpr std::size_t kMaxLogicalDrives = 128;

inline constexpr std::uint8_t kPartitionEmpty = 0x00;
inline constexpr std::uint8_t kPartitionExtended = 0x05;
// The extended partition addressed by LBA (Windows 95 OSR2 on). It is a container as 0x05
// is: followed, never counted, never a volume.
inline constexpr std::uint8_t kPartitionExtendedLba = 0x0F;

struct Partition {
  std::uint8_t type = 0;
  std::uint64_t startSector = 0;   // from the start of the disk
  std::uint64_t sectorCount = 0;
  bool active = false;             // boot indicator 0x80
  bool logical = false;            // a logical drive of the extended partition
  int arcNumber = 0;               // counted from 1
  // Whether the whole partition lies on the disk; one that does not is listed (it keeps its
  // number, as NT counts it) but must not be opened.
  bool withinDisk = true;

  std::uint64_t Offset() const { return startSector * kDiskSectorLength; }
  std::uint64_t Length() const { return sectorCount * kDiskSectorLength; }
};

struct PartitionTable {
  // Primary partitions in table order, then the logical drives in chain order; empty and
  // extended entries are not listed.
  std::vector<Partition> partitions;
  // Set when the chain of extended boot records stopped early: a record that could not be
  // read or lacks its signature, a link past the disk or back into the chain, too many
  // logical drives. The partitions read before stay listed.
  std::string chainProblem;
};

enum class DiskLayout {
  kPartitioned,    // a master boot record
  kBarePartition,  // a FAT or NTFS file system from the first sector on, no partition table
  kUnknown,
};

// Whether a first sector is an NTFS boot sector: the OEM name "NTFS    " and the signature.
bool IsNtfsBootSector(std::span<const std::uint8_t> sector);

// Tells a partitioned disk from a bare FAT or NTFS partition image by the first sector. A
// boot sector also ends in 0x55 0xAA, so a sector with a valid BIOS parameter block or the
// NTFS name counts as a bare partition; otherwise the signature and four entries with boot
// indicators 0x00 or 0x80 make a master boot record.
DiskLayout DetectLayout(BlockDevice& disk);

// The partition table of a disk whose layout is kPartitioned; nothing with the reason when the
// master boot record cannot be read or is not one.
std::optional<PartitionTable> ReadPartitionTable(BlockDevice& disk, std::string& error);

// The types of the FAT16 file systems that halshift changes: 0x04 (below 32 MiB), 0x06
// (BIGDOS), 0x0E (BIGDOS addressed by LBA).
constexpr bool IsFat16Type(std::uint8_t type) { return type == 0x04 || type == 0x06 || type == 0x0E; }

}  // namespace halshift::image
