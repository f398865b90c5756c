// Building the firmware area of a described machine, and taking one from a dump.
#include "platform/image/firmware_area.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "inspect/firmware.h"

namespace halshift::image {
namespace {

using Bytes = std::vector<std::uint8_t>;

// MP floating pointer structure.
constexpr std::size_t kMpPointerAddress = 0x04;
constexpr std::size_t kMpPointerLength = 0x08;
constexpr std::size_t kMpPointerRevision = 0x09;
constexpr std::size_t kMpPointerChecksum = 0x0A;
constexpr std::size_t kMpPointerSize = 16;
constexpr std::uint8_t kMpRevision14 = 4;

// MP configuration table header and entries.
constexpr std::size_t kMpTableLength = 0x04;
constexpr std::size_t kMpTableRevision = 0x06;
constexpr std::size_t kMpTableChecksum = 0x07;
constexpr std::size_t kMpTableOemId = 0x08;
constexpr std::size_t kMpTableProductId = 0x10;
constexpr std::size_t kMpTableEntryCount = 0x22;
constexpr std::size_t kMpTableLocalApic = 0x24;
constexpr std::size_t kMpTableHeaderSize = 0x2C;
constexpr std::uint8_t kMpProcessorEntry = 0;
constexpr std::uint8_t kMpBusEntry = 1;
constexpr std::uint8_t kMpIoApicEntry = 2;
constexpr std::uint8_t kMpIoInterruptEntry = 3;
constexpr std::uint8_t kMpLocalInterruptEntry = 4;
constexpr std::uint8_t kMpProcessorEnabled = 0x01;
constexpr std::uint8_t kMpProcessorBootstrap = 0x02;
constexpr std::uint8_t kMpInterruptInt = 0;
constexpr std::uint8_t kMpInterruptNmi = 1;
constexpr std::uint8_t kMpInterruptExtInt = 3;
constexpr std::uint8_t kAllLocalApics = 0xFF;
constexpr std::uint32_t kLocalApicAddress = 0xFEE00000;
constexpr std::uint32_t kIoApicAddress = 0xFEC00000;
constexpr std::uint8_t kLocalApicVersion = 0x14;
constexpr std::uint8_t kIoApicVersion = 0x11;
// A Pentium Pro-class processor (family 6) with an FPU, time stamp counter, CMPXCHG8B and,
// where the machine has one, its local APIC (bit 9).
constexpr std::uint32_t kProcessorSignature = 0x00000633;
constexpr std::uint32_t kProcessorFeatures = 0x00000131;
constexpr std::uint32_t kProcessorApicFeature = 0x00000200;

// SMBIOS 2.x entry point.
constexpr std::size_t kSmbiosEntryLength = 0x1F;
constexpr std::size_t kSmbiosChecksum = 0x04;
constexpr std::size_t kSmbiosLength = 0x05;
constexpr std::size_t kSmbiosMajor = 0x06;
constexpr std::size_t kSmbiosMinor = 0x07;
constexpr std::size_t kSmbiosMaxStructureSize = 0x08;
constexpr std::size_t kSmbiosIntermediateAnchor = 0x10;
constexpr std::size_t kSmbiosIntermediateChecksum = 0x15;
constexpr std::size_t kSmbiosTableLength = 0x16;
constexpr std::size_t kSmbiosTableAddress = 0x18;
constexpr std::size_t kSmbiosStructureCount = 0x1C;
constexpr std::size_t kSmbiosBcdRevision = 0x1E;

// SMBIOS type-4 structure of version 2.6 and later.
constexpr std::size_t kType4Length = 0x2A;
constexpr std::uint8_t kSocketPopulatedEnabled = 0x41;

// The reset vector and the BIOS identification at the top of the area.
constexpr std::size_t kResetVector = 0xFFF0;
constexpr std::size_t kBiosDate = 0xFFF5;
constexpr std::size_t kModelByte = 0xFFFE;
constexpr std::uint8_t kModelAt = 0xFC;

// The end of the lowest dump of memory that holds the whole area.
constexpr std::size_t kAreaEnd = kFirmwareAreaBase + kFirmwareAreaSize;

void Put16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(Bytes& bytes, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

// The byte that makes the 8-bit sum of bytes[offset, offset + length) zero, stored at
// checksumAt (which lies in that range and counts as zero before).
void FixChecksum(Bytes& bytes, std::size_t offset, std::size_t length, std::size_t checksumAt) {
  bytes[checksumAt] = 0;
  unsigned sum = 0;
  for (std::size_t i = offset; i < offset + length; ++i) sum += bytes[i];
  bytes[checksumAt] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

void Append(Bytes& out, std::initializer_list<std::uint8_t> bytes) { out.insert(out.end(), bytes); }

void Append16(Bytes& out, std::uint16_t value) {
  Append(out, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}

void Append32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void AppendStrings(Bytes& out, std::initializer_list<std::string_view> strings) {
  for (std::string_view s : strings) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  if (strings.size() == 0) out.push_back(0);
  out.push_back(0);
}

// The MP configuration table's entries, ordered by entry type as the table format requires.
Bytes MpTableEntries(unsigned processors, std::uint16_t& count) {
  Bytes entries;
  count = 0;
  const auto ioApicId = static_cast<std::uint8_t>(processors);
  for (unsigned id = 0; id < processors; ++id) {
    const std::uint8_t flags = kMpProcessorEnabled | (id == 0 ? kMpProcessorBootstrap : 0);
    Append(entries, {kMpProcessorEntry, static_cast<std::uint8_t>(id), kLocalApicVersion, flags});
    Append32(entries, kProcessorSignature);
    Append32(entries, kProcessorFeatures | kProcessorApicFeature);
    Append32(entries, 0);
    Append32(entries, 0);
    ++count;
  }
  Append(entries, {kMpBusEntry, 0, 'I', 'S', 'A', ' ', ' ', ' '});
  ++count;
  Append(entries, {kMpIoApicEntry, ioApicId, kIoApicVersion, 0x01});
  Append32(entries, kIoApicAddress);
  ++count;
  for (std::uint8_t irq = 0; irq < 16; ++irq) {
    if (irq == 2) continue;  // the cascade from the second interrupt controller
    const std::uint8_t input = irq == 0 ? 2 : irq;  // the timer reaches the I/O APIC's input 2
    Append(entries, {kMpIoInterruptEntry, kMpInterruptInt, 0, 0, 0, irq, ioApicId, input});
    ++count;
  }
  Append(entries, {kMpLocalInterruptEntry, kMpInterruptExtInt, 0, 0, 0, 0, kAllLocalApics, 0});
  Append(entries, {kMpLocalInterruptEntry, kMpInterruptNmi, 0, 0, 0, 0, kAllLocalApics, 1});
  count += 2;
  return entries;
}

void PlaceMpTables(Bytes& area, unsigned processors) {
  std::uint16_t count = 0;
  const Bytes entries = MpTableEntries(processors, count);
  const std::size_t table = kBuiltMpConfigurationTable;
  const std::size_t length = kMpTableHeaderSize + entries.size();
  PutText(area, table, "PCMP");
  Put16(area, table + kMpTableLength, static_cast<std::uint16_t>(length));
  area[table + kMpTableRevision] = kMpRevision14;
  PutText(area, table + kMpTableOemId, "HALSHIFT");
  PutText(area, table + kMpTableProductId, "OFFLINE PC  ");
  Put16(area, table + kMpTableEntryCount, count);
  Put32(area, table + kMpTableLocalApic, kLocalApicAddress);
  std::copy(entries.begin(), entries.end(), area.begin() + static_cast<std::ptrdiff_t>(table + kMpTableHeaderSize));
  FixChecksum(area, table, length, table + kMpTableChecksum);

  const std::size_t pointer = kBuiltMpFloatingPointer;
  PutText(area, pointer, "_MP_");
  Put32(area, pointer + kMpPointerAddress, static_cast<std::uint32_t>(kFirmwareAreaBase + table));
  area[pointer + kMpPointerLength] = 1;  // in 16-byte paragraphs
  area[pointer + kMpPointerRevision] = kMpRevision14;
  // Feature bytes 1 to 5 stay zero: the configuration table is present, and the machine
  // runs in virtual wire mode.
  FixChecksum(area, pointer, kMpPointerSize, pointer + kMpPointerChecksum);
}

// The SMBIOS structures; count and largest are set to their number and the largest size.
Bytes SmbiosStructures(const MachineDescription& machine, std::uint16_t& count, std::uint16_t& largest) {
  Bytes table;
  count = 0;
  largest = 0;
  std::uint16_t handle = 0;
  const auto finish = [&](std::size_t start) {
    largest = std::max(largest, static_cast<std::uint16_t>(table.size() - start));
    ++count;
    ++handle;
  };

  std::size_t start = table.size();
  // Type 0: BIOS vendor, version, start segment, release date, ROM size, characteristics
  // ("not supported"), no extension bytes beyond the first two, release 1.0.
  Append(table, {0, 0x18});
  Append16(table, handle);
  Append(table, {1, 2});
  Append16(table, 0xE800);
  Append(table, {3, 0x00});
  Append32(table, 0x00000008);
  Append32(table, 0);
  Append(table, {0, 0, 1, 0, 0xFF, 0xFF});
  AppendStrings(table, {"halshift", "offline", "01/01/2011"});
  finish(start);

  const std::uint32_t features = kProcessorFeatures | (machine.apic ? kProcessorApicFeature : 0);
  for (unsigned processor = 0; processor < machine.processors; ++processor) {
    start = table.size();
    Append(table, {4, static_cast<std::uint8_t>(kType4Length)});
    Append16(table, handle);
    Append(table, {1, 0x03, 0x01, 0});  // socket string, central processor, family "other", no maker
    Append32(table, kProcessorSignature);
    Append32(table, features);
    Append(table, {0, 0});  // no version string, voltage unknown
    Append16(table, 0);     // external clock unknown
    Append16(table, 2000);  // maximum and current speed, MHz
    Append16(table, 2000);
    Append(table, {kSocketPopulatedEnabled, 0x01});
    Append16(table, 0xFFFF);  // no cache structures
    Append16(table, 0xFFFF);
    Append16(table, 0xFFFF);
    Append(table, {0, 0, 0, 1, 1, 1});  // no serial, tag or part; one core, enabled, one thread
    Append16(table, 0x0002);            // characteristics unknown
    Append16(table, 0x0001);            // family 2: "other"
    AppendStrings(table, {"CPU " + std::to_string(processor)});
    finish(start);
  }

  start = table.size();
  Append(table, {127, 4});
  Append16(table, handle);
  AppendStrings(table, {});
  finish(start);
  return table;
}

void PlaceSmbiosTables(Bytes& area, const MachineDescription& machine) {
  std::uint16_t count = 0;
  std::uint16_t largest = 0;
  const Bytes structures = SmbiosStructures(machine, count, largest);
  std::copy(structures.begin(), structures.end(),
            area.begin() + static_cast<std::ptrdiff_t>(kBuiltSmbiosStructureTable));

  const std::size_t entry = kBuiltSmbiosEntryPoint;
  PutText(area, entry, "_SM_");
  area[entry + kSmbiosLength] = static_cast<std::uint8_t>(kSmbiosEntryLength);
  area[entry + kSmbiosMajor] = 2;
  area[entry + kSmbiosMinor] = 8;
  Put16(area, entry + kSmbiosMaxStructureSize, largest);
  PutText(area, entry + kSmbiosIntermediateAnchor, "_DMI_");
  Put16(area, entry + kSmbiosTableLength, static_cast<std::uint16_t>(structures.size()));
  Put32(area, entry + kSmbiosTableAddress,
        static_cast<std::uint32_t>(kFirmwareAreaBase + kBuiltSmbiosStructureTable));
  Put16(area, entry + kSmbiosStructureCount, count);
  area[entry + kSmbiosBcdRevision] = 0x28;
  // The intermediate checksum covers the 15 bytes from "_DMI_"; the whole one all 31 bytes.
  FixChecksum(area, entry + kSmbiosIntermediateAnchor, kSmbiosEntryLength - kSmbiosIntermediateAnchor,
              entry + kSmbiosIntermediateChecksum);
  FixChecksum(area, entry, kSmbiosEntryLength, entry + kSmbiosChecksum);
}

// Whether the area holds a table that the survey looks for.
bool HoldsFirmwareTable(std::span<const std::uint8_t> area) {
  if (inspect::firmware::FindSitTable(area) || inspect::firmware::ContainsMpFloatingPointer(area)) {
    return true;
  }
  // Any SMBIOS anchor: an SMBIOS 3.0 entry point alone gives no count, but is still a real
  // machine's firmware.
  for (std::size_t offset = 0; offset + 5 <= area.size(); offset += 16) {
    if (std::memcmp(area.data() + offset, "_SM3_", 5) == 0 || std::memcmp(area.data() + offset, "_SM_", 4) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::uint8_t> BuildFirmwareArea(const MachineDescription& machine) {
  MachineDescription described = machine;
  described.processors = std::clamp(described.processors, 1u, kMaxProcessors);
  Bytes area(kFirmwareAreaSize, 0);
  if (described.apic) PlaceMpTables(area, described.processors);
  PlaceSmbiosTables(area, described);
  const std::uint8_t jump[] = {0xEA, 0x5B, 0xE0, 0x00, 0xF0};  // jmp far F000:E05B
  std::copy(std::begin(jump), std::end(jump), area.begin() + kResetVector);
  PutText(area, kBiosDate, "01/01/11");
  area[kModelByte] = kModelAt;
  return area;
}

std::optional<std::vector<std::uint8_t>> ReadFirmwareDump(std::span<const std::uint8_t> file,
                                                          std::string& error) {
  std::span<const std::uint8_t> area;
  if (file.size() == kFirmwareAreaSize) {
    area = file;
  } else if (file.size() >= kAreaEnd) {
    area = file.subspan(kFirmwareAreaBase, kFirmwareAreaSize);
  } else {
    error = "the firmware dump is " + std::to_string(file.size()) +
            " bytes long: it must be the 65536 bytes from 0xF0000, or memory from address 0 of "
            "at least 1048576 bytes";
    return std::nullopt;
  }
  if (!HoldsFirmwareTable(area)) {
    error = file.size() == kFirmwareAreaSize
                ? "the firmware dump holds no firmware table (no _MP_, _SM_ or !SIT): is it the area from 0xF0000?"
                : "the memory dump holds no firmware table at 0xF0000 (no _MP_, _SM_ or !SIT): is it a dump from address 0?";
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(area.begin(), area.end());
}

}  // namespace halshift::image
