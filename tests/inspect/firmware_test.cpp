// The firmware tables: "!SIT" records, SMBIOS entry point and structure walk, MP floating
// pointer, over synthetic memory images served from regions.
#include "inspect/firmware.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>

#include "tests/inspect/firmware_images.h"
#include "tests/support/region_memory.h"

namespace halshift::inspect {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::EntryPointFields;
using testing::MpEntry;
using testing::MpPointer;
using testing::MpPointerTo;
using testing::MpProcessorEntry;
using testing::MpTable;
using testing::MpTableFields;
using testing::Place;
using testing::SitProcessorRecord;
using testing::SitRecord;
using testing::SmbiosEntryPoint;
using testing::SmbiosProcessor;
using testing::SmbiosProcessor25;
using testing::SmbiosStructure;
using testing::Text;

constexpr std::uint32_t kBios = 0xF0000;
// Where the test images keep their SMBIOS structure table: inside the BIOS area.
constexpr std::size_t kTableOffset = 0x8000;
const Bytes kEnd = SitRecord(0, {});

Bytes BiosArea() { return Bytes(0x10000, 0); }


// Adds an entry point at epOffset for a table at kTableOffset of the area.
void AddSmbios(Bytes& area, std::size_t epOffset, const Bytes& table, std::uint16_t count,
               EntryPointFields fields = {}) {
  if (fields.tableLength == 0) fields.tableLength = static_cast<std::uint16_t>(table.size());
  if (fields.tableAddress == 0) fields.tableAddress = kBios + kTableOffset;
  fields.structureCount = count;
  Place(area, epOffset, SmbiosEntryPoint(fields));
  Place(area, kTableOffset, table);
}

// Two populated sockets (0x41 enabled, 0x43 disabled by the firmware) and an empty one.
Bytes TwoOfThree() {
  return Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x00), SmbiosProcessor(0x43)});
}

Bytes SmbiosArea(const Bytes& table, std::uint16_t count, EntryPointFields fields = {},
                 std::size_t epOffset = 0x1000) {
  Bytes area = BiosArea();
  AddSmbios(area, epOffset, table, count, fields);
  return area;
}

// A BIOS area with a "!SIT" table and also an SMBIOS table of two processors, which only
// counts when the "!SIT" table is not found.
Bytes SitArea(std::size_t offset, std::string_view signature, std::initializer_list<Bytes> records) {
  Bytes area = SmbiosArea(TwoOfThree(), 3);
  Place(area, offset, Concat({Text(signature), Concat(records)}));
  return area;
}

Bytes First(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)); }

struct ImageCase {
  const char* name;
  std::function<Bytes()> area;
  std::int32_t processors;
  bool apic;
};

FirmwareProcessorInfo ReadArea(const Bytes& area) {
  testing::RegionMemory memory;
  memory.AddRegion(kBios, area);
  return ReadFirmwareProcessorInfo(memory);
}

void ExpectCases(const std::vector<ImageCase>& cases) {
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const FirmwareProcessorInfo info = ReadArea(c.area());
    EXPECT_EQ(info.installedProcessors, c.processors);
    EXPECT_EQ(info.apicPresent, c.apic);
  }
}

TEST(SitTableTest, ProcessorSlotsAndApicFlag) {
  ExpectCases({
      {"TwoSlots", [] { return SitArea(0x40, "!SIT", {SitRecord(5, {1, 2, 3}), SitProcessorRecord(0b11), kEnd}); }, 2, false},
      {"FourSlotsSpread", [] { return SitArea(0x1233, "!SIT", {SitProcessorRecord(0b10110100), kEnd}); }, 4, false},
      {"EightSlotsAndApic", [] { return SitArea(0x10, "!SIT", {SitProcessorRecord(0xFF), SitRecord(192, {0x01}), kEnd}); }, 8, true},
      {"LowerCaseSignature", [] { return SitArea(0x777, "!sit", {SitProcessorRecord(0b101), kEnd}); }, 2, false},
      {"MixedCaseSignature", [] { return SitArea(0x3, "!SiT", {SitProcessorRecord(0b1), kEnd}); }, 1, false},
      // L = 26 covers slots 0 and 1; the bytes after the record would fill the other six.
      {"ShortRecordCoversTwoSlots", [] { return SitArea(0x100, "!SIT", {SitProcessorRecord(0xFF, 26), SitRecord(7, Bytes(104, 0x55)), kEnd}); }, 2, false},
      {"ApicOnlyBitZero", [] { return SitArea(0x100, "!SIT", {SitRecord(192, {0xFE}), SitProcessorRecord(0b1), kEnd}); }, 1, false},
      // With L = 0 the byte at record offset 2 is the next record's (odd) type.
      {"ApicRecordWithoutData", [] { return SitArea(0x100, "!SIT", {SitRecord(192, {}), SitRecord(3, {0x01}), kEnd}); }, 0, false},
      {"TypeZeroEndsTheWalk", [] { return SitArea(0x100, "!SIT", {SitRecord(9, {0, 0}), kEnd, SitProcessorRecord(0xFF), SitRecord(192, {1})}); }, 0, false},
      {"FirstSignatureCounts", [] {
         Bytes area = SitArea(0x100, "!SIT", {kEnd});
         Place(area, 0x200, Concat({Text("!SIT"), SitProcessorRecord(0xF), kEnd}));
         return area; }, 0, false},
      {"SignatureAtTheLastOffset", [] { Bytes area = SitArea(0x100, "", {}); Place(area, 0xFFFB, Text("!SIT")); return area; }, 0, false},
      // The signature's last byte would be the byte at 0xFFFFF, which is not read.
      {"SignatureEndingAt0xFFFFF", [] { Bytes area = SitArea(0x100, "", {}); Place(area, 0xFFFC, Text("!SIT")); return area; }, 2, false},
      {"NoSignature", [] { return SitArea(0x100, "!SIX", {SitProcessorRecord(0b1), kEnd}); }, 2, false},
      // Records that step past the end of the image without a type-0 record.
      {"ChainRunsOffTheImage", [] { Bytes area = SitArea(0x100, "", {}); Place(area, 0xFF00, Concat({Text("!SIT"), SitRecord(1, Bytes(200, 9))}));
         area[0xFF00 + 4 + 202] = 1; area[0xFF00 + 4 + 203] = 250;
         return area; }, 0, false},
  });
}

