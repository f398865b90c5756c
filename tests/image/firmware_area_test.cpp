// The firmware area of a described machine, read by the program's own survey from a machine
// image's memory, and firmware dumps of real virtual machines.
#include "tests/support/host_file.h"
#include "platform/image/firmware_area.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/state.h"
#include "inspect/firmware.h"
#include "inspect/survey.h"
#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

using Bytes = std::vector<std::uint8_t>;

unsigned Sum(const Bytes& bytes, std::size_t offset, std::size_t length) {
  unsigned sum = 0;
  for (std::size_t i = offset; i < offset + length; ++i) sum += bytes.at(i);
  return sum & 0xFF;
}

std::uint32_t Read32(const Bytes& bytes, std::size_t offset) {
  return bytes.at(offset) | (bytes.at(offset + 1) << 8) | (bytes.at(offset + 2) << 16) |
         (static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24);
}

std::uint16_t Read16(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

// The offsets of every "_MP_" floating pointer with a zero sum, at 16-byte steps.
std::vector<std::size_t> MpPointers(const Bytes& area) {
  std::vector<std::size_t> found;
  for (std::size_t offset = 0; offset + 16 <= area.size(); offset += 16) {
    if (area[offset] == '_' && area[offset + 1] == 'M' && area[offset + 2] == 'P' &&
        area[offset + 3] == '_' && Sum(area, offset, 16) == 0) {
      found.push_back(offset);
    }
  }
  return found;
}

// What the MP configuration table says, walked here independently of the program.
struct MpTable {
  unsigned enabledProcessors = 0;
  unsigned bootstrapProcessors = 0;
  std::vector<std::uint8_t> processorIds;
  unsigned buses = 0;
  std::vector<std::uint8_t> ioApicIds;
  unsigned ioInterrupts = 0;
  unsigned localInterrupts = 0;
  bool typesInOrder = true;
};

MpTable WalkMpTable(const Bytes& area, std::size_t pointer) {
  MpTable table;
  const std::uint32_t address = Read32(area, pointer + 4);
  EXPECT_GE(address, kFirmwareAreaBase);
  const std::size_t start = address - kFirmwareAreaBase;
  EXPECT_EQ(std::string(area.begin() + static_cast<std::ptrdiff_t>(start),
                        area.begin() + static_cast<std::ptrdiff_t>(start) + 4), "PCMP");
  const std::uint16_t length = Read16(area, start + 4);
  EXPECT_EQ(Sum(area, start, length), 0u) << "configuration table checksum";
  EXPECT_EQ(area.at(start + 6), 4) << "revision 1.4";
  EXPECT_EQ(Read32(area, start + 0x24), 0xFEE00000u);
  const std::uint16_t count = Read16(area, start + 0x22);
  std::size_t at = start + 0x2C;
  std::uint8_t lastType = 0;
  for (unsigned i = 0; i < count; ++i) {
    const std::uint8_t type = area.at(at);
    if (type < lastType) table.typesInOrder = false;
    lastType = type;
    switch (type) {
      case 0:
        if ((area.at(at + 3) & 1) != 0) ++table.enabledProcessors;
        if ((area.at(at + 3) & 2) != 0) ++table.bootstrapProcessors;
        table.processorIds.push_back(area.at(at + 1));
        at += 20;
        break;
      case 1: ++table.buses; at += 8; break;
      case 2: table.ioApicIds.push_back(area.at(at + 1)); at += 8; break;
      case 3: ++table.ioInterrupts; at += 8; break;
      case 4: ++table.localInterrupts; at += 8; break;
      default: ADD_FAILURE() << "entry of type " << int(type); return table;
    }
  }
  EXPECT_EQ(at, start + length) << "the entries fill the base table exactly";
  return table;
}

// The survey of a machine image whose memory is the area at 0xF0000.
struct Surveyed {
  std::int32_t processors = -1;
  std::int32_t apic = -1;
};

Surveyed SurveyOf(const Bytes& area) {
  testing::TempImage image;
  image.WriteMinimalMachine();
  image.WriteImageFile("memory/000F0000.bin",
                       std::string_view(reinterpret_cast<const char*>(area.data()), area.size()));
  const auto machine = testing::OpenMachine(image);
  if (!machine) return {};
  const SystemSurvey survey = inspect::RunSystemSurvey(machine->Platform());
  return {survey.installedProcessors, static_cast<std::int32_t>(survey.apicPresent)};
}

TEST(FirmwareAreaTest, SurveyCountsTheDescribedProcessors) {
  struct Case {
    const char* name;
    MachineDescription machine;
    std::int32_t processors;
    std::int32_t apic;
  };
  const std::vector<Case> cases = {
      {"One", {1, true}, 1, 1},
      {"Two", {2, true}, 2, 1},
      {"Four", {4, true}, 4, 1},
      {"Eight", {8, true}, 8, 1},
      {"OneWithoutApic", {1, false}, 1, 0},
      {"TwoWithoutApic", {2, false}, 2, 0},
      {"Most", {kMaxProcessors, true}, static_cast<std::int32_t>(kMaxProcessors), 1},
      // Out of range: none is at least one, too many is the most there can be.
      {"NoneIsOne", {0, true}, 1, 1},
      {"TooManyIsTheMost", {1000, true}, static_cast<std::int32_t>(kMaxProcessors), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes area = BuildFirmwareArea(c.machine);
    ASSERT_EQ(area.size(), kFirmwareAreaSize);
    const Surveyed surveyed = SurveyOf(area);
    EXPECT_EQ(surveyed.processors, c.processors);
    EXPECT_EQ(surveyed.apic, c.apic);
  }
}

// The MP table and SMBIOS both give the count, so that a count from either table is the same.
TEST(FirmwareAreaTest, MpTableAndSmbiosAgree) {
  for (unsigned processors : {1u, 2u, 3u, 4u, 8u, 32u, kMaxProcessors}) {
    SCOPED_TRACE(processors);
    const Bytes area = BuildFirmwareArea({processors, true});
    const auto pointers = MpPointers(area);
    ASSERT_EQ(pointers.size(), 1u);
    const std::size_t pointer = pointers.front();
    EXPECT_EQ(area[pointer + 8], 1) << "length in paragraphs";
    EXPECT_EQ(area[pointer + 9], 4) << "revision 1.4";
    EXPECT_EQ(area[pointer + 11], 0) << "feature byte 1: a configuration table is present";
    const MpTable table = WalkMpTable(area, pointer);
    EXPECT_EQ(table.enabledProcessors, processors);
    EXPECT_EQ(table.bootstrapProcessors, 1u);
    ASSERT_FALSE(table.processorIds.empty());
    EXPECT_EQ(table.processorIds.front(), 0) << "the bootstrap processor comes first";
    std::vector<std::uint8_t> ids = table.processorIds;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "local APIC ids are unique";
    EXPECT_EQ(table.buses, 1u);
    ASSERT_EQ(table.ioApicIds.size(), 1u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), table.ioApicIds.front()), 0) << "the I/O APIC id is free";
    EXPECT_EQ(table.ioInterrupts, 15u);
    EXPECT_EQ(table.localInterrupts, 2u);
    EXPECT_TRUE(table.typesInOrder);

    const auto entryPoint = inspect::firmware::FindSmbiosEntryPoint(area);
    ASSERT_TRUE(entryPoint);
    EXPECT_EQ(Sum(area, *entryPoint, 0x1F), 0u);
    EXPECT_EQ(std::string(area.begin() + static_cast<std::ptrdiff_t>(*entryPoint + 0x10),
                          area.begin() + static_cast<std::ptrdiff_t>(*entryPoint + 0x15)), "_DMI_");
    EXPECT_EQ(Sum(area, *entryPoint + 0x10, 0x0F), 0u) << "intermediate checksum";
    std::array<std::uint8_t, inspect::firmware::kSmbiosEntryPointCopyLength> copy{};
    std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(*entryPoint), copy.size(), copy.begin());
    const auto fields = inspect::firmware::ReadSmbiosStructureTable(copy);
    ASSERT_GE(fields.address, kFirmwareAreaBase);
    ASSERT_LE(fields.address - kFirmwareAreaBase + fields.length, kFirmwareAreaSize) << "the table lies inside the area";
    const auto table4 = std::span(area).subspan(fields.address - kFirmwareAreaBase, fields.length);
    EXPECT_EQ(inspect::firmware::CountSmbiosProcessors(table4, fields.structureCount),
              static_cast<std::int32_t>(processors));
    // The last structure is the end marker, and the walk over the count ends at the length.
    // Each socket holds one enabled core, so that SMBIOS reports no more cores than the MP
    // table lists processors.
    std::size_t at = 0;
    std::uint8_t lastType = 0;
    unsigned enabledCores = 0;
    for (unsigned i = 0; i < fields.structureCount; ++i) {
      lastType = table4[at];
      if (lastType == 4) {
        EXPECT_GE(table4[at + 1], 0x28);
        EXPECT_EQ(table4[at + 0x23], 1) << "core count";
        EXPECT_EQ(table4[at + 0x25], 1) << "thread count";
        enabledCores += table4[at + 0x24];
      }
      at += table4[at + 1];
      while (at + 1 < table4.size() && (table4[at] != 0 || table4[at + 1] != 0)) ++at;
      at += 2;
    }
    EXPECT_EQ(lastType, 127);
    EXPECT_EQ(at, fields.length);
    EXPECT_EQ(enabledCores, processors);
  }
}

