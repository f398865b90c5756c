// The PE file reader: headers, image checksum and version resource, bounded by the file.
#include "inspect/pe_file.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/text.h"

namespace halshift::pe {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint32_t kWordMask = 0xFFFF;
constexpr std::string_view kVersionInfoKey = "VS_VERSION_INFO";
constexpr std::string_view kStringFileInfoKey = "StringFileInfo";
constexpr std::string_view kOriginalFilenameKey = "OriginalFilename";

std::uint64_t AlignBlock(std::uint64_t position) {
  return (position + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
}

// Where the NT headers start and which optional header format they use, as far as both can
// be read: the part that the checksum and the rest of the headers depend on.
struct NtHeaders {
  PeFault fault = PeFault::kNone;
  std::uint64_t start = 0;
  std::uint16_t numberOfSections = 0;
  std::uint16_t sizeOfOptionalHeader = 0;
  bool pe32Plus = false;
};

NtHeaders FindNtHeaders(Bytes file) {
  NtHeaders nt;
  ByteCursor cursor(file);
  if (cursor.U16() != kDosMagic || !cursor.Ok()) {
    nt.fault = PeFault::kNotPe;
    return nt;
  }
  cursor.Seek(kDosNewHeaderOffset);
  nt.start = cursor.U32();
  if (!cursor.Ok()) {
    nt.fault = PeFault::kTruncatedHeaders;
    return nt;
  }
  cursor.Seek(nt.start);
  if (cursor.U32() != kPeSignature || !cursor.Ok()) {
    nt.fault = PeFault::kNotPe;
    return nt;
  }
  cursor.Seek(nt.start + kCoffHeaderOffset + kCoffNumberOfSections);
  nt.numberOfSections = cursor.U16();
  cursor.Seek(nt.start + kCoffHeaderOffset + kCoffSizeOfOptionalHeader);
  nt.sizeOfOptionalHeader = cursor.U16();
  cursor.Seek(nt.start + kOptionalHeaderOffset + kOptionalMagic);
  const std::uint16_t magic = cursor.U16();
  if (!cursor.Ok()) {
    nt.fault = PeFault::kTruncatedHeaders;
  } else if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    nt.fault = PeFault::kBadOptionalHeader;
  } else if (nt.sizeOfOptionalHeader < kOptionalCheckSum + sizeof(std::uint32_t)) {
    nt.fault = PeFault::kBadOptionalHeader;
  }
  nt.pe32Plus = magic == kPe32PlusMagic;
  return nt;
}

// The bytes from rva to the end of the raw data of the section that holds it (never past the
// end of the file); nothing when no section holds it in its raw data.
std::optional<Bytes> MapRvaToEnd(Bytes file, const PeHeaders& headers, std::uint32_t rva) {
  for (const Section& section : headers.sections) {
    const std::uint64_t extent = section.virtualSize != 0 ? section.virtualSize : section.rawSize;
    if (rva < section.virtualAddress || rva - section.virtualAddress >= extent) continue;
    // The first section that claims the address decides.
    const std::uint64_t delta = rva - section.virtualAddress;
    if (delta >= section.rawSize || section.rawOffset >= file.size()) return std::nullopt;
    const std::uint64_t rawEnd =
        std::min<std::uint64_t>(std::uint64_t{section.rawOffset} + section.rawSize, file.size());
    const std::uint64_t begin = std::uint64_t{section.rawOffset} + delta;
    if (begin >= rawEnd) return std::nullopt;
    return file.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(rawEnd - begin));
  }
  return std::nullopt;
}

// One block of a version resource, positions relative to the resource's first byte (which
// the alignment of the parts is counted from).
struct Block {
  std::uint64_t end = 0;
  std::uint16_t valueLength = 0;
  std::string key;
  std::uint64_t valueStart = 0;
};

// UTF-16 text read up to its zero unit.
struct Utf16Text {
  std::string text;         // units above 0x7F become '?'
  bool terminated = false;  // a zero unit ended it (rather than the limit)
  std::uint64_t end = 0;    // the position after the zero unit
};

