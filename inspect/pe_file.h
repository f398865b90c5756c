// A bounded reader of PE (Portable Executable) files held in memory: the headers, the image
// checksum as recorded and as computed over the file, and the version resource.
//
// Every function is a pure function of its byte span and never reads outside it. Structures
// are read field by field at named offsets, little-endian; nothing is cast over the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_cursor.h"

namespace halshift::pe {

// MS-DOS header.
inline constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"
inline constexpr std::size_t kDosHeaderSize = 0x40;
inline constexpr std::size_t kDosNewHeaderOffset = 0x3C;  // e_lfanew
// The NT headers: "PE\0\0", the COFF file header, the optional header.
inline constexpr std::uint32_t kPeSignature = 0x00004550;
inline constexpr std::size_t kCoffHeaderOffset = 4;
inline constexpr std::size_t kCoffMachine = 0;
inline constexpr std::size_t kCoffNumberOfSections = 2;
inline constexpr std::size_t kCoffSizeOfOptionalHeader = 16;
inline constexpr std::size_t kCoffHeaderSize = 20;
inline constexpr std::size_t kOptionalHeaderOffset = kCoffHeaderOffset + kCoffHeaderSize;
// Optional header, offsets from its start. The two formats agree up to the checksum.
inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::size_t kOptionalMagic = 0;
inline constexpr std::size_t kOptionalSizeOfHeaders = 60;
inline constexpr std::size_t kOptionalCheckSum = 64;
inline constexpr std::size_t kPe32NumberOfRvaAndSizes = 92;
inline constexpr std::size_t kPe32DataDirectories = 96;
inline constexpr std::size_t kPe32PlusNumberOfRvaAndSizes = 108;
inline constexpr std::size_t kPe32PlusDataDirectories = 112;
inline constexpr std::size_t kDataDirectorySize = 8;
inline constexpr std::uint32_t kResourceDirectoryIndex = 2;
// IMAGE_FILE_MACHINE_I386: the only processor whose files an Intel installation can start.
inline constexpr std::uint16_t kMachineI386 = 0x14C;
// Section table entries.
inline constexpr std::size_t kSectionHeaderSize = 40;
inline constexpr std::size_t kSectionVirtualSize = 8;
inline constexpr std::size_t kSectionVirtualAddress = 12;
inline constexpr std::size_t kSectionSizeOfRawData = 16;
inline constexpr std::size_t kSectionPointerToRawData = 20;

// Resource directory tables (IMAGE_RESOURCE_DIRECTORY) and their entries.
inline constexpr std::size_t kResourceNamedEntries = 12;
inline constexpr std::size_t kResourceIdEntries = 14;
inline constexpr std::size_t kResourceDirectoryHeaderSize = 16;
inline constexpr std::size_t kResourceEntrySize = 8;
inline constexpr std::size_t kResourceEntryName = 0;
inline constexpr std::size_t kResourceEntryOffset = 4;
inline constexpr std::uint32_t kResourceNameIsString = 0x80000000;
inline constexpr std::uint32_t kResourceIsDirectory = 0x80000000;
// Resource data entries (IMAGE_RESOURCE_DATA_ENTRY).
inline constexpr std::size_t kResourceDataRva = 0;
inline constexpr std::size_t kResourceDataSize = 4;
inline constexpr std::size_t kResourceDataEntrySize = 16;
inline constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
// Type, name, language: the levels of the tree. A subdirectory below the language level is
// damage (it is also what a directory that points back at an ancestor looks like).
inline constexpr int kResourceLevels = 3;

// Version resource blocks (VS_VERSIONINFO, StringFileInfo, StringTable, String): a header of
// three words, a zero-terminated UTF-16 key, padding to 32 bits, the value, padding, children.
inline constexpr std::size_t kBlockLength = 0;
inline constexpr std::size_t kBlockValueLength = 2;
inline constexpr std::size_t kBlockKey = 6;
inline constexpr std::size_t kBlockAlignment = 4;
// VS_FIXEDFILEINFO.
inline constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
inline constexpr std::size_t kFixedInfoFileVersionMs = 8;
inline constexpr std::size_t kFixedInfoFileVersionLs = 12;
inline constexpr std::size_t kFixedInfoSize = 52;

// Why a file could not be read as far as was asked.
enum class PeFault {
  kNone,
  kNotPe,                 // no "MZ" header, or no "PE\0\0" where it points
  kTruncatedHeaders,      // the NT headers or the section table run past the end of the file
  kBadOptionalHeader,     // neither PE32 nor PE32+, or too short to hold the checksum
  kBadResourceDirectory,  // an offset outside the resources or the file, or nesting too deep
  kBadVersionResource,    // the version resource's blocks do not fit inside each other
};

struct Section {
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
};

// What the headers say that the rest of the reader needs.
struct PeHeaders {
  bool pe32Plus = false;
  // SizeOfHeaders: the bytes from the file's start that the loader maps as the headers.
  std::uint32_t sizeOfHeaders = 0;
  // File offset of the optional header's CheckSum field, and the value it holds.
  std::size_t checkSumOffset = 0;
  std::uint32_t headerCheckSum = 0;
  // The resource directory's address and size; 0 and 0 when the file has none.
  std::uint32_t resourceRva = 0;
  std::uint32_t resourceSize = 0;
  std::vector<Section> sections;
};

struct PeHeadersRead {
  PeFault fault = PeFault::kNone;
  PeHeaders headers;  // meaningful only without a fault
};

PeHeadersRead ReadPeHeaders(std::span<const std::uint8_t> file);

// Whether a file is an image that an Intel installation of Windows NT can load: a PE image
// whose headers and every section's raw data lie inside the file, built for the i386.
enum class ImageFault {
  kNone,
  kNotPe,          // no PE image at all (a text, a compressed file, a DOS or 16-bit program)
  kCutOff,         // its headers or a section's raw data run past the end of the file
  kOtherMachine,   // built for another processor (Alpha, MIPS, PowerPC, ...) or as PE32+
};

struct ImageCheck {
  ImageFault fault = ImageFault::kNone;
  // The Machine field, when the headers could be read; 0 otherwise.
  std::uint16_t machine = 0;
  // The file size that holds the headers and the raw data of every section; for a file cut
  // inside its headers, what the part that could be read describes (always more than the
  // file holds). 0 for kNotPe.
  std::uint64_t requiredSize = 0;
};

// The machine is judged before the extent: an image for another processor is that, whole or
// not.
ImageCheck CheckWholeImage(std::span<const std::uint8_t> file);

// The bytes of the file that hold the image range [rva, rva + size), within one section's
// raw data; nothing when the range is not wholly in the file.
std::optional<std::span<const std::uint8_t>> MapRva(std::span<const std::uint8_t> file,
                                                    const PeHeaders& headers, std::uint32_t rva,
                                                    std::uint32_t size);

// The checksum CheckSumMappedFile computes: the file as 16-bit little-endian words (an odd
// last byte is the low byte of a word whose high byte is 0), added with the carry folded back
// into the low 16 bits after every addition, plus the file's length (taken as a 32-bit
// DWORD). The four bytes at checkSumOffset count as zero; without an offset (a file that is
// not a PE image) every byte counts.
std::uint32_t ComputeCheckSum(std::span<const std::uint8_t> file,
                              std::optional<std::size_t> checkSumOffset);

// The same for a file whose headers are read first: the CheckSum field counts as zero when
// the headers reach it, and every byte counts otherwise.
std::uint32_t ComputeFileCheckSum(std::span<const std::uint8_t> file);

// The fixed file version: dwFileVersionMS holds major and minor, dwFileVersionLS build and
// revision, each the high word first.
struct FileVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;