// A record reachable through a long chain, cut by the end of the image: only the bytes that
// exist are looked at.
TEST(SitTableTest, RecordCutByTheImageEndReadsOnlyItsBytes) {
  Bytes image(0xFFFF, 0);
  Place(image, 0, Text("!SIT"));
  const std::size_t record = 0xFFFF - 16;  // slot 0 whole, slot 1 one byte short
  Place(image, 4, SitRecord(1, Bytes(255, 0)));
  std::size_t position = 4 + 257;
  while (position + 257 <= record) {
    Place(image, position, SitRecord(2, Bytes(255, 0)));
    position += 257;
  }
  Place(image, position, SitRecord(3, Bytes(record - position - 2, 0)));
  Bytes processor = SitProcessorRecord(0b11);
  processor.resize(16);
  Place(image, record, processor);

  const auto found = firmware::FindSitRecord(image, 4, 13);
  ASSERT_EQ(found, std::optional<std::size_t>(record));
  EXPECT_EQ(firmware::CountSitProcessorSlots(image, record), 1);
  EXPECT_FALSE(firmware::FindSitRecord(image, 4, 14).has_value());
  EXPECT_FALSE(firmware::FindSitRecord(image, 4, 0).has_value());
}

TEST(SitTableTest, SignatureSearchBounds) {
  struct Case {
    const char* name;
    Bytes image;
    std::optional<std::size_t> firstRecord;
  };
  const std::vector<Case> cases = {
      {"ExactlyTheSignature", Text("!sIt"), 4},
      {"ThreeBytes", Text("!SI"), std::nullopt},
      {"Empty", {}, std::nullopt},
      {"AfterAPartialMatch", Text("!SI!SIT"), 7},
      {"NotTheLetters", Text("!S1T_SIT"), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(firmware::FindSitTable(c.image), c.firstRecord);
  }
}

TEST(SitTableTest, LookupsAreRememberedPerType) {
  testing::RegionMemory memory;
  memory.AddRegion(kBios, SitArea(0x20, "!SIT", {SitRecord(4, {1}), SitProcessorRecord(0b111), kEnd}));
  SitTableReader reader(memory);
  ASSERT_TRUE(reader.Found());
  EXPECT_EQ(reader.FindRecord(13), std::optional<std::size_t>(0x20 + 4 + 3));
  EXPECT_EQ(reader.FindRecord(4), std::optional<std::size_t>(0x24));
  EXPECT_EQ(reader.FindRecord(13), std::optional<std::size_t>(0x27));
  EXPECT_FALSE(reader.FindRecord(192).has_value());
  EXPECT_FALSE(reader.FindRecord(192).has_value());
  EXPECT_EQ(reader.CountProcessors(), 3);
  // Every type value can be looked up: the cache never runs out of places.
  for (unsigned type = 0; type < 256; ++type) reader.FindRecord(static_cast<std::uint8_t>(type));
  EXPECT_EQ(reader.CountProcessors(), 3);
}

TEST(SmbiosTest, EntryPointTestsAndStructureWalk) {
  ExpectCases({
      {"Version21Accepted", [] { return SmbiosArea(TwoOfThree(), 3, {.major = 2, .minor = 1}); }, 2, false},
      {"Version23Accepted", [] { return SmbiosArea(TwoOfThree(), 3, {.major = 2, .minor = 3}); }, 2, false},
      {"Version30Accepted", [] { return SmbiosArea(TwoOfThree(), 3, {.major = 3, .minor = 0}); }, 2, false},
      {"Version20Rejected", [] { return SmbiosArea(TwoOfThree(), 3, {.major = 2, .minor = 0}); }, 0, false},
      {"Version1_9Rejected", [] { return SmbiosArea(TwoOfThree(), 3, {.major = 1, .minor = 9}); }, 0, false},
      {"AnchorOffTheParagraph", [] { return SmbiosArea(TwoOfThree(), 3, {}, 0x1008); }, 0, false},
      {"BadChecksumRejected", [] { return SmbiosArea(TwoOfThree(), 3, {.goodChecksum = false}); }, 0, false},
      {"ChecksumLengthZeroPasses", [] { return SmbiosArea(TwoOfThree(), 3, {.checksumLength = 0, .goodChecksum = false}); }, 2, false},
      {"ChecksumOverTheFirstNBytes", [] { Bytes area = SmbiosArea(TwoOfThree(), 3, {.checksumLength = 0x10});
         area[0x1000 + 0x1E] = 0x77; return area; }, 2, false},
      {"LaterCandidateAfterBadChecksum", [] {
         Bytes area = SmbiosArea(TwoOfThree(), 3, {.goodChecksum = false});
         Place(area, 0x9000, SmbiosProcessor(0x41));
         Place(area, 0x1020, SmbiosEntryPoint({.tableLength = 40, .tableAddress = kBios + 0x9000, .structureCount = 1}));
         return area; }, 1, false},
      {"AnchorIsCaseSensitive", [] { Bytes area = SmbiosArea(TwoOfThree(), 3); Place(area, 0x1000, Text("_sm_")); return area; }, 0, false},
      {"StringsSteppedOver", [] { return SmbiosArea(Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x41, false),
         SmbiosStructure(1, {4, 4, 4}, {"\x04\x20", "x"}), SmbiosProcessor(0x41)}), 4); }, 3, false},
      {"OnlyProcessorStructuresCount", [] { Bytes cache = SmbiosProcessor(0x41); cache[0] = 7;
         return SmbiosArea(Concat({cache, SmbiosProcessor(0x41)}), 2); }, 1, false},
      {"CountBoundsTheWalk", [] { return SmbiosArea(Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x41), SmbiosProcessor(0x41)}), 2); }, 2, false},
      {"Type127DoesNotEndTheWalk", [] { return SmbiosArea(Concat({SmbiosProcessor(0x41), SmbiosStructure(127, {}, {}), SmbiosProcessor(0x43)}), 3); }, 2, false},
      {"CountZero", [] { return SmbiosArea(TwoOfThree(), 0); }, 0, false},
      // The walk leaves the table before the declared count; processors stored after the
      // table are not part of it.
      {"WalkRunsOffTheTable", [] { Bytes table = Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x41)});
         Bytes area = SmbiosArea(table, 60);
         Place(area, kTableOffset + table.size(), Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x41)}));
         return area; }, 2, false},
      // The declared length ends before the second structure's status byte.
      {"TableLengthCutsAStructure", [] {
         return SmbiosArea(Concat({SmbiosProcessor(0x41), SmbiosProcessor(0x41)}), 2,
                           {.tableLength = static_cast<std::uint16_t>(SmbiosProcessor(0x41).size() + 0x18)}); }, 1, false},
      // 16 bytes before the end of the image: the entry point cannot be copied whole.
      {"EntryPointAtTheLastParagraph", [] { Bytes area = SmbiosArea(TwoOfThree(), 3);
         const Bytes ep = First(SmbiosEntryPoint({.tableLength = 100, .tableAddress = kBios + kTableOffset, .structureCount = 3}), 16);
         Place(area, 0x1000, Bytes(31, 0)); Place(area, 0xFFF0, ep); return area; }, 0, false},
      // The 31 bytes fit, the 255 bytes of its checksum range do not.
      {"ChecksumRangePastTheEnd", [] { Bytes area = SmbiosArea(TwoOfThree(), 3, {.checksumLength = 0xFF}, 0xFFC0); return area; }, 0, false},
      {"ApicFromTheMpPointer", [] { Bytes area = SmbiosArea(TwoOfThree(), 3); Place(area, 0xF5A0, MpPointer()); return area; }, 2, true},
      {"TableUnreadableStillAvailable", [] { Bytes area = SmbiosArea(TwoOfThree(), 3, {.tableAddress = 0x00400000});
         Place(area, 0x30, MpPointer()); return area; }, 0, true},
      {"BothTablesSitWins", [] { Bytes area = SmbiosArea(TwoOfThree(), 3);
         Place(area, 0x4000, Concat({Text("!SIT"), SitProcessorRecord(0b1000), kEnd})); Place(area, 0xF5A0, MpPointer()); return area; }, 1, false},
      {"NoTableAtAll", [] { return BiosArea(); }, 0, false},
  });
}