Utf16Text ReadUtf16(Bytes bytes, std::uint64_t position, std::uint64_t limit) {
  Utf16Text result;
  ByteCursor cursor(
      bytes.first(static_cast<std::size_t>(std::min<std::uint64_t>(limit, bytes.size()))));
  cursor.Seek(position);
  while (true) {
    const std::uint16_t unit = cursor.U16();
    if (!cursor.Ok()) break;
    if (unit == 0) {
      result.terminated = true;
      result.end = cursor.Position();
      break;
    }
    result.text += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return result;
}

// The block at position, which must lie wholly before limit and hold its whole key.
std::optional<Block> ReadBlock(Bytes bytes, std::uint64_t position, std::uint64_t limit) {
  ByteCursor cursor(bytes);
  cursor.Seek(position + kBlockLength);
  const std::uint16_t length = cursor.U16();
  cursor.Seek(position + kBlockValueLength);
  const std::uint16_t valueLength = cursor.U16();
  if (!cursor.Ok() || length < kBlockKey || position + length > limit) return std::nullopt;
  Block block;
  block.end = position + length;
  block.valueLength = valueLength;
  Utf16Text key = ReadUtf16(bytes, position + kBlockKey, block.end);
  if (!key.terminated) return std::nullopt;
  block.key = std::move(key.text);
  block.valueStart = AlignBlock(key.end);
  return block;
}

// Calls visit for each child of the block whose children begin at start; false when a child
// does not fit inside the block.
template <typename Visit>
bool ForEachChild(Bytes bytes, const Block& parent, std::uint64_t start, Visit visit) {
  std::uint64_t position = AlignBlock(start);
  while (position < parent.end) {
    const auto child = ReadBlock(bytes, position, parent.end);
    if (!child) return false;
    if (!visit(*child)) return false;
    // A child is at least six bytes long, so every step moves on.
    position = AlignBlock(child->end);
  }
  return true;
}

VersionResource Damaged(PeFault fault) {
  VersionResource result;
  result.state = VersionState::kDamaged;
  result.fault = fault;
  return result;
}

VersionResource Absent() { return VersionResource{}; }

// The directory table at offset of the resource view: its entries' first position and count.
struct DirectoryTable {
  std::uint64_t firstEntry = 0;
  std::uint32_t entryCount = 0;
};

std::optional<DirectoryTable> ReadDirectoryTable(Bytes resources, std::uint64_t offset) {
  ByteCursor cursor(resources);
  cursor.Seek(offset + kResourceNamedEntries);
  const std::uint16_t named = cursor.U16();
  const std::uint16_t ids = cursor.U16();
  DirectoryTable table{offset + kResourceDirectoryHeaderSize, std::uint32_t{named} + ids};
  // Every entry the table declares must be there.
  cursor.Seek(table.firstEntry + std::uint64_t{table.entryCount} * kResourceEntrySize);
  if (!cursor.Ok()) return std::nullopt;
  return table;
}

struct DirectoryEntry {
  std::uint32_t name = 0;
  std::uint32_t offset = 0;
};

DirectoryEntry ReadDirectoryEntry(Bytes resources, const DirectoryTable& table,
                                  std::uint32_t index) {
  ByteCursor cursor(resources);
  cursor.Seek(table.firstEntry + std::uint64_t{index} * kResourceEntrySize);
  DirectoryEntry entry;
  entry.name = cursor.U32();
  entry.offset = cursor.U32();
  return entry;
}

}  // namespace

PeHeadersRead ReadPeHeaders(std::span<const std::uint8_t> file) {
  PeHeadersRead read;
  const NtHeaders nt = FindNtHeaders(file);
  if (nt.fault != PeFault::kNone) {
    read.fault = nt.fault;
    return read;
  }
  PeHeaders& headers = read.headers;
  headers.pe32Plus = nt.pe32Plus;
  const std::uint64_t optional = nt.start + kOptionalHeaderOffset;
  ByteCursor cursor(file);
  cursor.Seek(optional + kOptionalCheckSum);
  headers.checkSumOffset = cursor.Position();
  headers.headerCheckSum = cursor.U32();
  cursor.Seek(optional + kOptionalSizeOfHeaders);
  headers.sizeOfHeaders = cursor.U32();

  // The resource directory, when the header has room for it and declares it.
  const std::size_t countField =
      nt.pe32Plus ? kPe32PlusNumberOfRvaAndSizes : kPe32NumberOfRvaAndSizes;
  const std::size_t directories = nt.pe32Plus ? kPe32PlusDataDirectories : kPe32DataDirectories;
  const std::size_t resourceField = directories + kResourceDirectoryIndex * kDataDirectorySize;
  if (nt.sizeOfOptionalHeader >= resourceField + kDataDirectorySize) {
    cursor.Seek(optional + countField);
    if (cursor.U32() > kResourceDirectoryIndex) {
      cursor.Seek(optional + resourceField);
      headers.resourceRva = cursor.U32();
      headers.resourceSize = cursor.U32();
    }
  }

  cursor.Seek(optional + nt.sizeOfOptionalHeader);
  for (std::uint16_t i = 0; i < nt.numberOfSections && cursor.Ok(); ++i) {
    const std::uint64_t start = cursor.Position();
    Section section;
    cursor.Seek(start + kSectionVirtualSize);
    section.virtualSize = cursor.U32();
    section.virtualAddress = cursor.U32();
    section.rawSize = cursor.U32();
    section.rawOffset = cursor.U32();
    cursor.Seek(start + kSectionHeaderSize);
    headers.sections.push_back(section);
  }
  if (!cursor.Ok()) {
    read.fault = PeFault::kTruncatedHeaders;
    read.headers = PeHeaders{};
  }
  return read;
}