  static FileVersion FromWords(std::uint32_t mostSignificant, std::uint32_t leastSignificant);
  // "4.0.1381.7"
  std::string ToString() const;
  friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

enum class VersionState {
  kPresent,  // a version resource was read
  kAbsent,   // a readable PE file without one: no resources, no RT_VERSION entry, or empty
  kDamaged,  // the file or its resources could not be read far enough to tell; see fault
};

struct VersionResource {
  VersionState state = VersionState::kAbsent;
  PeFault fault = PeFault::kNone;  // set exactly when state is kDamaged
  // From VS_FIXEDFILEINFO; nothing when the resource carries no fixed part.
  std::optional<FileVersion> fileVersion;
  // "OriginalFilename" from the first string table (the first language) of StringFileInfo,
  // up to its first zero character. UTF-16 code units above 0x7F become '?'. Nothing when
  // that table has no such string.
  std::optional<std::string> originalFilename;
};

// The version resource: the first name and the first language under RT_VERSION, in
// directory order. A file that is not a readable PE image is kDamaged.
VersionResource ReadVersionResource(std::span<const std::uint8_t> file);

// The fixed file version and OriginalFilename of a VS_VERSIONINFO block held in bytes (the
// resource's data). kPresent or kDamaged only.
VersionResource ParseVersionInfo(std::span<const std::uint8_t> versionInfo);

}  // namespace halshift::pe
