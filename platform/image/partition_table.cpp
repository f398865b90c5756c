// Reading the master boot record and the chain of extended boot records.
#include "platform/image/partition_table.h"

#include <array>
#include <set>

#include "base/byte_cursor.h"
#include "platform/image/fat_boot_sector.h"

namespace halshift::image {

namespace {

constexpr std::size_t kTableOffset = 0x1BE;
constexpr std::size_t kEntryLength = 16;
constexpr std::size_t kEntryBoot = 0;
constexpr std::size_t kEntryType = 4;
constexpr std::size_t kEntryStart = 8;   // dword, LBA
constexpr std::size_t kEntryLength32 = 12;  // dword, sectors

using Sector = std::array<std::uint8_t, kDiskSectorLength>;

struct Entry {
  std::uint8_t boot = 0;
  std::uint8_t type = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
};

Entry EntryOf(const Sector& s, int index) {
  const std::size_t at = kTableOffset + static_cast<std::size_t>(index) * kEntryLength;
  return Entry{s[at + kEntryBoot], s[at + kEntryType], ByteCursor(s, at + kEntryStart).U32(),
               ByteCursor(s, at + kEntryLength32).U32()};
}

bool HasSignature(std::span<const std::uint8_t> s) { return s[0x1FE] == 0x55 && s[0x1FF] == 0xAA; }

bool IsContainer(std::uint8_t type) {
  return type == kPartitionExtended || type == kPartitionExtendedLba;
}

bool ReadSector(BlockDevice& disk, std::uint64_t lba, Sector& sector) {
  if (lba > disk.Size() / kDiskSectorLength) return false;
  return disk.Read(lba * kDiskSectorLength, sector);
}

Partition PartitionOf(const Entry& entry, std::uint64_t base, bool logical, std::uint64_t diskSectors) {
  Partition p;
  p.type = entry.type;
  p.startSector = base + entry.start;
  p.sectorCount = entry.length;
  p.active = entry.boot == 0x80;
  p.logical = logical;
  p.withinDisk = entry.length != 0 && p.startSector < diskSectors &&
                 p.sectorCount <= diskSectors - p.startSector;
  return p;
}

// Adds the logical drives of the chain of extended boot records that starts at the extended
// partition's first sector, or says in table.chainProblem where the chain breaks.
void FollowExtendedChain(BlockDevice& disk, std::uint64_t extendedBase, std::uint64_t diskSectors,
                         PartitionTable& table) {
  std::set<std::uint64_t> visited;
  std::uint64_t record = extendedBase;
  while (true) {
    // Records without a drive count too, so that no chain is followed for long.
    if (visited.size() >= kMaxLogicalDrives) {
      table.chainProblem = "the extended partition holds too many logical drives";
      return;
    }
    if (!visited.insert(record).second) {
      table.chainProblem = "the chain of extended boot records loops";
      return;
    }
    Sector ebr{};
    if (record >= diskSectors || !ReadSector(disk, record, ebr)) {
      table.chainProblem = "an extended boot record lies past the end of the disk";
      return;
    }
    if (!HasSignature(ebr)) {
      table.chainProblem = "an extended boot record has no signature";
      return;
    }
    // The first entry is the logical drive, relative to its record; the second links the
    // next record, relative to the extended partition's start. The others are unused.
    const Entry drive = EntryOf(ebr, 0);
    const Entry link = EntryOf(ebr, 1);
    if (drive.type != kPartitionEmpty && !IsContainer(drive.type)) {
      table.partitions.push_back(PartitionOf(drive, record, true, diskSectors));
    }
    if (!IsContainer(link.type)) return;
    record = extendedBase + link.start;
  }
}

}  // namespace

bool IsNtfsBootSector(std::span<const std::uint8_t> sector) {
  static constexpr std::string_view kOemId = "NTFS    ";
  return sector.size() >= kDiskSectorLength && HasSignature(sector) &&
         std::equal(kOemId.begin(), kOemId.end(), sector.begin() + 3);
}

DiskLayout DetectLayout(BlockDevice& disk) {
  Sector first{};
  if (!ReadSector(disk, 0, first)) return DiskLayout::kUnknown;
  std::string ignored;
  if (fat::ParseBootSector(first, ignored)) return DiskLayout::kBarePartition;
  if (IsNtfsBootSector(first)) return DiskLayout::kBarePartition;
  if (!HasSignature(first)) return DiskLayout::kUnknown;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t boot = EntryOf(first, i).boot;
    if (boot != 0x00 && boot != 0x80) return DiskLayout::kUnknown;
  }
  return DiskLayout::kPartitioned;
}

std::optional<PartitionTable> ReadPartitionTable(BlockDevice& disk, std::string& error) {
  Sector mbr{};
  if (!ReadSector(disk, 0, mbr)) {
    error = "the master boot record cannot be read";
    return std::nullopt;
  }
  if (!HasSignature(mbr)) {
    error = "the master boot record has no signature";
    return std::nullopt;
  }
  const std::uint64_t diskSectors = disk.Size() / kDiskSectorLength;
  PartitionTable table;
  std::optional<std::uint64_t> extendedBase;
  for (int i = 0; i < 4; ++i) {
    const Entry entry = EntryOf(mbr, i);
    if (entry.type == kPartitionEmpty) continue;
    if (IsContainer(entry.type)) {
      // One extended partition per disk; a second one is not followed.
      if (!extendedBase) extendedBase = entry.start;
      continue;
    }
    table.partitions.push_back(PartitionOf(entry, 0, false, diskSectors));
  }

  if (extendedBase) FollowExtendedChain(disk, *extendedBase, diskSectors, table);
  int number = 0;
  for (Partition& p : table.partitions) p.arcNumber = ++number;
  return table;
}

}  // namespace halshift::image