ImageCheck CheckWholeImage(std::span<const std::uint8_t> file) {
  ImageCheck check;
  const NtHeaders nt = FindNtHeaders(file);
  const PeHeadersRead read = ReadPeHeaders(file);
  if (nt.fault == PeFault::kNone) {
    // Within the NT headers that FindNtHeaders read.
    ByteCursor cursor(file, static_cast<std::size_t>(nt.start + kCoffHeaderOffset + kCoffMachine));
    check.machine = cursor.U16();
    if (check.machine != kMachineI386 || nt.pe32Plus) {
      check.fault = ImageFault::kOtherMachine;
      return check;
    }
  }
  if (read.fault == PeFault::kTruncatedHeaders) {
    check.fault = ImageFault::kCutOff;
    // As much as the headers that could be read describe: the DOS header, or the NT headers
    // with the section table.
    check.requiredSize =
        nt.fault != PeFault::kNone
            ? (file.size() < kDosHeaderSize ? kDosHeaderSize
                                            : nt.start + kOptionalHeaderOffset + sizeof(std::uint16_t))
            : nt.start + kOptionalHeaderOffset + nt.sizeOfOptionalHeader +
                  std::uint64_t{nt.numberOfSections} * kSectionHeaderSize;
    return check;
  }
  if (read.fault != PeFault::kNone) {
    check.fault = ImageFault::kNotPe;
    return check;
  }
  const PeHeaders& headers = read.headers;
  check.requiredSize = headers.sizeOfHeaders;
  for (const Section& section : headers.sections) {
    // A section without raw data (uninitialised data) takes nothing from the file.
    if (section.rawSize == 0) continue;
    check.requiredSize = std::max(check.requiredSize,
                                  std::uint64_t{section.rawOffset} + section.rawSize);
  }
  if (check.requiredSize > file.size()) check.fault = ImageFault::kCutOff;
  return check;
}

std::optional<std::span<const std::uint8_t>> MapRva(std::span<const std::uint8_t> file,
                                                    const PeHeaders& headers, std::uint32_t rva,
                                                    std::uint32_t size) {
  const auto available = MapRvaToEnd(file, headers, rva);
  if (!available || available->size() < size) return std::nullopt;
  return available->first(size);
}

std::uint32_t ComputeCheckSum(std::span<const std::uint8_t> file,
                              std::optional<std::size_t> checkSumOffset) {
  const auto byteAt = [&](std::size_t i) -> std::uint32_t {
    const bool inField =
        checkSumOffset && i >= *checkSumOffset && i - *checkSumOffset < sizeof(std::uint32_t);
    return inField ? 0 : file[i];
  };
  std::uint32_t sum = 0;
  const auto add = [&sum](std::uint32_t word) {
    sum += word;
    sum = (sum & kWordMask) + (sum >> 16);
  };
  const std::size_t size = file.size();
  for (std::size_t i = 0; i + 1 < size; i += 2) add(byteAt(i) | (byteAt(i + 1) << 8));
  if (size % 2 != 0) add(byteAt(size - 1));
  return (sum & kWordMask) + static_cast<std::uint32_t>(size);
}

std::uint32_t ComputeFileCheckSum(std::span<const std::uint8_t> file) {
  const NtHeaders nt = FindNtHeaders(file);
  std::optional<std::size_t> offset;
  if (nt.fault == PeFault::kNone) {
    const std::uint64_t field = nt.start + kOptionalHeaderOffset + kOptionalCheckSum;
    if (field + sizeof(std::uint32_t) <= file.size()) offset = static_cast<std::size_t>(field);
  }
  return ComputeCheckSum(file, offset);
}

FileVersion FileVersion::FromWords(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
  return FileVersion{static_cast<std::uint16_t>(mostSignificant >> 16),
                     static_cast<std::uint16_t>(mostSignificant & kWordMask),
                     static_cast<std::uint16_t>(leastSignificant >> 16),
                     static_cast<std::uint16_t>(leastSignificant & kWordMask)};
}

std::string FileVersion::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
         std::to_string(revision);
}