// Entry points near the end of the image, in a span cut from a longer zero-filled buffer: a
// test that ran past the span would find zeros there and accept the candidate.
TEST(SmbiosTest, EntryPointMustFitTheImage) {
  struct Case {
    const char* name;
    std::size_t imageSize;
    std::uint8_t checksumLength;
    bool found;
  };
  const std::vector<Case> cases = {
      {"ChecksumRangeFits", 0x1000 + 0x40, 0x40, true},
      {"ChecksumRangeOneByteOver", 0x1000 + 0x40, 0x41, false},
      {"CopyOneByteShort", 0x1000 + 0x1E, 0x10, false},
      {"CopyFitsExactly", 0x1000 + 0x1F, 0x10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(0x2000, 0);
    Place(buffer, 0x1000, SmbiosEntryPoint({.checksumLength = c.checksumLength}));
    const auto found = firmware::FindSmbiosEntryPoint(std::span(buffer).first(c.imageSize));
    EXPECT_EQ(found, c.found ? std::optional<std::size_t>(0x1000) : std::nullopt);
  }
}

// The paragraph scans pass over blocks of 64 paragraphs (1 KiB) that hold no signature and test
// a block that does one candidate at a time: candidates on either side of a block's edge, a
// rejected one before an accepted one, the short last block, and signatures off the step.
// Images are spans cut from a longer buffer whose bytes past the span are unused.
TEST(ParagraphScanTest, CandidatesAroundBlockEdges) {
  struct Case {
    const char* name;
    std::size_t imageSize;
    std::vector<std::pair<std::size_t, bool>> planted;  // offset, whether it is acceptable
    std::optional<std::size_t> first;                  // the first acceptable on the step
  };
  const std::vector<Case> cases = {
      {"LastParagraphOfTheFirstBlock", 0x10000, {{0x3F0, true}}, 0x3F0},
      {"FirstParagraphOfTheSecondBlock", 0x10000, {{0x400, true}}, 0x400},
      {"RejectedThenAcceptedInOneBlock", 0x10000, {{0x410, false}, {0x420, true}}, 0x420},
      {"RejectedThenAcceptedInTheNextBlock", 0x10000, {{0x7F0, false}, {0x800, true}}, 0x800},
      {"TwoAcceptedTheFirstWins", 0x10000, {{0x2000, true}, {0x1000, true}}, 0x1000},
      {"OffTheStep", 0x10000, {{0x404, true}, {0x3F8, true}}, std::nullopt},
      {"InTheShortLastBlock", 0x1000 + 0x40, {{0x1010, true}}, 0x1010},
      {"ImageShorterThanABlock", 0x60, {{0x20, true}}, 0x20},
      {"OnlyRejected", 0x10000, {{0x400, false}, {0xFF00, false}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes smbios(0x11000, 0);
    Bytes mp(0x11000, 0);
    for (const auto& [offset, acceptable] : c.planted) {
      Place(smbios, offset, SmbiosEntryPoint({.goodChecksum = acceptable}));
      Place(mp, offset, MpPointer(acceptable));
    }
    EXPECT_EQ(firmware::FindSmbiosEntryPoint(std::span(smbios).first(c.imageSize)), c.first);
    EXPECT_EQ(firmware::ContainsMpFloatingPointer(std::span(mp).first(c.imageSize)),
              c.first.has_value());
  }
}

// A pointer is 16 bytes: one in the last paragraph counts only when all of it lies in the area.
TEST(ParagraphScanTest, MpPointerMustFitTheArea) {
  for (const std::size_t extra : {0, 8, 15, 16}) {
    SCOPED_TRACE(extra);
    Bytes area(0x2000, 0);
    Place(area, 0x1000, MpPointer());
    EXPECT_EQ(firmware::ContainsMpFloatingPointer(std::span(area).first(0x1000 + extra)),
              extra == 16);
  }
}

TEST(SmbiosTest, WalkOverExactTables) {
  struct Case {
    const char* name;
    Bytes table;
    std::uint16_t count;
    std::int32_t processors;
  };
  const std::vector<Case> cases = {
      {"EndsOnTheLastPair", Concat({SmbiosProcessor(0x41, false), SmbiosProcessor(0x41)}), 2, 2},
      {"OnlyTheHeader", Bytes{4, 0x1A}, 5, 0},
      {"StatusIsTheLastByte", First(SmbiosProcessor(0x41), 0x19), 3, 1},
      {"FormattedLengthPastTheEnd", Bytes{4, 0xFF, 0, 0}, 3, 0},
      {"NoDoubleZero", Bytes{1, 4, 0, 0x10, 'a', 0, 'b'}, 1, 0},
      {"FormattedLengthZeroSteps", Concat({Bytes{0, 0}, SmbiosProcessor(0x40)}), 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The table is a vector of exactly its size, so that a read past it is caught.
    EXPECT_EQ(firmware::CountSmbiosProcessors(c.table, c.count), c.processors);
  }
}

// The MP configuration: a BIOS area with one populated SMBIOS socket (the count without a
// usable MP configuration is 1), the floating pointer at 0xF5A0 and the table at 0x2000.
constexpr std::size_t kMpTableOffset = 0x2000;

Bytes MpArea(const Bytes& table, std::uint8_t feature1 = 0, std::uint32_t tableAddress = kBios + kMpTableOffset) {
  Bytes area = SmbiosArea(SmbiosProcessor(0x41), 1);
  Place(area, 0xF5A0, MpPointerTo(tableAddress, feature1));
  Place(area, kMpTableOffset, table);
  return area;
}

// Five enabled processors (one the boot processor) among the other kinds of entry, in the
// order SeaBIOS writes them.
Bytes FiveProcessors(MpTableFields fields = {}) {
  return MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01), MpProcessorEntry(2, 0x01),
                  MpProcessorEntry(3, 0x01), MpProcessorEntry(4, 0x01), MpEntry(1), MpEntry(2),
                  MpEntry(3), MpEntry(3), MpEntry(4)},
                 fields);
}

TEST(MpTableTest, ProcessorEntriesOfTheConfigurationTable) {
  const std::uint16_t fiveLength = static_cast<std::uint16_t>(FiveProcessors().size());
  ExpectCases({
      {"FiveEnabled", [] { return MpArea(FiveProcessors()); }, 5, true},
      {"DisabledEntriesNotCounted", [] {
         return MpArea(MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x00), MpProcessorEntry(2, 0x01),
                                MpProcessorEntry(3, 0x02), MpEntry(2)})); }, 2, true},
      // SeaBIOS with more possible than running processors lists them all, the others disabled.
      {"PossibleButNotRunning", [] {
         return MpArea(MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01), MpProcessorEntry(2, 0x00),
                                MpProcessorEntry(3, 0x00), MpEntry(1)})); }, 2, true},
      // Two cores in one socket: SMBIOS counts one socket, the table two processors.
      {"DualCoreInOneSocket", [] {
         Bytes area = MpArea(MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01), MpEntry(1), MpEntry(2)}));
         AddSmbios(area, 0x1000, SmbiosProcessor25(0x41, 2), 1, {.minor = 8});
         return area; }, 2, true},
      {"BadChecksumIgnored", [] { return MpArea(FiveProcessors({.goodSum = false})); }, 1, true},
      {"BadSignatureIgnored", [] { return MpArea(FiveProcessors({.signature = "PCMQ"})); }, 1, true},
      {"LengthShorterThanTheHeader", [] { return MpArea(FiveProcessors({.length = 43})); }, 1, true},
      // The declared length ends in the fifth processor entry: the walk ends at the base
      // table's end, and the sum covers only the declared bytes.
      {"EntriesRunPastTheLength", [] { return MpArea(FiveProcessors({.length = 44 + 4 * 20 + 10})); }, 4, true},
      {"EntryCountPastTheTable", [] { return MpArea(FiveProcessors({.entryCount = 60})); }, 5, true},
      {"EntryCountBoundsTheWalk", [] { return MpArea(FiveProcessors({.entryCount = 3})); }, 3, true},
      {"EntryCountZero", [] { return MpArea(FiveProcessors({.entryCount = 0})); }, 1, true},
      {"UnknownTypeEndsTheWalk", [] {
         return MpArea(MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01), MpEntry(5),
                                MpProcessorEntry(2, 0x01), MpProcessorEntry(3, 0x01)})); }, 2, true},
      // Extended entry types (128 and up) belong to the extended table, not to the base table.
      {"ExtendedTypeEndsTheWalk", [] {
         return MpArea(MpTable({MpProcessorEntry(0, 0x03), MpEntry(128), MpProcessorEntry(1, 0x01)})); }, 1, true},
      // The processor running the program is one: a table that lists none is not believed.
      {"NoEnabledProcessor", [] {
         return MpArea(MpTable({MpProcessorEntry(0, 0x00), MpProcessorEntry(1, 0x02), MpEntry(1)})); }, 1, true},
      {"TableNotInMemory", [] { return MpArea(FiveProcessors(), 0, 0x00500000); }, 1, true},
      // The header lies in the BIOS area, the rest of the declared table past its end.
      {"TableRunsPastTheMemory", [] {
         Bytes area = MpArea({}, 0, kBios + 0xFFE0);
         Place(area, 0xFFE0, First(FiveProcessors(), 32));
         Place(area, 0xF5A0, MpPointerTo(kBios + 0xFFD0));
         Place(area, 0xFFD0, First(FiveProcessors(), 48));
         return area; }, 1, true},
      {"PointerWithBadSum", [] { Bytes area = MpArea(FiveProcessors()); area[0xF5A0 + 10] ^= 1; return area; }, 1, false},
      // Without SMBIOS the table still gives the count; the APIC flag stays as it was without
      // SMBIOS: false.
      {"NoSmbios", [] { Bytes area = BiosArea(); Place(area, 0xF5A0, MpPointerTo(kBios + kMpTableOffset));
         Place(area, kMpTableOffset, FiveProcessors()); return area; }, 5, false},
      {"SitWins", [] { Bytes area = MpArea(FiveProcessors());
         Place(area, 0x4000, Concat({Text("!SIT"), SitProcessorRecord(0b111), kEnd})); return area; }, 3, false},
  });
  EXPECT_EQ(firmware::CountMpProcessors(FiveProcessors()), std::optional<std::int32_t>(5));
  EXPECT_EQ(firmware::CountMpProcessors(First(FiveProcessors(), fiveLength - 1)), std::nullopt);
}

