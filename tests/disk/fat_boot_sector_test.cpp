// The BIOS parameter block: hand-made boot sectors, the FAT type at the cluster-count bounds,
// and damaged FATs met while reading.
#include "platform/image/fat_boot_sector.h"

#include <gtest/gtest.h>

#include <array>

#include "platform/image/fat16_volume.h"

namespace halshift::image::fat {
namespace {

struct Bpb {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 1;
  std::uint16_t reserved = 1;
  std::uint8_t fats = 2;
  std::uint16_t rootEntries = 512;
  std::uint32_t totalSectors = 0;
  std::uint8_t media = 0xF8;
  std::uint16_t sectorsPerFat = 32;
};

std::vector<std::uint8_t> SectorOf(const Bpb& b) {
  std::vector<std::uint8_t> s(512);
  s[0] = 0xEB;
  s[1] = 0x3C;
  s[2] = 0x90;
  auto word = [&](std::size_t at, std::uint32_t v) {
    s[at] = static_cast<std::uint8_t>(v);
    s[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  word(kBytesPerSector, b.bytesPerSector);
  s[kSectorsPerCluster] = b.sectorsPerCluster;
  word(kReservedSectors, b.reserved);
  s[kFatCount] = b.fats;
  word(kRootEntries, b.rootEntries);
  if (b.totalSectors < 0x10000) {
    word(kTotalSectors16, b.totalSectors);
  } else {
    word(kTotalSectors32, b.totalSectors);
    word(kTotalSectors32 + 2, b.totalSectors >> 16);
  }
  s[kMedia] = b.media;
  word(kSectorsPerFat16, b.sectorsPerFat);
  s[kSignature] = 0x55;
  s[kSignature + 1] = 0xAA;
  return s;
}

// Data starts after 1 reserved, 2 x 32 FAT and 32 root sectors: sector 97.
constexpr std::uint32_t kDataStart = 97;

TEST(FatBootSectorTest, TypeFollowsTheClusterCountAtItsBounds) {
  struct Case {
    std::uint32_t clusters;
    FatType type;
  };
  for (const Case& c : {Case{4084, FatType::kFat12}, Case{4085, FatType::kFat16}, Case{65524, FatType::kFat16},
                        Case{65525, FatType::kFat32}}) {
    SCOPED_TRACE(c.clusters);
    Bpb b;
    b.totalSectors = kDataStart + c.clusters;
    b.sectorsPerFat = 256;
    b.totalSectors += 2 * (256 - 32);
    std::string error;
    const auto g = ParseBootSector(SectorOf(b), error);
    ASSERT_TRUE(g) << error;
    EXPECT_EQ(g->ClusterCount(), c.clusters);
    EXPECT_EQ(g->type, c.type);
  }
}

TEST(FatBootSectorTest, DamagedParameterBlocksAreRefused) {
  struct Case {
    const char* name;
    void (*damage)(Bpb&);
  };
  const Case cases[] = {
      {"sector size 0", [](Bpb& b) { b.bytesPerSector = 0; }},
      {"sector size 768", [](Bpb& b) { b.bytesPerSector = 768; }},
      {"sector size 8192", [](Bpb& b) { b.bytesPerSector = 8192; }},
      {"3 sectors per cluster", [](Bpb& b) { b.sectorsPerCluster = 3; }},
      {"no reserved sector", [](Bpb& b) { b.reserved = 0; }},
      {"no FAT", [](Bpb& b) { b.fats = 0; }},
      {"three FATs", [](Bpb& b) { b.fats = 3; }},
      {"media 0x12", [](Bpb& b) { b.media = 0x12; }},
      {"no root entries", [](Bpb& b) { b.rootEntries = 0; }},
      {"regions past the volume", [](Bpb& b) { b.totalSectors = kDataStart; }},
      {"FAT past the volume", [](Bpb& b) { b.sectorsPerFat = 0xFFFF; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bpb b;
    b.totalSectors = kDataStart + 5000;
    c.damage(b);
    std::string error;
    EXPECT_FALSE(ParseBootSector(SectorOf(b), error));
    EXPECT_FALSE(error.empty());
  }
  std::string error;
  EXPECT_FALSE(ParseBootSector(std::vector<std::uint8_t>(100), error));
  Bpb b;
  b.totalSectors = kDataStart + 5000;
  auto noJump = SectorOf(b);
  noJump[0] = 0x33;
  EXPECT_FALSE(ParseBootSector(noJump, error));
}

// A volume in memory with a root file whose chain the test damages.
TEST(FatBootSectorTest, DamagedChainsFailTheReadCleanly) {
  Bpb b;
  b.totalSectors = kDataStart + 5000;
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> fat;  // cluster, value
    std::uint32_t size;
    bool readable;
    bool chainDamaged;
  };
  const Case cases[] = {
      {"good chain", {{2, 3}, {3, 0xFFFF}}, 1000, true, false},
      {"loop", {{2, 3}, {3, 2}}, 1000, false, true},
      {"past the last cluster", {{2, 60000}}, 1000, false, true},
      {"free cluster in the chain", {{2, 0}}, 1000, false, true},
      {"bad cluster", {{2, 0xFFF7}}, 1000, false, true},
      {"size beyond the chain", {{2, 0xFFFF}}, 513, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes((kDataStart + 5000) * 512);
    const auto boot = SectorOf(b);
    std::copy(boot.begin(), boot.end(), bytes.begin());
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
      std::uint8_t* fat = bytes.data() + (1 + copy * 32) * 512;
      fat[0] = 0xF8;
      fat[1] = fat[2] = fat[3] = 0xFF;
      for (const auto& [cluster, value] : c.fat) {
        fat[cluster * 2] = static_cast<std::uint8_t>(value);
        fat[cluster * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
      }
    }
    std::uint8_t* entry = bytes.data() + 65 * 512;
    std::copy_n("HAL     DLL", 11, entry);
    entry[26] = 2;
    entry[28] = static_cast<std::uint8_t>(c.size);
    entry[29] = static_cast<std::uint8_t>(c.size >> 8);
    MemoryDevice device(bytes);
    std::string error;
    auto volume = Fat16Volume::Mount(device, error);
    ASSERT_TRUE(volume) << error;
    EXPECT_EQ(volume->ReadFile("HAL.DLL").has_value(), c.readable) << volume->LastError();
    // A damaged chain is neither replaced nor freed: the volume needs chkdsk, not halshift.
    const std::vector<std::uint8_t> before = device.Bytes();
    EXPECT_EQ(volume->WriteFile("HAL.DLL", std::vector<std::uint8_t>(10, 1)), !c.chainDamaged);
    if (c.chainDamaged) {
      EXPECT_FALSE(volume->Delete("HAL.DLL"));
      EXPECT_TRUE(device.Bytes() == before);
    }
  }
}

}  // namespace
}  // namespace halshift::image::fat
