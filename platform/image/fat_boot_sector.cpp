// Decoding the BIOS parameter block of a FAT boot sector.
#include "platform/image/fat_boot_sector.h"

#include "base/byte_cursor.h"

namespace halshift::image::fat {

namespace {

std::uint32_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return ByteCursor(bytes, at).U16();
}

std::uint32_t Dword(std::span<const std::uint8_t> bytes, std::size_t at) {
  return ByteCursor(bytes, at).U32();
}

bool PowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

std::optional<Geometry> ParseBootSector(std::span<const std::uint8_t> sector, std::string& error) {
  if (sector.size() < kBootSectorLength) {
    error = "the boot sector is cut short";
    return std::nullopt;
  }
  if (!(sector[0] == 0xEB && sector[2] == 0x90) && sector[0] != 0xE9) {
    error = "the boot sector does not start with a jump";
    return std::nullopt;
  }
  Geometry g;
  g.bytesPerSector = Word(sector, kBytesPerSector);
  g.sectorsPerCluster = sector[kSectorsPerCluster];
  g.reservedSectors = Word(sector, kReservedSectors);
  g.fatCount = sector[kFatCount];
  g.rootEntries = Word(sector, kRootEntries);
  g.totalSectors = Word(sector, kTotalSectors16);
  if (g.totalSectors == 0) g.totalSectors = Dword(sector, kTotalSectors32);
  g.sectorsPerFat = Word(sector, kSectorsPerFat16);
  g.ntFlags = sector[kNtFlags];
  const std::uint8_t media = sector[kMedia];
  if (!PowerOfTwo(g.bytesPerSector) || g.bytesPerSector < 512 || g.bytesPerSector > 4096 ||
      !PowerOfTwo(g.sectorsPerCluster) || g.reservedSectors == 0 || g.fatCount == 0 ||
      g.fatCount > 2 || (media != 0xF0 && media < 0xF8)) {
    error = "the BIOS parameter block is not that of a FAT volume";
    return std::nullopt;
  }
  if (g.sectorsPerFat == 0) {
    g.type = FatType::kFat32;
    return g;
  }
  // 64-bit sums: none of the fields can make the regions wrap.
  const std::uint64_t dataStart = std::uint64_t{g.reservedSectors} +
                                  std::uint64_t{g.fatCount} * g.sectorsPerFat + g.RootSectors();
  if (g.rootEntries == 0 || dataStart + g.sectorsPerCluster > g.totalSectors) {
    error = "the regions of the FAT volume do not fit in it";
    return std::nullopt;
  }
  const std::uint32_t clusters = g.ClusterCount();
  g.type = clusters < 4085 ? FatType::kFat12 : clusters < 65525 ? FatType::kFat16 : FatType::kFat32;
  return g;
}

}  // namespace halshift::image::fat
