// Firmware tables in physical memory and what they say about the processors: the "!SIT" record
// table, the SMBIOS structure table and the MP floating pointer structure.
//
// The scanning and counting functions below are pure functions of their byte spans and never
// read outside them. The readers fetch the bytes through platform::PhysicalMemory and own the
// buffers; they are built for one ReadFirmwareProcessorInfo and gone when it returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/platform.h"

namespace halshift::inspect {

// What the firmware reports: 0 processors and no APIC flag when no table is found.
struct FirmwareProcessorInfo {
  std::int32_t installedProcessors = 0;
  bool apicPresent = false;
  // Where the count comes from the MP configuration: the enabled cores that SMBIOS 2.5 or
  // later reports for the populated sockets (0 when it reports none). 0 for any other count.
  std::int32_t smbiosEnabledCores = 0;
};

namespace firmware {

// Where the tables are read from, and how much of each.
inline constexpr std::uint32_t kBiosAreaAddress = 0xF0000;
// One byte short of 64 KiB: the byte at 0xFFFFF is not part of the "!SIT" image.
inline constexpr std::size_t kSitImageLength = 0xFFFF;
inline constexpr std::size_t kSmbiosImageLength = 0x10000;
// The BIOS data area word that holds the extended BIOS data area's segment number.
inline constexpr std::uint32_t kEbdaSegmentAddress = 0x40E;
inline constexpr std::size_t kEbdaSearchLength = 1024;
inline constexpr std::size_t kBiosSearchLength = 0x10000;

// "!SIT" table: the signature, then records of type, data length L and L data bytes.
inline constexpr std::size_t kSitSignatureLength = 4;
inline constexpr std::size_t kSitRecordType = 0;
inline constexpr std::size_t kSitRecordLength = 1;
inline constexpr std::size_t kSitRecordData = 2;
inline constexpr std::uint8_t kSitEndType = 0;
inline constexpr std::uint8_t kSitProcessorSlotsType = 13;
inline constexpr std::uint8_t kSitApicType = 192;
// The processor record: header and eight slots of 13 bytes.
inline constexpr std::size_t kSitSlotCount = 8;
inline constexpr std::size_t kSitSlotSize = 13;
inline constexpr std::size_t kSitProcessorRecordSize = kSitRecordData + kSitSlotCount * kSitSlotSize;
inline constexpr std::uint8_t kSitApicBit = 0x01;

// SMBIOS entry point, offsets from its anchor.
inline constexpr std::size_t kSmbiosAnchorStep = 16;
inline constexpr std::size_t kSmbiosAnchorLength = 4;
inline constexpr std::size_t kSmbiosEntryPointLength = 0x05;
inline constexpr std::size_t kSmbiosMajorVersion = 0x06;
inline constexpr std::size_t kSmbiosMinorVersion = 0x07;
inline constexpr std::size_t kSmbiosTableLength = 0x16;
inline constexpr std::size_t kSmbiosTableAddress = 0x18;
inline constexpr std::size_t kSmbiosStructureCount = 0x1C;
// The part of the entry point that the reader keeps.
inline constexpr std::size_t kSmbiosEntryPointCopyLength = 0x1F;
inline constexpr unsigned kSmbiosMinimumVersion = 0x0201;

// SMBIOS structures: type, formatted length (header included), handle; then the strings.
inline constexpr std::size_t kSmbiosStructureType = 0;
inline constexpr std::size_t kSmbiosStructureLength = 1;
inline constexpr std::uint8_t kSmbiosProcessorType = 4;
inline constexpr std::size_t kSmbiosProcessorStatus = 0x18;
inline constexpr std::uint8_t kSmbiosSocketPopulated = 0x40;
// "Core Enabled", part of the Processor Information structure from SMBIOS 2.5 on; 0 means
// unknown.
inline constexpr std::size_t kSmbiosProcessorCoresEnabled = 0x24;
inline constexpr unsigned kSmbiosCoresVersion = 0x0205;

// MP floating pointer structure.
inline constexpr std::size_t kMpPointerStep = 16;
inline constexpr std::size_t kMpPointerLength = 16;
inline constexpr std::size_t kMpPointerTableAddress = 0x04;
// Feature byte 1: 0 when a configuration table is present, 1 to 7 for one of the default
// configurations, each of which has two processors.
inline constexpr std::size_t kMpPointerFeature1 = 0x0B;
inline constexpr std::uint8_t kMpLastDefaultConfiguration = 7;
inline constexpr std::int32_t kMpDefaultConfigurationProcessors = 2;

// MP configuration table: a 44-byte header, then the base table's entries.
inline constexpr std::size_t kMpTableHeaderLength = 44;
inline constexpr std::size_t kMpTableBaseLength = 0x04;
inline constexpr std::size_t kMpTableEntryCount = 0x22;
inline constexpr std::uint8_t kMpProcessorEntryType = 0;
inline constexpr std::size_t kMpProcessorEntryLength = 20;
// Types 1 to 4 (bus, I/O APIC, I/O interrupt, local interrupt) are 8 bytes each.
inline constexpr std::uint8_t kMpLastKnownEntryType = 4;
inline constexpr std::size_t kMpOtherEntryLength = 8;
inline constexpr std::size_t kMpProcessorFlags = 3;
inline constexpr std::uint8_t kMpProcessorEnabled = 0x01;

// The position of the first "!SIT" record: just after the first match of "!SIT", compared
// without regard to case at every byte offset where four bytes remain. Nothing when absent.
std::optional<std::size_t> FindSitTable(std::span<const std::uint8_t> image);

// The position of the first record of the type, walking from firstRecord; nothing when a
// record of type 0 comes first. Bytes past the end of the image read as zero, so a chain
// that runs off the image without a type-0 record ends there with nothing, and a record
// that starts inside the image but whose header or data run past its end is still found.
std::optional<std::size_t> FindSitRecord(std::span<const std::uint8_t> image,
                                         std::size_t firstRecord, std::uint8_t type);

// The processor slots in use (0 to 8) of the type-13 record at position: only its first
// min(L + 2, 106) bytes are looked at, and missing bytes are zero.
std::int32_t CountSitProcessorSlots(std::span<const std::uint8_t> image, std::size_t position);

// Bit 0 of the first data byte of the type-192 record at position; false when the record
// has no data byte (L = 0), for then that byte would belong to the next record.
bool ReadSitApicFlag(std::span<const std::uint8_t> image, std::size_t position);

// The three entry point fields that locate and bound the structure table walk.
struct SmbiosStructureTable {
  std::uint16_t length = 0;
  std::uint32_t address = 0;
  std::uint16_t structureCount = 0;
};

// The offset of the first acceptable SMBIOS entry point, examined at 16-byte steps: anchor
// "_SM_", an 8-bit sum of 0 over its first N bytes (N from offset 0x05) and version 2.1 or
// later. A candidate whose checksum range or 31-byte copy would run past the image is
// rejected, and the scan goes on. Nothing when no candidate is accepted.
std::optional<std::size_t> FindSmbiosEntryPoint(std::span<const std::uint8_t> image);

SmbiosStructureTable ReadSmbiosStructureTable(
    std::span<const std::uint8_t, kSmbiosEntryPointCopyLength> entryPoint);

// The type-4 structures whose socket is populated, among the first structureCount
// structures of the table. The count is bounded by structureCount alone (a type-127
// structure does not end it); a walk that would leave the table before it has visited them
// all stops there and keeps what it counted.
std::int32_t CountSmbiosProcessors(std::span<const std::uint8_t> table, std::uint16_t structureCount);

// The enabled cores ("Core Enabled") of the type-4 structures whose socket is populated, over
// the same walk as CountSmbiosProcessors; a structure whose formatted area is too short to
// hold the field adds nothing.
std::int32_t CountSmbiosEnabledCores(std::span<const std::uint8_t> table, std::uint16_t structureCount);

// The offset of the first 16 bytes, at a 16-byte step from the area's start, that begin
// "_MP_" and sum to 0 modulo 256; nothing when there is none.
std::optional<std::size_t> FindMpPointerInArea(std::span<const std::uint8_t> area);

// Whether the area holds such a pointer.
bool ContainsMpFloatingPointer(std::span<const std::uint8_t> area);

// The two fields of a floating pointer that lead to the processors.
struct MpFloatingPointer {
  std::uint32_t tableAddress = 0;
  std::uint8_t feature1 = 0;
};

MpFloatingPointer ReadMpFloatingPointer(std::span<const std::uint8_t, kMpPointerLength> pointer);

// The base table length that a configuration table header declares, when the header begins
// "PCMP" and the length covers at least the header; nothing otherwise.
std::optional<std::uint16_t> ReadMpTableLength(std::span<const std::uint8_t> header);

// The enabled processor entries of a base configuration table, given as exactly the bytes its
// length declares: nothing when the signature, the length or the 8-bit sum (0 over the whole
// base table) is wrong. The walk visits at most the declared number of entries and ends early
// at an entry of unknown type or one that would run past the base table.
std::optional<std::int32_t> CountMpProcessors(std::span<const std::uint8_t> table);

// A zero-filled byte buffer whose allocation cannot throw: when memory is short it holds
// nothing and Allocated() is false.
class ZeroedBuffer {
 public:
  ZeroedBuffer() = default;
  explicit ZeroedBuffer(std::size_t size);
  bool Allocated() const { return bytes_ != nullptr; }
  std::span<std::uint8_t> Bytes() { return {bytes_.get(), bytes_ ? size_ : 0}; }
  std::span<const std::uint8_t> Bytes() const { return {bytes_.get(), bytes_ ? size_ : 0}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

// A zero-filled buffer that physical memory is read into. It is locked in memory from its
// allocation until it is released, and unlocked before it is freed, so that it stays locked
// through the read and every scan of it.
class LockedBuffer {
 public:
  LockedBuffer(platform::PhysicalMemory& memory, std::size_t size);
  ~LockedBuffer();
  LockedBuffer(const LockedBuffer&) = delete;
  LockedBuffer& operator=(const LockedBuffer&) = delete;

  bool Allocated() const { return buffer_.Allocated(); }
  // Reads the buffer's size of bytes from the address; false when the read failed (the
  // buffer then keeps its zeros) or the buffer could not be allocated. A buffer of size 0
  // reads successfully without asking the platform.
  bool Read(std::uint32_t physicalAddress);
  std::span<const std::uint8_t> Bytes() const { return buffer_.Bytes(); }

 private:
  platform::PhysicalMemory& memory_;
  ZeroedBuffer buffer_;
};

}  // namespace firmware

// The "!SIT" table of the BIOS area. Constructing it reads 65,535 bytes from 0xF0000 and
// looks for the signature; a failed allocation or read means the table is not found.
class SitTableReader {
 public:
  explicit SitTableReader(platform::PhysicalMemory& memory);