TEST(FirmwareAreaTest, NoApicMeansNoMpTable) {
  const Bytes area = BuildFirmwareArea({4, false});
  EXPECT_TRUE(MpPointers(area).empty());
  const std::string text(area.begin(), area.end());
  EXPECT_EQ(text.find("PCMP"), std::string::npos);
  EXPECT_NE(text.find("_SM_"), std::string::npos);
}

TEST(FirmwareAreaTest, ResetVectorAndModelByte) {
  const Bytes area = BuildFirmwareArea({});
  EXPECT_EQ(area[0xFFF0], 0xEA);
  EXPECT_EQ(std::string(area.begin() + 0xFFF5, area.begin() + 0xFFFD), "01/01/11");
  EXPECT_EQ(area[0xFFFE], 0xFC);
}

Bytes ReadFixture(const std::string& folder) {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  EXPECT_NE(source, nullptr) << "HALSHIFT_SOURCE_DIR is not set";
  if (!source) return {};
  const std::string bytes =
      halshift::testing::ReadHostFile(std::string(source) + "/tests/fixtures/firmware/" + folder + "/000F0000.bin");
  EXPECT_FALSE(bytes.empty()) << folder;
  return Bytes(bytes.begin(), bytes.end());
}

TEST(FirmwareDumpTest, RealAreasAndWholeMemory) {
  struct Case {
    const char* folder;
    std::int32_t processors;  // both the SMBIOS sockets and the MP table's processors; -1: not checked
    std::int32_t apic;        // -1: not checked
  };
  const std::vector<Case> cases = {
      {"pc-128m-smp2", 1, 1},
      {"pc-128m-smp4-s2c2", 2, 1},
      // Only an SMBIOS 3.0 entry point: accepted as a real machine's firmware; what the survey
      // makes of it is the counting rules' business, not the dump's.
      {"q35-128m-smp2-ep64", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const Bytes area = ReadFixture(c.folder);
    ASSERT_EQ(area.size(), kFirmwareAreaSize);
    std::string error;
    const auto alone = ReadFirmwareDump(area, error);
    ASSERT_TRUE(alone) << error;
    EXPECT_EQ(*alone, area);

    // A dump of memory from 0, the first MiB and a larger one, gives the same area.
    for (std::size_t size : {std::size_t{0x100000}, std::size_t{0x180000}}) {
      Bytes memory(size, 0x5A);
      std::copy(area.begin(), area.end(), memory.begin() + kFirmwareAreaBase);
      const auto taken = ReadFirmwareDump(memory, error);
      ASSERT_TRUE(taken) << error;
      EXPECT_EQ(*taken, area);
    }
    const Surveyed surveyed = SurveyOf(*alone);
    if (c.processors >= 0) {
      EXPECT_EQ(surveyed.processors, c.processors);
    }
    if (c.apic >= 0) {
      EXPECT_EQ(surveyed.apic, c.apic);
    }
  }
}

TEST(FirmwareDumpTest, RefusesWhatIsNoFirmwareArea) {
  const Bytes real = ReadFixture("pc-128m-smp2");
  ASSERT_EQ(real.size(), kFirmwareAreaSize);
  Bytes shifted(0x100000, 0);
  std::copy(real.begin(), real.end(), shifted.begin());  // the area at 0, not at 0xF0000
  Bytes longer = real;
  longer.push_back(0);
  Bytes broken = real;
  for (std::size_t offset = 0; offset + 4 <= broken.size(); offset += 16) {
    if (broken[offset] == '_' && (broken[offset + 1] == 'M' || broken[offset + 1] == 'S')) broken[offset] = 'x';
  }
  struct Case {
    const char* name;
    Bytes file;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"Empty", {}, "0 bytes long"},
      {"OneByteShort", Bytes(real.begin(), real.end() - 1), "65535 bytes long"},
      {"OneByteLong", longer, "65537 bytes long"},
      {"ShorterThanTheFirstMiB", Bytes(0xFFFFF, 0), "1048575 bytes long"},
      {"Zeros", Bytes(kFirmwareAreaSize, 0), "no firmware table"},
      {"AnchorsRemoved", broken, "no firmware table"},
      {"AreaAtTheWrongPlace", shifted, "no firmware table at 0xF0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(ReadFirmwareDump(c.file, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

// A built area is itself a dump that can be read back.
TEST(FirmwareDumpTest, BuiltAreaReadsBack) {
  std::string error;
  for (bool apic : {true, false}) {
    const Bytes built = BuildFirmwareArea({3, apic});
    const auto read = ReadFirmwareDump(built, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(*read, built);
  }
}

}  // namespace
}  // namespace halshift::image