// Feature byte 1 from 1 to 7 names a default configuration of two processors, which has no
// table (its address is 0); other nonzero values are undefined and leave the SMBIOS count.
TEST(MpTableTest, DefaultConfigurations) {
  for (unsigned feature1 = 0; feature1 < 256; ++feature1) {
    SCOPED_TRACE(feature1);
    const std::int32_t expected = feature1 == 0 ? 5 : feature1 <= 7 ? 2 : 1;
    const Bytes area = MpArea(FiveProcessors(), static_cast<std::uint8_t>(feature1),
                              feature1 == 0 ? kBios + kMpTableOffset : 0);
    const FirmwareProcessorInfo info = ReadArea(area);
    EXPECT_EQ(info.installedProcessors, expected);
    EXPECT_TRUE(info.apicPresent);
  }
}

// Tables cut to exact vectors, so that a read past the end is caught.
TEST(MpTableTest, CountOverExactTables) {
  struct Case {
    const char* name;
    Bytes table;
    std::optional<std::int32_t> processors;
  };
  const Bytes two = MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01)});
  const std::vector<Case> cases = {
      {"Two", two, 2},
      {"HeaderOnly", MpTable({}), 0},
      {"LongerThanDeclared", Concat({two, Bytes{0}}), std::nullopt},
      {"ShorterThanTheHeader", First(two, 43), std::nullopt},
      {"Empty", {}, std::nullopt},
      // A processor entry cut by the declared length, its flags byte still inside it.
      {"ProcessorEntryCut", MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01)}, {.length = 44 + 20 + 4}), std::nullopt},
      {"EightByteEntryAtTheEnd", MpTable({MpProcessorEntry(0, 0x01), MpEntry(4)}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(firmware::CountMpProcessors(c.table), c.processors);
  }
  // The cut entry is passed over once the table is its declared length.
  const Bytes cut = MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(1, 0x01)}, {.length = 44 + 20 + 4});
  EXPECT_EQ(firmware::CountMpProcessors(First(cut, 44 + 20 + 4)), std::optional<std::int32_t>(1));
}

