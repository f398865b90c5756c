// Tests of the media-file expansion: SZDD files and cabinets made by the Debian tools, damaged
// variants of them, and the input shapes around the magic numbers.
#include "platform/image/expand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace halshift::image {
namespace {

std::filesystem::path FixtureDirectory() {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  return std::filesystem::path(source == nullptr ? "." : source) / "tests" / "fixtures" / "media";
}

// Read in one piece of the file's size: GCC 12 at -O3 sees null stream buffers in an
// istreambuf_iterator copy (a false -Wnull-dereference).
std::string ReadFixture(std::string_view name) {
  const std::filesystem::path path = FixtureDirectory() / name;
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(!error && in.good()) << "missing fixture " << path;
  std::string bytes(error ? 0 : size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(bytes.size())) << "short read of " << path;
  return bytes;
}

const char* StatusName(ExpandStatus status) {
  switch (status) {
    case ExpandStatus::kPlain: return "plain";
    case ExpandStatus::kExpanded: return "expanded";
    case ExpandStatus::kDamaged: return "damaged";
  }
  return "?";
}

std::string SzddHeader(std::uint32_t length, char mode = 'A') {
  std::string header("SZDD\x88\xF0\x27\x33", 8);
  header += mode;
  header += '\0';
  for (int shift = 0; shift < 32; shift += 8) header += static_cast<char>(length >> shift & 0xFF);
  return header;
}

struct FixtureCase {
  const char* file;
  ExpandStatus status;
  const char* expectedFile;  // the expansion's bytes, or nullptr when they must be empty
};

// Every fixture that make-fixtures.sh writes, with what it must expand to.
constexpr FixtureCase kFixtureCases[] = {
    {"standin.txt", ExpandStatus::kPlain, "standin.txt"},
    {"szdd.dl_", ExpandStatus::kExpanded, "standin.txt"},
    {"cab-mszip.dl_", ExpandStatus::kExpanded, "standin.txt"},
    {"cab-stored.dl_", ExpandStatus::kExpanded, "standin.txt"},
    {"cab-empty-file.dl_", ExpandStatus::kExpanded, nullptr},
    {"szdd-truncated.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-header-cut.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-bad-mode.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-length-short.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-length-long.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-trailing-data.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-huge-length.dl_", ExpandStatus::kDamaged, nullptr},
    {"szdd-empty-mismatch.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-mszip-truncated.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-stored-truncated.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-mszip-bad-data.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-stored-bad-data.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-bad-header.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-zero-folders.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-zero-files.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-two-files.dl_", ExpandStatus::kDamaged, nullptr},
    {"cab-huge-length.dl_", ExpandStatus::kDamaged, nullptr},
};

TEST(ExpandMediaFile, FixturesExpandToTheirSourceOrAreDamaged) {
  for (const FixtureCase& testCase : kFixtureCases) {
    SCOPED_TRACE(testCase.file);
    const std::string contents = ReadFixture(testCase.file);
    ASSERT_FALSE(contents.empty());
    const ExpandResult result = ExpandMediaFile(contents);
    EXPECT_STREQ(StatusName(result.status), StatusName(testCase.status));
    const std::string expected =
        testCase.expectedFile == nullptr ? std::string() : ReadFixture(testCase.expectedFile);
    EXPECT_EQ(result.bytes.size(), expected.size());
    EXPECT_TRUE(result.bytes == expected);
  }
}

// The two-file cabinet fails for its count alone: the same cabinet listing only its first
// file expands to that file.
TEST(ExpandMediaFile, TwoFileCabinetIsDamagedOnlyForItsCount) {
  constexpr std::size_t kFileCountOffset = 0x1C;  // CFHEADER.cFiles
  std::string cabinet = ReadFixture("cab-two-files.dl_");
  ASSERT_GT(cabinet.size(), kFileCountOffset + 2);
  ASSERT_EQ(cabinet[kFileCountOffset], 2);
  EXPECT_EQ(ExpandMediaFile(cabinet).status, ExpandStatus::kDamaged);
  cabinet[kFileCountOffset] = 1;
  const ExpandResult first = ExpandMediaFile(cabinet);
  EXPECT_EQ(first.status, ExpandStatus::kExpanded);
  EXPECT_TRUE(first.bytes == ReadFixture("standin.txt"));
}

struct MemoryCase {
  const char* name;
  std::string contents;
  ExpandStatus status;
  std::string bytes;
};

TEST(ExpandMediaFile, InputsAroundTheMagicNumbers) {
  const std::string binary("MZ\0\x90\0SZDD", 10);
  const MemoryCase cases[] = {
      {"empty input", "", ExpandStatus::kPlain, ""},
      {"binary with NULs", binary, ExpandStatus::kPlain, binary},
      {"half an SZDD magic", "SZDD", ExpandStatus::kPlain, "SZDD"},
      {"SZDD magic, last byte wrong", std::string("SZDD\x88\xF0\x27\x34", 8), ExpandStatus::kPlain,
       std::string("SZDD\x88\xF0\x27\x34", 8)},
      {"lower-case cabinet magic", "mscf....", ExpandStatus::kPlain, "mscf...."},
      {"SZDD magic only", std::string("SZDD\x88\xF0\x27\x33", 8), ExpandStatus::kDamaged, ""},
      {"SZDD header one byte short", SzddHeader(0).substr(0, 13), ExpandStatus::kDamaged, ""},
      {"SZDD header, empty file", SzddHeader(0), ExpandStatus::kExpanded, ""},
      {"SZDD header declaring data it lacks", SzddHeader(1), ExpandStatus::kDamaged, ""},
      // Control byte 0x01: one literal, then the stream ends.
      {"SZDD one literal", SzddHeader(1) + "\x01Z", ExpandStatus::kExpanded, "Z"},
      {"SZDD mode other than LZSS", SzddHeader(1, 'C') + "\x01Z", ExpandStatus::kDamaged, ""},
      {"SZDD declaring just over the bound",
       SzddHeader(static_cast<std::uint32_t>(kMaxExpandedBytes + 1)) + "\x01Z",
       ExpandStatus::kDamaged, ""},
      {"cabinet magic only", "MSCF", ExpandStatus::kDamaged, ""},
      {"cabinet magic and zeros", std::string("MSCF") + std::string(60, '\0'),
       ExpandStatus::kDamaged, ""},
  };
  for (const MemoryCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const ExpandResult result = ExpandMediaFile(testCase.contents);
    EXPECT_STREQ(StatusName(result.status), StatusName(testCase.status));
    EXPECT_TRUE(result.bytes == testCase.bytes);
  }
}

// A back reference copies from the window, which SZDD starts filled with spaces 16 bytes short
// of its end: one literal followed by a reference to it repeats that byte.
TEST(ExpandMediaFile, SzddBackReferenceRepeatsWindowBytes) {
  // Control 0x01: item 0 literal 'q', item 1 a reference to window position 0xFF0 (where the
  // literal went), length 3 + 3.
  const std::string stream = std::string("\x01q", 2) + std::string("\xF0\xF3", 2);
  const ExpandResult result = ExpandMediaFile(SzddHeader(7) + stream);
  EXPECT_EQ(result.status, ExpandStatus::kExpanded);
  EXPECT_EQ(result.bytes, "qqqqqqq");
}

// An SZDD stream of back references into the initial window, which holds spaces: `length`
// spaces from about length / 8 bytes of input.
std::string SpacesSzdd(std::size_t length) {
  constexpr std::size_t kLongestReference = 18;
  constexpr std::size_t kShortestReference = 3;
  // A control byte of eight references (bits clear), each to window position 0 with the
  // longest length: 144 spaces.
  std::string group(1, '\0');
  for (int item = 0; item < 8; ++item) group += std::string("\0\x0F", 2);
  const std::size_t groupLength = 8 * kLongestReference;

  std::string stream;
  std::size_t remaining = length;
  stream.reserve(remaining / groupLength * group.size() + group.size());
  for (; remaining > groupLength + kShortestReference; remaining -= groupLength) stream += group;
  while (remaining > 0) {
    const std::size_t control = stream.size();
    stream += '\0';
    for (int item = 0; item < 8 && remaining > 0; ++item) {
      if (remaining < kShortestReference) {  // too short for a reference: a literal space
        stream[control] = static_cast<char>(stream[control] | 1 << item);
        stream += ' ';
        --remaining;
        continue;
      }
      std::size_t take = std::min(kLongestReference, remaining);
      if (remaining != take && remaining - take < kShortestReference) {
        take = remaining - kShortestReference;
      }
      stream += '\0';
      stream += static_cast<char>(take - kShortestReference);
      remaining -= take;
    }
  }
  return SzddHeader(static_cast<std::uint32_t>(length)) + stream;
}

void AppendLittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

// A cabinet holding one file of `length` spaces, stored uncompressed in full data blocks
// without checksums; with `nextCabinet`, it names a next cabinet of its set.
std::string SpacesCabinet(std::size_t length, std::string_view nextCabinet = {}) {
  std::string setNames;
  if (!nextCabinet.empty()) {
    setNames = std::string(nextCabinet) + '\0' + "DISK 2" + '\0';
  }
  constexpr std::size_t kBlockSize = 32768;
  const std::string name = "SPACES.DLL";
  const std::size_t blocks = (length + kBlockSize - 1) / kBlockSize;
  const std::size_t headerSize = 36 + setNames.size(), folderSize = 8, fileSize = 16 + name.size() + 1;
  const std::size_t dataStart = headerSize + folderSize + fileSize;
  const std::size_t total = dataStart + blocks * 8 + length;

  std::string cabinet = "MSCF";
  AppendLittleEndian(cabinet, 0, 4);
  AppendLittleEndian(cabinet, static_cast<std::uint32_t>(total), 4);
  AppendLittleEndian(cabinet, 0, 4);
  AppendLittleEndian(cabinet, static_cast<std::uint32_t>(headerSize + folderSize), 4);
  AppendLittleEndian(cabinet, 0, 4);
  AppendLittleEndian(cabinet, 0x0103, 2);  // version 1.3
  AppendLittleEndian(cabinet, 1, 2);       // folders
  AppendLittleEndian(cabinet, 1, 2);       // files
  AppendLittleEndian(cabinet, setNames.empty() ? 0 : 2, 2);  // flags: continued in a next one
  AppendLittleEndian(cabinet, 0, 4);                          // set id, index in set
  cabinet += setNames;
  AppendLittleEndian(cabinet, static_cast<std::uint32_t>(dataStart), 4);
  AppendLittleEndian(cabinet, static_cast<std::uint32_t>(blocks), 2);
  AppendLittleEndian(cabinet, 0, 2);  // stored
  AppendLittleEndian(cabinet, static_cast<std::uint32_t>(length), 4);
  AppendLittleEndian(cabinet, 0, 4);       // offset in folder
  AppendLittleEndian(cabinet, 0, 2);       // folder
  AppendLittleEndian(cabinet, 0x2821, 2);  // 2000-01-01
  AppendLittleEndian(cabinet, 0, 2);
  AppendLittleEndian(cabinet, 0x20, 2);  // archive
  cabinet += name;
  cabinet += '\0';
  cabinet.reserve(total);
  for (std::size_t left = length; left > 0;) {
    const std::size_t block = std::min(left, kBlockSize);
    AppendLittleEndian(cabinet, 0, 4);  // no checksum
    AppendLittleEndian(cabinet, static_cast<std::uint32_t>(block), 2);
    AppendLittleEndian(cabinet, static_cast<std::uint32_t>(block), 2);
    cabinet.append(block, ' ');
    left -= block;
  }
  return cabinet;
}

TEST(ExpandMediaFile, ExpansionIsBoundedAtTheLimit) {
  for (std::size_t length : {0, 1, 2, 3, 20, 21, 143, 144, 145, 146, 147, 148, 1000}) {
    const ExpandResult small = ExpandMediaFile(SpacesSzdd(length));
    EXPECT_EQ(small.status, ExpandStatus::kExpanded) << length;
    EXPECT_EQ(small.bytes, std::string(length, ' ')) << length;
  }
  // An SZDD expansion at the limit takes a write call per byte; the cabinet shows the limit
  // is reached, the SZDD stream only that it is not passed.
  const ExpandResult szddOver = ExpandMediaFile(SpacesSzdd(kMaxExpandedBytes + 1));
  EXPECT_EQ(szddOver.status, ExpandStatus::kDamaged);
  EXPECT_TRUE(szddOver.bytes.empty());

  const ExpandResult smallCabinet = ExpandMediaFile(SpacesCabinet(100000));
  EXPECT_EQ(smallCabinet.status, ExpandStatus::kExpanded);
  EXPECT_TRUE(smallCabinet.bytes == std::string(100000, ' '));

  const ExpandResult inSet = ExpandMediaFile(SpacesCabinet(100000, "NEXT.CAB"));
  EXPECT_EQ(inSet.status, ExpandStatus::kDamaged);

  const ExpandResult atLimit = ExpandMediaFile(SpacesCabinet(kMaxExpandedBytes));
  EXPECT_EQ(atLimit.status, ExpandStatus::kExpanded);
  EXPECT_TRUE(atLimit.bytes == std::string(kMaxExpandedBytes, ' '));

  const ExpandResult overLimit = ExpandMediaFile(SpacesCabinet(kMaxExpandedBytes + 1));
  EXPECT_EQ(overLimit.status, ExpandStatus::kDamaged);
  EXPECT_TRUE(overLimit.bytes.empty());
}

// Offsets in a cabinet that point outside it make a damaged file, not a read past its end.
TEST(ExpandMediaFile, CabinetOffsetsOutsideTheFileAreDamaged) {
  constexpr std::size_t kFirstDataBlockOffset = 0x24;  // CFFOLDER.coffCabStart
  for (const std::uint32_t offset : {0x7FFFFFFFu, 0xFFFFFFFFu, 0x00010000u}) {
    std::string cabinet = ReadFixture("cab-stored.dl_");
    ASSERT_GT(cabinet.size(), kFirstDataBlockOffset + 4);
    std::string field;
    AppendLittleEndian(field, offset, 4);
    cabinet.replace(kFirstDataBlockOffset, 4, field);
    const ExpandResult result = ExpandMediaFile(cabinet);
    EXPECT_EQ(result.status, ExpandStatus::kDamaged) << std::hex << offset;
    EXPECT_TRUE(result.bytes.empty());
  }
}

// Every cut of a compressed file is damaged: no prefix of a stream passes for the whole file.
TEST(ExpandMediaFile, EveryTruncationIsDamaged) {
  struct Truncation {
    const char* file;
    std::size_t magicSize;  // shorter cuts are no longer recognised as compressed
  };
  for (const Truncation& cut : {Truncation{"szdd.dl_", 8}, Truncation{"cab-mszip.dl_", 4},
                                Truncation{"cab-stored.dl_", 4}, Truncation{"cab-empty-file.dl_", 4}}) {
    SCOPED_TRACE(cut.file);
    const std::string contents = ReadFixture(cut.file);
    const std::size_t step = contents.size() > 2000 ? 7 : 1;
    for (std::size_t length = cut.magicSize; length < contents.size(); length += step) {
      const ExpandResult result = ExpandMediaFile(std::string_view(contents).substr(0, length));
      if (result.status != ExpandStatus::kDamaged || !result.bytes.empty()) {
        ADD_FAILURE() << "cut to " << length << " bytes gave " << StatusName(result.status)
                      << " with " << result.bytes.size() << " bytes";
      }
    }
  }
}

// In a cabinet, each data block carries a checksum over its header and bytes: a flipped byte
// anywhere in the data blocks is caught.
TEST(ExpandMediaFile, EveryFlippedByteInCabinetDataIsDamaged) {
  constexpr std::size_t kFirstDataBlockOffset = 0x24;  // CFFOLDER.coffCabStart
  for (const char* file : {"cab-mszip.dl_", "cab-stored.dl_"}) {
    SCOPED_TRACE(file);
    const std::string original = ReadFixture(file);
    ASSERT_GT(original.size(), kFirstDataBlockOffset + 4);
    std::size_t data = 0;
    for (int i = 3; i >= 0; --i) {
      data = data << 8 | static_cast<unsigned char>(original[kFirstDataBlockOffset + i]);
    }
    ASSERT_LT(data, original.size());
    const std::size_t step = original.size() > 2000 ? 13 : 1;
    for (std::size_t at = data; at < original.size(); at += step) {
      std::string damaged = original;
      damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
      const ExpandResult result = ExpandMediaFile(damaged);
      if (result.status != ExpandStatus::kDamaged || !result.bytes.empty()) {
        ADD_FAILURE() << "flip at " << at << " gave " << StatusName(result.status);
      }
    }
  }
}

// SZDD has no checksum, so a flipped byte can go unnoticed; what must hold is that a result is
// either damaged and empty or exactly as long as the header declares.
TEST(ExpandMediaFile, FlippedSzddBytesNeverGiveAPartialResult) {
  const std::string original = ReadFixture("szdd.dl_");
  const std::string source = ReadFixture("standin.txt");
  int damagedCount = 0;
  for (std::size_t at = 14; at < original.size(); at += 5) {
    std::string flipped = original;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
    const ExpandResult result = ExpandMediaFile(flipped);
    if (result.status == ExpandStatus::kDamaged) {
      ++damagedCount;
      EXPECT_TRUE(result.bytes.empty()) << "flip at " << at;
    } else {
      EXPECT_EQ(result.status, ExpandStatus::kExpanded) << "flip at " << at;
      EXPECT_EQ(result.bytes.size(), source.size()) << "flip at " << at;
    }
  }
  // Flipping a control bit turns a literal into half a reference or back, which shifts the
  // rest of the stream: most of those are caught by the length.
  EXPECT_GT(damagedCount, 0);
}

}  // namespace
}  // namespace halshift::image
