// The boot sector of a FAT volume: its BIOS parameter block, checked and decoded, and the FAT
// type that its cluster count gives.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace halshift::image::fat {

inline constexpr std::size_t kBootSectorLength = 512;
// Offsets of the BIOS parameter block.
inline constexpr std::size_t kBytesPerSector = 0x0B;    // word
inline constexpr std::size_t kSectorsPerCluster = 0x0D;  // byte
inline constexpr std::size_t kReservedSectors = 0x0E;   // word
inline constexpr std::size_t kFatCount = 0x10;          // byte
inline constexpr std::size_t kRootEntries = 0x11;       // word
inline constexpr std::size_t kTotalSectors16 = 0x13;    // word
inline constexpr std::size_t kMedia = 0x15;             // byte
inline constexpr std::size_t kSectorsPerFat16 = 0x16;   // word
inline constexpr std::size_t kTotalSectors32 = 0x20;    // dword
// Windows NT keeps its "volume dirty" flag in bit 0 of this byte of a FAT12 or FAT16 boot
// sector (the "current head" byte of DOS), set while it has the volume mounted and cleared at
// a clean dismount; chkdsk runs at the next start when it is found set.
inline constexpr std::size_t kNtFlags = 0x25;
inline constexpr std::uint8_t kNtFlagDirty = 0x01;
inline constexpr std::size_t kSignature = 0x1FE;  // 0x55 0xAA

enum class FatType { kFat12, kFat16, kFat32 };

struct Geometry {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t rootEntries = 0;
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t totalSectors = 0;
  FatType type = FatType::kFat16;
  std::uint8_t ntFlags = 0;

  std::uint32_t RootSectors() const {
    return (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
  }
  std::uint32_t FirstFatSector() const { return reservedSectors; }
  std::uint32_t FirstRootSector() const { return reservedSectors + fatCount * sectorsPerFat; }
  std::uint32_t FirstDataSector() const { return FirstRootSector() + RootSectors(); }
  std::uint32_t ClusterCount() const {
    return (totalSectors - FirstDataSector()) / sectorsPerCluster;
  }
  std::uint32_t BytesPerCluster() const { return bytesPerSector * sectorsPerCluster; }
};

// The geometry of a FAT boot sector (at least kBootSectorLength bytes), or nothing with the
// reason when the sector is not one: a jump instruction first, a sector size of 512 to 4096
// bytes (a power of two), a power of two of sectors per cluster, reserved sectors, one or two
// FATs, a media byte of 0xF0 or 0xF8 and above, and regions that fit in the volume. The type
// follows from the cluster count alone (below 4085 FAT12, below 65525 FAT16), as the FAT
// definition says; a volume without 16-bit FAT size is FAT32.
std::optional<Geometry> ParseBootSector(std::span<const std::uint8_t> sector, std::string& error);

}  // namespace halshift::image::fat