TEST(SmbiosTest, EnabledCoresOfPopulatedSockets) {
  struct Case {
    const char* name;
    Bytes table;
    std::uint16_t count;
    std::int32_t cores;
  };
  const std::vector<Case> cases = {
      {"TwoSocketsOfTwo", Concat({SmbiosProcessor25(0x41, 2), SmbiosProcessor25(0x41, 2)}), 2, 4},
      {"EmptySocketNotCounted", Concat({SmbiosProcessor25(0x41, 4), SmbiosProcessor25(0x00, 4)}), 2, 4},
      {"DisabledProcessorInAPopulatedSocket", Concat({SmbiosProcessor25(0x41, 1), SmbiosProcessor25(0x43, 2)}), 2, 3},
      // 0x25 bytes hold the field; 0x24 end just before it, and the byte there is a string's.
      {"FormattedAreaJustHoldsIt", SmbiosProcessor25(0x41, 6, 0x25), 1, 6},
      {"FormattedAreaEndsBeforeIt", SmbiosProcessor25(0x41, 6, 0x24), 1, 0},
      {"Smbios20Length", SmbiosProcessor(0x41), 1, 0},
      {"OtherTypesNotCounted", [] { Bytes s = SmbiosProcessor25(0x41, 8); s[0] = 44; return s; }(), 1, 0},
      {"CountBoundsTheWalk", Concat({SmbiosProcessor25(0x41, 2), SmbiosProcessor25(0x41, 2)}), 1, 2},
      {"TableEndsBeforeTheField", First(SmbiosProcessor25(0x41, 2), 0x24), 1, 0},
      {"TableEndsAtTheField", First(SmbiosProcessor25(0x41, 2), 0x25), 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(firmware::CountSmbiosEnabledCores(c.table, c.count), c.cores);
  }
}

// The cores are looked at from SMBIOS 2.5 on, and only where the MP configuration gives the
// count.
TEST(SmbiosTest, EnabledCoresBesideTheMpCount) {
  struct Case {
    const char* name;
    std::uint8_t minor;
    bool withMpTable;
    bool withSit;
    std::int32_t processors;
    std::int32_t cores;
  };
  const std::vector<Case> cases = {
      {"Version25", 5, true, false, 2, 4},
      {"Version28", 8, true, false, 2, 4},
      {"Version24", 4, true, false, 2, 0},
      {"SocketsCountWithoutMpTable", 8, false, false, 2, 0},
      {"SitCount", 8, true, true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes area = BiosArea();
    AddSmbios(area, 0x1000, Concat({SmbiosProcessor25(0x41, 2), SmbiosProcessor25(0x41, 2)}), 2,
              {.minor = c.minor});
    if (c.withMpTable) {
      Place(area, 0xF5A0, MpPointerTo(kBios + kMpTableOffset));
      Place(area, kMpTableOffset, MpTable({MpProcessorEntry(0, 0x03), MpProcessorEntry(2, 0x01), MpEntry(1)}));
    }
    if (c.withSit) Place(area, 0x4000, Concat({Text("!SIT"), SitProcessorRecord(0b1), kEnd}));
    const FirmwareProcessorInfo info = ReadArea(area);
    EXPECT_EQ(info.installedProcessors, c.processors);
    EXPECT_EQ(info.smbiosEnabledCores, c.cores);
  }
}

// Physical memory that records its calls; with expectedReads set, a read not on that list
// (in its order) fails the test.
class RecordingMemory : public testing::RegionMemory {
 public:
  struct Event {
    char kind;  // 'L' lock, 'R' read, 'U' unlock
    const std::uint8_t* data;
    std::size_t size;
    std::uint32_t address;
  };
  bool ReadPhysical(std::uint32_t address, std::span<std::uint8_t> destination) override {
    const std::pair<std::uint32_t, std::size_t> read{address, destination.size()};
    if (expectedReads) {
      const std::size_t n = reads.size();
      if (n >= expectedReads->size() || (*expectedReads)[n] != read) {
        ADD_FAILURE() << "unexpected read of " << read.second << " bytes at 0x" << std::hex << address;
      }
    }
    reads.push_back(read);
    events.push_back({'R', destination.data(), destination.size(), address});
    return RegionMemory::ReadPhysical(address, destination);
  }
  void Lock(std::span<std::uint8_t> b) override { events.push_back({'L', b.data(), b.size(), 0}); }
  void Unlock(std::span<std::uint8_t> b) override { events.push_back({'U', b.data(), b.size(), 0}); }

  std::optional<std::vector<std::pair<std::uint32_t, std::size_t>>> expectedReads;
  std::vector<std::pair<std::uint32_t, std::size_t>> reads;
  std::vector<Event> events;
};

using Reads = std::vector<std::pair<std::uint32_t, std::size_t>>;

Bytes LowMemory(std::uint16_t ebdaSegment) {
  Bytes low(0x2000, 0);
  low[0x40E] = static_cast<std::uint8_t>(ebdaSegment);
  low[0x40F] = static_cast<std::uint8_t>(ebdaSegment >> 8);
  return low;
}

TEST(MpPointerTest, SearchOrderAndCandidates) {
  struct Case {
    const char* name;
    std::optional<std::size_t> ebdaPointer;  // offset in the EBDA's first KiB
    bool ebdaGoodSum;
    std::optional<std::size_t> biosPointer;  // offset in the BIOS area
    bool found;
    Reads reads;
  };
  constexpr std::uint32_t ebda = 0x1800;  // segment 0x0180
  const std::vector<Case> cases = {
      {"InTheEbda", 0x3F0, true, 0x100, true, {{0x40E, 2}, {ebda, 1024}}},
      {"BadSumInTheEbda", 0x30, false, std::nullopt, false, {{0x40E, 2}, {ebda, 1024}, {kBios, 0x10000}}},
      {"BadSumThenTheBiosArea", 0x30, false, 0xFFF0, true, {{0x40E, 2}, {ebda, 1024}, {kBios, 0x10000}}},
      {"OffTheParagraph", 0x38, true, 0x8, false, {{0x40E, 2}, {ebda, 1024}, {kBios, 0x10000}}},
      // The first KiB only: a pointer just after it is not part of the search.
      {"JustPastTheFirstKib", 0x400, true, std::nullopt, false, {{0x40E, 2}, {ebda, 1024}, {kBios, 0x10000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMemory memory;
    Bytes low = LowMemory(0x0180);
    if (c.ebdaPointer) Place(low, ebda + *c.ebdaPointer, MpPointer(c.ebdaGoodSum));
    Bytes bios = BiosArea();
    if (c.biosPointer) Place(bios, *c.biosPointer, MpPointer());
    memory.AddRegion(0, low);
    memory.AddRegion(kBios, bios);
    memory.expectedReads = c.reads;
    EXPECT_EQ(FindMpFloatingPointer(memory), c.found);
    EXPECT_EQ(memory.reads, c.reads);
  }
}

TEST(MpPointerTest, UnreadableSegmentWordMeansSegmentZero) {
  RecordingMemory memory;
  Bytes low(0x400, 0);
  Place(low, 0x200, MpPointer());
  memory.AddRegion(0, low);  // ends before 0x40E
  memory.expectedReads = Reads{{0x40E, 2}, {0, 1024}};
  EXPECT_TRUE(FindMpFloatingPointer(memory));
}

TEST(MpPointerTest, NoMemoryAtAll) {
  RecordingMemory memory;
  EXPECT_FALSE(FindMpFloatingPointer(memory));
  EXPECT_EQ(memory.reads, (Reads{{0x40E, 2}, {0, 1024}, {kBios, 0x10000}}));
}

TEST(FirmwareReadsTest, SitWithoutProcessorRecordDoesNotConsultSmbios) {
  RecordingMemory memory;
  Bytes area = SmbiosArea(TwoOfThree(), 3);
  Place(area, 0x2000, Concat({Text("!SIT"), SitRecord(192, {1}), kEnd}));
  Place(area, 0x40, MpPointer());
  memory.AddRegion(kBios, area);
  memory.AddRegion(0, LowMemory(0x9FC0));
  // Both scans run; the MP pointer search does not.
  memory.expectedReads = Reads{{kBios, 0xFFFF}, {kBios, 0x10000}, {kBios + kTableOffset, TwoOfThree().size()}};
  const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
  EXPECT_EQ(info.installedProcessors, 0);
  EXPECT_TRUE(info.apicPresent);
  EXPECT_EQ(memory.reads.size(), 3u);
}

TEST(FirmwareReadsTest, EveryBufferIsLockedAroundItsReadAndUnlockedOnce) {
  RecordingMemory memory;
  Bytes area = SmbiosArea(TwoOfThree(), 3);
  Place(area, 0xF5A0, MpPointer(false));
  memory.AddRegion(kBios, area);
  memory.AddRegion(0, LowMemory(0x0080));
  const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
  EXPECT_EQ(info.installedProcessors, 2);
  EXPECT_FALSE(info.apicPresent);
  EXPECT_EQ(memory.reads.size(), 6u);  // !SIT, SMBIOS, table, 0x40E, EBDA, BIOS area

  const auto& events = memory.events;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind != 'R' || events[i].size == 2) continue;  // the segment word is a local
    SCOPED_TRACE(::testing::Message() << "read at 0x" << std::hex << events[i].address);
    int locked = 0;
    int unlocked = 0;
    for (std::size_t j = 0; j < events.size(); ++j) {
      if (events[j].data != events[i].data || events[j].size != events[i].size) continue;
      if (events[j].kind == 'L' && j < i) ++locked;
      if (events[j].kind == 'U' && j > i) ++unlocked;
    }
    EXPECT_GE(locked, 1);
    EXPECT_GE(unlocked, 1);
  }
  int balance = 0;
  for (const auto& e : events) balance += e.kind == 'L' ? 1 : e.kind == 'U' ? -1 : 0;
  EXPECT_EQ(balance, 0);
}

// The pointer in the EBDA, the table in low memory: the header is read, then the whole base
// table, each into a locked buffer; SMBIOS is scanned first as always.
TEST(FirmwareReadsTest, MpTableReadAfterTheScans) {
  RecordingMemory memory;
  const Bytes table = FiveProcessors();
  Bytes low = LowMemory(0x0180);
  Place(low, 0x1800 + 0x40, MpPointerTo(0x0E13));
  Place(low, 0x0E13, table);
  memory.AddRegion(0, low);
  memory.AddRegion(kBios, SmbiosArea(TwoOfThree(), 3));
  memory.expectedReads = Reads{{kBios, 0xFFFF}, {kBios, 0x10000}, {kBios + kTableOffset, TwoOfThree().size()},
                               {0x40E, 2}, {0x1800, 1024}, {0x0E13, 44}, {0x0E13, table.size()}};
  const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
  EXPECT_EQ(info.installedProcessors, 5);
  EXPECT_TRUE(info.apicPresent);
  EXPECT_EQ(memory.reads, *memory.expectedReads);
  int balance = 0;
  for (const auto& e : memory.events) balance += e.kind == 'L' ? 1 : e.kind == 'U' ? -1 : 0;
  EXPECT_EQ(balance, 0);
}

// A table that would end past the 4 GiB of physical addresses is not read.
TEST(FirmwareReadsTest, MpTableAtTheTopOfTheAddressSpace) {
  RecordingMemory memory;
  Bytes bios = BiosArea();
  Place(bios, 0x100, MpPointerTo(0xFFFFFFF0));
  memory.AddRegion(kBios, bios);
  const Bytes table = FiveProcessors();
  memory.AddRegion(0xFFFFFFF0, First(table, 16));
  const MpConfiguration mp = ReadMpConfiguration(memory);
  EXPECT_TRUE(mp.pointerFound);
  EXPECT_FALSE(mp.processors.has_value());
}

}  // namespace
}  // namespace halshift::inspect
