// Firmware tables in physical memory: scanning, record and structure walks, and the readers
// that fetch the bytes.
#include "inspect/firmware.h"

#include <cstring>

#include <algorithm>
#include <new>

#include "base/byte_cursor.h"
#include "base/text.h"

namespace halshift::inspect {
namespace firmware {
namespace {

constexpr std::array<std::uint8_t, kSitSignatureLength> kSitSignature = {'!', 'S', 'I', 'T'};
constexpr std::array<std::uint8_t, kSmbiosAnchorLength> kSmbiosAnchor = {'_', 'S', 'M', '_'};
constexpr std::array<std::uint8_t, 4> kMpSignature = {'_', 'M', 'P', '_'};
constexpr std::array<std::uint8_t, 4> kMpTableSignature = {'P', 'C', 'M', 'P'};

// The byte at position, or 0 past the end: the "!SIT" walks treat the image as if zeros
// followed it.
std::uint8_t ByteOrZero(std::span<const std::uint8_t> bytes, std::size_t position) {
  return position < bytes.size() ? bytes[position] : 0;
}

// The 8-bit sum of the bytes.
std::uint8_t Sum8(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum);
}

// Four bytes as one word in the machine's own byte order; only compared with another word read
// the same way.
std::uint32_t Word(const std::uint8_t* bytes) {
  std::uint32_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The first offset, at a 16-byte step from the start, where a candidate of `length` bytes fits,
// begins with the signature and is taken by accept. Most of an image holds no signature at
// all, so whole blocks of candidates are first tested for it together, in a loop without an
// early exit that the compiler turns into vector instructions.
template <typename Accept>
std::optional<std::size_t> FindParagraph(std::span<const std::uint8_t> bytes,
                                         const std::array<std::uint8_t, 4>& signature,
                                         std::size_t length, Accept accept) {
  constexpr std::size_t kParagraph = 16;
  constexpr std::size_t kBlock = 64;  // paragraphs tested together
  static_assert(kSmbiosAnchorStep == kParagraph && kMpPointerStep == kParagraph);
  if (bytes.size() < length) return std::nullopt;
  const std::size_t last = bytes.size() - length;
  const std::uint32_t wanted = Word(signature.data());
  const std::uint8_t* const data = bytes.data();
  std::size_t offset = 0;
  while (offset <= last) {
    if (offset + (kBlock - 1) * kParagraph + signature.size() <= bytes.size()) {
      unsigned seen = 0;
      for (std::size_t k = 0; k < kBlock; ++k) {
        seen |= Word(data + offset + k * kParagraph) == wanted;
      }
      if (seen == 0) {
        offset += kBlock * kParagraph;
        continue;
      }
    }
    const std::size_t blockEnd = offset + kBlock * kParagraph;
    for (; offset <= last && offset < blockEnd; offset += kParagraph) {
      if (Word(data + offset) == wanted && accept(bytes.subspan(offset))) return offset;
    }
  }
  return std::nullopt;
}

}  // namespace

ZeroedBuffer::ZeroedBuffer(std::size_t size)
    : bytes_(new (std::nothrow) std::uint8_t[size]()), size_(size) {}

std::optional<std::size_t> FindSitTable(std::span<const std::uint8_t> image) {
  if (image.size() < kSitSignatureLength) return std::nullopt;
  const std::size_t lastOffset = image.size() - kSitSignatureLength;
  // '!' has no other case, so each candidate starts at the next '!' byte.
  const auto* const begin = image.data();
  const auto* const end = begin + lastOffset + 1;
  const auto nextCandidate = [end](const std::uint8_t* from) {
    const void* hit = std::memchr(from, kSitSignature[0], static_cast<std::size_t>(end - from));
    return hit == nullptr ? end : static_cast<const std::uint8_t*>(hit);
  };
  for (const auto* at = nextCandidate(begin); at != end; at = nextCandidate(at + 1)) {
    const std::size_t offset = static_cast<std::size_t>(at - begin);
    bool match = true;
    for (std::size_t i = 1; i < kSitSignatureLength && match; ++i) {
      match = text::UpperAscii(static_cast<char>(image[offset + i])) ==
              static_cast<char>(kSitSignature[i]);
    }
    if (match) return offset + kSitSignatureLength;
  }
  return std::nullopt;
}

std::optional<std::size_t> FindSitRecord(std::span<const std::uint8_t> image,
                                         std::size_t firstRecord, std::uint8_t type) {
  // Every step moves at least two bytes on, and past the end every byte reads as type 0, so
  // the walk ends within (image size / 2) + 1 steps.
  std::size_t position = firstRecord;
  for (;;) {
    const std::uint8_t recordType = ByteOrZero(image, position + kSitRecordType);
    if (recordType == kSitEndType) return std::nullopt;
    if (recordType == type) return position;
    position += kSitRecordData + ByteOrZero(image, position + kSitRecordLength);
  }
}

std::int32_t CountSitProcessorSlots(std::span<const std::uint8_t> image, std::size_t position) {
  std::array<std::uint8_t, kSitProcessorRecordSize> record{};
  const std::size_t recordSize =
      std::min<std::size_t>(kSitRecordData + ByteOrZero(image, position + kSitRecordLength),
                            kSitProcessorRecordSize);
  for (std::size_t i = 0; i < recordSize; ++i) record[i] = ByteOrZero(image, position + i);

  std::int32_t slotsInUse = 0;
  for (std::size_t slot = 0; slot < kSitSlotCount; ++slot) {
    const std::size_t start = kSitRecordData + kSitSlotSize * slot;
    if (record[start] != 0 || record[start + 1] != 0) ++slotsInUse;
  }
  return slotsInUse;
}

bool ReadSitApicFlag(std::span<const std::uint8_t> image, std::size_t position) {
  if (ByteOrZero(image, position + kSitRecordLength) == 0) return false;
  return (ByteOrZero(image, position + kSitRecordData) & kSitApicBit) != 0;
}

std::optional<std::size_t> FindSmbiosEntryPoint(std::span<const std::uint8_t> image) {
  return FindParagraph(image, kSmbiosAnchor, kSmbiosAnchorLength, [](auto candidate) {
    // An entry point cut off by the end of the image cannot be checked or copied whole.
    if (candidate.size() < kSmbiosEntryPointCopyLength) return false;
    const std::size_t checksumLength = candidate[kSmbiosEntryPointLength];
    if (checksumLength > candidate.size()) return false;
    if (Sum8(candidate.first(checksumLength)) != 0) return false;
    const unsigned version =
        candidate[kSmbiosMajorVersion] * 256u + candidate[kSmbiosMinorVersion];
    return version >= kSmbiosMinimumVersion;
  });
}

SmbiosStructureTable ReadSmbiosStructureTable(
    std::span<const std::uint8_t, kSmbiosEntryPointCopyLength> entryPoint) {
  SmbiosStructureTable table;
  table.length = ByteCursor(entryPoint, kSmbiosTableLength).U16();
  table.address = ByteCursor(entryPoint, kSmbiosTableAddress).U32();
  table.structureCount = ByteCursor(entryPoint, kSmbiosStructureCount).U16();
  return table;
}

namespace {

// Calls visit(structure) for each of the first structureCount structures of the table, with
// the structure's bytes from its type byte to the end of the table. A walk that would leave
// the table before it has visited them all stops there.
template <typename Visit>
void WalkSmbiosStructures(std::span<const std::uint8_t> table, std::uint16_t structureCount,
                          Visit visit) {
  std::size_t position = 0;
  for (unsigned visited = 0; visited < structureCount; ++visited) {
    // The type and formatted length must both lie in the table.
    if (position + kSmbiosStructureLength >= table.size()) break;
    visit(table.subspan(position));
    position += table[position + kSmbiosStructureLength];
    // The strings end at the first pair of zero bytes from the end of the formatted area.
    while (position + 1 < table.size() && (table[position] != 0 || table[position + 1] != 0)) {
      ++position;
    }
    if (position + 1 >= table.size()) break;
    position += 2;
  }
}

// A type-4 structure whose Status byte lies in the table and marks the socket populated.
bool IsPopulatedSocket(std::span<const std::uint8_t> structure) {
  return structure[kSmbiosStructureType] == kSmbiosProcessorType &&
         kSmbiosProcessorStatus < structure.size() &&
         (structure[kSmbiosProcessorStatus] & kSmbiosSocketPopulated) != 0;
}

}  // namespace

std::int32_t CountSmbiosProcessors(std::span<const std::uint8_t> table, std::uint16_t structureCount) {
  std::int32_t processors = 0;
  WalkSmbiosStructures(table, structureCount, [&](auto structure) {
    if (IsPopulatedSocket(structure)) ++processors;
  });
  return processors;
}

std::int32_t CountSmbiosEnabledCores(std::span<const std::uint8_t> table, std::uint16_t structureCount) {
  std::int32_t cores = 0;
  WalkSmbiosStructures(table, structureCount, [&](auto structure) {
    // The field must lie in the formatted area (its length counts from the type byte), not
    // merely in the table, where it would be a string's byte.
    if (IsPopulatedSocket(structure) &&
        structure[kSmbiosStructureLength] > kSmbiosProcessorCoresEnabled &&
        kSmbiosProcessorCoresEnabled < structure.size()) {
      cores += structure[kSmbiosProcessorCoresEnabled];
    }
  });
  return cores;
}

std::optional<std::size_t> FindMpPointerInArea(std::span<const std::uint8_t> area) {
  return FindParagraph(area, kMpSignature, kMpPointerLength, [](auto candidate) {
    return Sum8(candidate.first(kMpPointerLength)) == 0;
  });
}

bool ContainsMpFloatingPointer(std::span<const std::uint8_t> area) {
  return FindMpPointerInArea(area).has_value();
}

MpFloatingPointer ReadMpFloatingPointer(std::span<const std::uint8_t, kMpPointerLength> pointer) {
  return {ByteCursor(pointer, kMpPointerTableAddress).U32(), pointer[kMpPointerFeature1]};
}

std::optional<std::uint16_t> ReadMpTableLength(std::span<const std::uint8_t> header) {
  if (header.size() < kMpTableHeaderLength ||
      !std::equal(kMpTableSignature.begin(), kMpTableSignature.end(), header.begin())) {
    return std::nullopt;
  }
  const std::uint16_t length = ByteCursor(header, kMpTableBaseLength).U16();
  if (length < kMpTableHeaderLength) return std::nullopt;
  return length;
}

std::optional<std::int32_t> CountMpProcessors(std::span<const std::uint8_t> table) {
  const auto length = ReadMpTableLength(table);
  if (!length || *length != table.size() || Sum8(table) != 0) return std::nullopt;

  const unsigned entryCount = ByteCursor(table, kMpTableEntryCount).U16();
  std::int32_t enabled = 0;
  std::size_t position = kMpTableHeaderLength;
  for (unsigned visited = 0; visited < entryCount && position < table.size(); ++visited) {
    const std::uint8_t type = table[position];
    if (type > kMpLastKnownEntryType) break;
    const std::size_t entryLength =
        type == kMpProcessorEntryType ? kMpProcessorEntryLength : kMpOtherEntryLength;
    if (entryLength > table.size() - position) break;
    if (type == kMpProcessorEntryType &&
        (table[position + kMpProcessorFlags] & kMpProcessorEnabled) != 0) {
      ++enabled;
    }
    position += entryLength;
  }
  return enabled;
}

LockedBuffer::LockedBuffer(platform::PhysicalMemory& memory, std::size_t size)
    : memory_(memory), buffer_(size) {
  if (buffer_.Allocated()) memory_.Lock(buffer_.Bytes());
}

LockedBuffer::~LockedBuffer() {
  if (buffer_.Allocated()) memory_.Unlock(buffer_.Bytes());
}

bool LockedBuffer::Read(std::uint32_t physicalAddress) {
  if (!buffer_.Allocated()) return false;
  if (buffer_.Bytes().empty()) return true;  // nothing to copy: the platform is not asked
  return memory_.ReadPhysical(physicalAddress, buffer_.Bytes());
}

}  // namespace firmware

SitTableReader::SitTableReader(platform::PhysicalMemory& memory)
    : image_(memory, firmware::kSitImageLength) {
  if (!image_.Read(firmware::kBiosAreaAddress)) return;
  if (const auto first = firmware::FindSitTable(image_.Bytes())) {
    found_ = true;
    firstRecord_ = *first;
  }
}

std::optional<std::size_t> SitTableReader::FindRecord(std::uint8_t type) {
  if (!found_) return std::nullopt;
  for (std::size_t i = 0; i < cached_; ++i) {
    if (cache_[i].type == type) return cache_[i].position;
  }
  const auto position = firmware::FindSitRecord(image_.Bytes(), firstRecord_, type);
  // The cache has one place for every value of the type byte, so it never runs full.
  cache_[cached_++] = CachedLookup{type, position};
  return position;
}

std::int32_t SitTableReader::CountProcessors() {
  const auto record = FindRecord(firmware::kSitProcessorSlotsType);
  return record ? firmware::CountSitProcessorSlots(image_.Bytes(), *record) : 0;
}

bool SitTableReader::ApicPresent() {
  const auto record = FindRecord(firmware::kSitApicType);
  return record ? firmware::ReadSitApicFlag(image_.Bytes(), *record) : false;
}

SmbiosTableReader::SmbiosTableReader(platform::PhysicalMemory& memory)
    : image_(memory, firmware::kSmbiosImageLength) {
  if (!image_.Allocated()) return;
  // The outcome of this read is not needed: a failed read leaves zeros, which hold no anchor.
  image_.Read(firmware::kBiosAreaAddress);
  const auto entryPoint = firmware::FindSmbiosEntryPoint(image_.Bytes());
  if (!entryPoint) return;
  std::copy_n(image_.Bytes().begin() + static_cast<std::ptrdiff_t>(*entryPoint),
              entryPoint_.size(), entryPoint_.begin());

  const auto table = firmware::ReadSmbiosStructureTable(entryPoint_);
  table_.emplace(memory, table.length);
  if (!table_->Allocated()) return;
  // Available even when the table cannot be read: it is then all zeros and counts nothing.
  table_->Read(table.address);
  structureCount_ = table.structureCount;
  available_ = true;
}

std::int32_t SmbiosTableReader::CountProcessors() const {
  if (!available_) return 0;
  return firmware::CountSmbiosProcessors(table_->Bytes(), structureCount_);
}

std::int32_t SmbiosTableReader::CountEnabledCores() const {
  if (!available_) return 0;
  const unsigned version = entryPoint_[firmware::kSmbiosMajorVersion] * 256u +
                           entryPoint_[firmware::kSmbiosMinorVersion];
  if (version < firmware::kSmbiosCoresVersion) return 0;
  return firmware::CountSmbiosEnabledCores(table_->Bytes(), structureCount_);
}

std::optional<std::array<std::uint8_t, firmware::kMpPointerLength>> SearchMpFloatingPointer(
    platform::PhysicalMemory& memory) {
  std::array<std::uint8_t, 2> segmentWord{};  // stays 0 when the read fails
  memory.ReadPhysical(firmware::kEbdaSegmentAddress, segmentWord);
  const std::uint32_t ebdaAddress = std::uint32_t{ByteCursor(segmentWord).U16()} * 16u;

  const auto pointerIn = [](const firmware::LockedBuffer& area)
      -> std::optional<std::array<std::uint8_t, firmware::kMpPointerLength>> {
    const auto offset = firmware::FindMpPointerInArea(area.Bytes());
    if (!offset) return std::nullopt;
    std::array<std::uint8_t, firmware::kMpPointerLength> pointer{};
    std::copy_n(area.Bytes().begin() + static_cast<std::ptrdiff_t>(*offset), pointer.size(),
                pointer.begin());
    return pointer;
  };
  {
    firmware::LockedBuffer ebda(memory, firmware::kEbdaSearchLength);
    if (ebda.Read(ebdaAddress)) {
      if (auto pointer = pointerIn(ebda)) return pointer;
    }
  }
  firmware::LockedBuffer bios(memory, firmware::kBiosSearchLength);
  if (!bios.Read(firmware::kBiosAreaAddress)) return std::nullopt;
  return pointerIn(bios);
}

bool FindMpFloatingPointer(platform::PhysicalMemory& memory) {
  return SearchMpFloatingPointer(memory).has_value();
}

MpConfiguration ReadMpConfiguration(platform::PhysicalMemory& memory) {
  MpConfiguration configuration;
  const auto found = SearchMpFloatingPointer(memory);
  if (!found) return configuration;
  configuration.pointerFound = true;

  const firmware::MpFloatingPointer pointer = firmware::ReadMpFloatingPointer(*found);
  if (pointer.feature1 != 0) {
    if (pointer.feature1 <= firmware::kMpLastDefaultConfiguration) {
      configuration.processors = firmware::kMpDefaultConfigurationProcessors;
    }
    return configuration;
  }
  std::optional<std::uint16_t> length;
  {
    firmware::LockedBuffer header(memory, firmware::kMpTableHeaderLength);
    if (!header.Read(pointer.tableAddress)) return configuration;
    length = firmware::ReadMpTableLength(header.Bytes());
  }
  // A table that would run past the 32-bit physical address space is not one.
  if (!length || pointer.tableAddress > 0xFFFFFFFFu - (*length - 1u)) return configuration;
  firmware::LockedBuffer table(memory, *length);
  if (!table.Read(pointer.tableAddress)) return configuration;
  const auto enabled = firmware::CountMpProcessors(table.Bytes());
  if (enabled && *enabled > 0) configuration.processors = enabled;
  return configuration;
}

FirmwareProcessorInfo ReadFirmwareProcessorInfo(platform::PhysicalMemory& memory) {
  // Both scans always run, "!SIT" first.
  SitTableReader sit(memory);
  const SmbiosTableReader smbios(memory);

  FirmwareProcessorInfo info;
  if (sit.Found()) {
    // A "!SIT" table decides alone, even when it has no processor record.
    info.installedProcessors = sit.CountProcessors();
    info.apicPresent = sit.ApicPresent();
    return info;
  }
  const MpConfiguration mp = ReadMpConfiguration(memory);
  // The multiprocessor HAL starts the processors the MP configuration lists, however many
  // sockets or cores SMBIOS describes.
  if (mp.processors) {
    info.installedProcessors = *mp.processors;
    info.smbiosEnabledCores = smbios.CountEnabledCores();
  } else if (smbios.Available()) {
    info.installedProcessors = smbios.CountProcessors();
  }
  // The APIC flag follows the floating pointer only where SMBIOS is available, as it always has.
  if (smbios.Available()) info.apicPresent = mp.pointerFound;
  return info;
}

}  // namespace halshift::inspect