  bool Found() const { return found_; }
  // The position in the image of the first record of the type, or nothing. Each type is
  // walked for once; later lookups come from the cache.
  std::optional<std::size_t> FindRecord(std::uint8_t type);
  // The slots in use of the type-13 record; 0 without one.
  std::int32_t CountProcessors();
  // The APIC bit of the type-192 record; false without one.
  bool ApicPresent();

 private:
  struct CachedLookup {
    std::uint8_t type = 0;
    std::optional<std::size_t> position;
  };

  firmware::LockedBuffer image_;
  bool found_ = false;
  std::size_t firstRecord_ = 0;
  // Lookups in the order their types were first asked for; at most one per type value.
  std::array<CachedLookup, 256> cache_{};
  std::size_t cached_ = 0;
};

// The SMBIOS entry point in the BIOS area and the structure table it points to.
class SmbiosTableReader {
 public:
  explicit SmbiosTableReader(platform::PhysicalMemory& memory);

  bool Available() const { return available_; }
  // The populated processor sockets of the structure table; 0 when not available.
  std::int32_t CountProcessors() const;
  // The enabled cores of the populated sockets where the entry point is of version 2.5 or
  // later; 0 otherwise.
  std::int32_t CountEnabledCores() const;

 private:
  firmware::LockedBuffer image_;
  std::array<std::uint8_t, firmware::kSmbiosEntryPointCopyLength> entryPoint_{};
  std::optional<firmware::LockedBuffer> table_;
  std::uint16_t structureCount_ = 0;
  bool available_ = false;
};

// The first valid MP floating pointer in the first KiB of the extended BIOS data area or,
// failing that, in the 64 KiB from 0xF0000; nothing when there is none.
std::optional<std::array<std::uint8_t, firmware::kMpPointerLength>> SearchMpFloatingPointer(
    platform::PhysicalMemory& memory);

// Whether a valid MP floating pointer lies in either area.
bool FindMpFloatingPointer(platform::PhysicalMemory& memory);

// What the MP floating pointer and the configuration it describes say.
struct MpConfiguration {
  bool pointerFound = false;
  // The enabled processor entries of a valid configuration table, or 2 for a default
  // configuration; nothing when there is no pointer, the table is not valid or lists no
  // enabled processor (the processor running this program is one), or feature byte 1 holds
  // a value the standard does not define.
  std::optional<std::int32_t> processors;
};

// Searches for the floating pointer and, where it leads to a configuration table, reads the
// table's header and then its base table from physical memory.
MpConfiguration ReadMpConfiguration(platform::PhysicalMemory& memory);

// The processor count and APIC flag: from the "!SIT" table when it is found; else the count
// from the MP configuration where it gives one, otherwise from SMBIOS, with the APIC flag
// from the MP floating pointer when SMBIOS is available; else 0 and false. Never fails.
FirmwareProcessorInfo ReadFirmwareProcessorInfo(platform::PhysicalMemory& memory);

}  // namespace halshift::inspect