VersionResource ParseVersionInfo(std::span<const std::uint8_t> versionInfo) {
  const auto root = ReadBlock(versionInfo, 0, versionInfo.size());
  if (!root || !text::EqualsIgnoreCase(root->key, kVersionInfoKey)) {
    return Damaged(PeFault::kBadVersionResource);
  }
  VersionResource result;
  result.state = VersionState::kPresent;
  if (root->valueLength != 0) {
    ByteCursor cursor(versionInfo.first(static_cast<std::size_t>(root->end)));
    cursor.Seek(root->valueStart);
    const std::uint32_t signature = cursor.U32();
    cursor.Seek(root->valueStart + kFixedInfoFileVersionMs);
    const std::uint32_t mostSignificant = cursor.U32();
    const std::uint32_t leastSignificant = cursor.U32();
    if (root->valueLength < kFixedInfoSize || signature != kFixedInfoSignature || !cursor.Ok()) {
      return Damaged(PeFault::kBadVersionResource);
    }
    result.fileVersion = FileVersion::FromWords(mostSignificant, leastSignificant);
  }

  bool firstTableSeen = false;
  const auto visitString = [&](const Block& string) {
    if (!result.originalFilename && text::EqualsIgnoreCase(string.key, kOriginalFilenameKey)) {
      result.originalFilename = ReadUtf16(versionInfo, string.valueStart, string.end).text;
    }
    return true;
  };
  const auto visitTable = [&](const Block& table) {
    if (firstTableSeen) return true;
    firstTableSeen = true;
    // A string table holds no value of its own: its strings start after its key.
    return ForEachChild(versionInfo, table, table.valueStart, visitString);
  };
  const auto visitRootChild = [&](const Block& child) {
    if (!text::EqualsIgnoreCase(child.key, kStringFileInfoKey)) return true;
    return ForEachChild(versionInfo, child, child.valueStart, visitTable);
  };
  const std::uint64_t children = root->valueStart + root->valueLength;
  if (!ForEachChild(versionInfo, *root, children, visitRootChild)) {
    return Damaged(PeFault::kBadVersionResource);
  }
  return result;
}

VersionResource ReadVersionResource(std::span<const std::uint8_t> file) {
  const PeHeadersRead read = ReadPeHeaders(file);
  if (read.fault != PeFault::kNone) return Damaged(read.fault);
  const PeHeaders& headers = read.headers;
  if (headers.resourceRva == 0 && headers.resourceSize == 0) return Absent();
  const auto mapped = MapRvaToEnd(file, headers, headers.resourceRva);
  if (!mapped) return Damaged(PeFault::kBadResourceDirectory);
  // Offsets in the tree are relative to the directory and stay inside its declared size.
  const Bytes resources =
      mapped->first(std::min<std::size_t>(mapped->size(), headers.resourceSize));

  // Type level: the RT_VERSION entry among all entries; below it the first entry of each level.
  auto table = ReadDirectoryTable(resources, 0);
  if (!table) return Damaged(PeFault::kBadResourceDirectory);
  std::optional<DirectoryEntry> entry;
  for (std::uint32_t i = 0; i < table->entryCount && !entry; ++i) {
    const DirectoryEntry candidate = ReadDirectoryEntry(resources, *table, i);
    if (candidate.name == kResourceTypeVersion) entry = candidate;
  }
  if (!entry) return Absent();
  for (int level = 1; level < kResourceLevels; ++level) {
    if ((entry->offset & kResourceIsDirectory) == 0) return Damaged(PeFault::kBadResourceDirectory);
    table = ReadDirectoryTable(resources, entry->offset & ~kResourceIsDirectory);
    if (!table) return Damaged(PeFault::kBadResourceDirectory);
    if (table->entryCount == 0) return Absent();
    entry = ReadDirectoryEntry(resources, *table, 0);
  }
  // The language level ends in a data entry; a directory here would nest the tree deeper
  // than its three levels, or lead back up it.
  if ((entry->offset & kResourceIsDirectory) != 0) return Damaged(PeFault::kBadResourceDirectory);
  ByteCursor cursor(resources);
  cursor.Seek(std::uint64_t{entry->offset} + kResourceDataRva);
  const std::uint32_t dataRva = cursor.U32();
  cursor.Seek(std::uint64_t{entry->offset} + kResourceDataSize);
  const std::uint32_t dataSize = cursor.U32();
  cursor.Seek(std::uint64_t{entry->offset} + kResourceDataEntrySize);
  if (!cursor.Ok()) return Damaged(PeFault::kBadResourceDirectory);
  const auto data = MapRva(file, headers, dataRva, dataSize);
  if (!data) return Damaged(PeFault::kBadResourceDirectory);
  return ParseVersionInfo(*data);
}

}  // namespace halshift::pe
