// The PE file reader: over the stand-in system files built for the tests with mingw-w64 (their
// checksums written by a second, independent implementation), and over images made here and
// damaged one field at a time.
#include "inspect/pe_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace halshift::pe {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  bytes.at(at) = static_cast<std::uint8_t>(value);
  bytes.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void Append(Bytes& bytes, const Bytes& more) {
  bytes.insert(bytes.end(), more.begin(), more.end());
}

void PadTo4(Bytes& bytes) { bytes.resize((bytes.size() + 3) / 4 * 4, 0); }

Bytes Utf16(std::string_view text) {
  Bytes bytes;
  for (const char c : text) Append(bytes, {static_cast<std::uint8_t>(c), 0});
  Append(bytes, {0, 0});
  return bytes;
}

// A version resource block: header, key, padding, value, padding, then the children, each
// padded to 32 bits. wLength leaves out the block's own final padding.
Bytes VersionBlock(std::string_view key, const Bytes& value, std::uint16_t valueLength, bool text,
                   const std::vector<Bytes>& children = {}) {
  Bytes block(6, 0);
  Put16(block, 4, text ? 1 : 0);
  Append(block, Utf16(key));
  PadTo4(block);
  Append(block, value);
  for (const Bytes& child : children) {
    PadTo4(block);
    Append(block, child);
  }
  Put16(block, 0, static_cast<std::uint16_t>(block.size()));
  Put16(block, 2, valueLength);
  return block;
}

Bytes FixedInfo(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
  Bytes info(kFixedInfoSize, 0);
  Put32(info, 0, kFixedInfoSignature);
  Put32(info, 4, 0x10000);
  Put32(info, kFixedInfoFileVersionMs, mostSignificant);
  Put32(info, kFixedInfoFileVersionLs, leastSignificant);
  return info;
}

Bytes String(std::string_view key, std::string_view value) {
  const Bytes text = Utf16(value);
  return VersionBlock(key, text, static_cast<std::uint16_t>(text.size() / 2), true);
}

Bytes Translation() {
  return VersionBlock("VarFileInfo", {}, 0, true,
                      {VersionBlock("Translation", {0x09, 0x04, 0xB0, 0x04}, 4, false)});
}

Bytes StringFileInfo(const std::vector<Bytes>& tables) {
  return VersionBlock("StringFileInfo", {}, 0, true, tables);
}

Bytes Table(std::string_view language, const std::vector<Bytes>& strings) {
  return VersionBlock(language, {}, 0, true, strings);
}

// 4.0.1381.7, OriginalFilename "halmps.dll", as resource compilers lay it out.
Bytes StandardVersionInfo() {
  return VersionBlock(
      "VS_VERSION_INFO", FixedInfo(0x00040000, 0x05650007), kFixedInfoSize, false,
      {StringFileInfo({Table(
           "040904B0", {String("CompanyName", "Test"), String("OriginalFilename", "halmps.dll")})}),
       Translation()});
}

// The image the damage cases start from: one section, .rsrc, holding a resource tree with the
// version resource and nothing else. Where its parts lie:
constexpr std::size_t kNtHeaders = 0x80;
constexpr std::size_t kOptional = kNtHeaders + kOptionalHeaderOffset;
constexpr std::size_t kSectionTablePe32 = kOptional + 224;
constexpr std::size_t kResourceFileOffset = 0x200;
constexpr std::uint32_t kResourceRva = 0x1000;
// Offsets inside the resource section.
constexpr std::size_t kRootEntry = 0x10;
constexpr std::size_t kNameDirectory = 0x18;
constexpr std::size_t kNameEntry = 0x28;
constexpr std::size_t kLanguageDirectory = 0x30;
constexpr std::size_t kLanguageEntry = 0x40;
constexpr std::size_t kDataEntry = 0x48;
constexpr std::size_t kVersionData = 0x58;

Bytes ResourceTree(const Bytes& versionInfo) {
  Bytes tree(kVersionData, 0);
  const auto directory = [&tree](std::size_t at, std::uint32_t id, std::uint32_t target) {
    Put16(tree, at + kResourceIdEntries, 1);
    Put32(tree, at + kResourceDirectoryHeaderSize + kResourceEntryName, id);
    Put32(tree, at + kResourceDirectoryHeaderSize + kResourceEntryOffset, target);
  };
  directory(0, kResourceTypeVersion, kResourceIsDirectory | kNameDirectory);
  directory(kNameDirectory, 1, kResourceIsDirectory | kLanguageDirectory);
  directory(kLanguageDirectory, 0x409, kDataEntry);
  Put32(tree, kDataEntry + kResourceDataRva, kResourceRva + kVersionData);
  Put32(tree, kDataEntry + kResourceDataSize, static_cast<std::uint32_t>(versionInfo.size()));
  Append(tree, versionInfo);
  return tree;
}

std::size_t OptionalSize(bool pe32Plus) { return pe32Plus ? 240 : 224; }

Bytes BuildImage(const Bytes& versionInfo, bool pe32Plus = false) {
  const Bytes tree = ResourceTree(versionInfo);
  const std::size_t rawSize = (tree.size() + 0x1FF) / 0x200 * 0x200;
  Bytes image(kResourceFileOffset + rawSize, 0);
  Put16(image, 0, kDosMagic);
  Put32(image, kDosNewHeaderOffset, kNtHeaders);
  Put32(image, kNtHeaders, kPeSignature);
  Put16(image, kNtHeaders + 4, 0x14C);
  Put16(image, kNtHeaders + kCoffHeaderOffset + kCoffNumberOfSections, 1);
  Put16(image, kNtHeaders + kCoffHeaderOffset + kCoffSizeOfOptionalHeader,
        static_cast<std::uint16_t>(OptionalSize(pe32Plus)));
  Put16(image, kOptional + kOptionalMagic, pe32Plus ? kPe32PlusMagic : kPe32Magic);
  const std::size_t count = pe32Plus ? kPe32PlusNumberOfRvaAndSizes : kPe32NumberOfRvaAndSizes;
  const std::size_t directories = pe32Plus ? kPe32PlusDataDirectories : kPe32DataDirectories;
  Put32(image, kOptional + count, 16);
  Put32(image, kOptional + directories + kResourceDirectoryIndex * kDataDirectorySize,
        kResourceRva);
  Put32(image, kOptional + directories + kResourceDirectoryIndex * kDataDirectorySize + 4,
        static_cast<std::uint32_t>(tree.size()));
  const std::size_t section = kOptional + OptionalSize(pe32Plus);
  std::copy_n(".rsrc", 5, image.begin() + static_cast<std::ptrdiff_t>(section));
  Put32(image, section + kSectionVirtualSize, static_cast<std::uint32_t>(tree.size()));
  Put32(image, section + kSectionVirtualAddress, kResourceRva);
  Put32(image, section + kSectionSizeOfRawData, static_cast<std::uint32_t>(rawSize));
  Put32(image, section + kSectionPointerToRawData, kResourceFileOffset);
  std::copy(tree.begin(), tree.end(), image.begin() + kResourceFileOffset);
  return image;
}

std::size_t Rsrc(std::size_t offset) { return kResourceFileOffset + offset; }

// ---------------------------------------------------------------------------------------------
// The stand-in files.

std::string FixtureDirectory() { return HALSHIFT_PE_FIXTURES; }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string text = bytes.str();
  return Bytes(text.begin(), text.end());
}

struct Standin {
  std::string path;
  std::string version;
  std::string originalFilename;
  bool checkSummed = false;
};

std::vector<Standin> ReadManifest(const std::string& directory) {
  std::vector<Standin> standins;
  std::ifstream in(directory + "/manifest.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Standin standin;
    std::string checksum;
    std::getline(fields, standin.path, '\t');
    std::getline(fields, standin.version, '\t');
    std::getline(fields, standin.originalFilename, '\t');
    std::getline(fields, checksum, '\t');
    standin.checkSummed = checksum == "checksum";
    standins.push_back(standin);
  }
  return standins;
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = FixtureDirectory();
    ASSERT_FALSE(directory_.empty())
        << "HALSHIFT_PE_FIXTURES is empty: the stand-in PE files were not built (mingw-w64, "
           "its windres or python3 was missing when the build was configured)";
    standins_ = ReadManifest(directory_);
    ASSERT_FALSE(standins_.empty()) << "no stand-ins listed in " << directory_ << "/manifest.txt";
  }

  Bytes Load(const std::string& path) {
    Bytes file = ReadFile(directory_ + "/" + path);
    EXPECT_FALSE(file.empty()) << path;
    return file;
  }

  std::string directory_;
  std::vector<Standin> standins_;
};

TEST_F(StandinTest, VersionAndOriginalFilenameAreThoseTheResourceWasBuiltWith) {
  for (const Standin& standin : standins_) {
    SCOPED_TRACE(standin.path);
    const VersionResource version = ReadVersionResource(Load(standin.path));
    EXPECT_EQ(version.fault, PeFault::kNone);
    if (standin.version == "-") {
      EXPECT_EQ(version.state, VersionState::kAbsent);
      EXPECT_FALSE(version.fileVersion);
      EXPECT_FALSE(version.originalFilename);
      continue;
    }
    ASSERT_EQ(version.state, VersionState::kPresent);
    ASSERT_TRUE(version.fileVersion);
    EXPECT_EQ(version.fileVersion->ToString(), standin.version);
    EXPECT_EQ(version.originalFilename, standin.originalFilename);
  }
}

TEST_F(StandinTest, HeaderChecksumWrittenByTheFixtureToolEqualsTheComputedOne) {
  for (const Standin& standin : standins_) {
    SCOPED_TRACE(standin.path);
    const Bytes file = Load(standin.path);
    const PeHeadersRead read = ReadPeHeaders(file);
    ASSERT_EQ(read.fault, PeFault::kNone);
    EXPECT_FALSE(read.headers.pe32Plus);
    const std::uint32_t computed = ComputeFileCheckSum(file);
    EXPECT_EQ(computed, ComputeCheckSum(file, read.headers.checkSumOffset));
    if (standin.checkSummed) {
      EXPECT_EQ(read.headers.headerCheckSum, computed);
    } else {
      EXPECT_EQ(read.headers.headerCheckSum, 0u);
      EXPECT_NE(computed, 0u);
    }
  }
}

TEST_F(StandinTest, TheSetCoversTheMediaAndInstallationsTheTestsNeed) {
  const auto find = [this](const std::string& path) {
    for (const Standin& standin : standins_) {
      if (standin.path == path) return standin;
    }
    ADD_FAILURE() << path << " is not among the stand-ins";
    return Standin{};
  };
  EXPECT_EQ(find("base/ntoskrnl.exe").version, "4.0.1381.7");
  EXPECT_EQ(find("base/ntkrnlmp.exe").version, "4.0.1381.7");
  EXPECT_EQ(find("sp/ntkrnlmp.exe").version, "4.0.1381.335");
  EXPECT_EQ(find("tse/ntoskrnl.exe").version, "4.0.1381.33074");
  EXPECT_EQ(find("other/ntoskrnl.exe").version, "4.0.1314.1");
  for (const char* hal : {"base/hal.dll", "base/halmps.dll", "base/halapic.dll", "sp/halmps.dll"}) {
    const Standin standin = find(hal);
    EXPECT_EQ(standin.originalFilename, std::string(hal).substr(std::string(hal).find('/') + 1));
  }
  // The odd-length file really is odd, so the fold of its last byte is what was compared.
  EXPECT_EQ(Load("misc/oddlength.exe").size() % 2, 1u);
}

// Every stand-in the tests install is a whole i386 image; the same file cut anywhere before
// its end is not, and says how much its headers describe.
TEST_F(StandinTest, EveryStandinIsAWholeI386ImageAndNoCutOfOneIs) {
  for (const Standin& standin : standins_) {
    SCOPED_TRACE(standin.path);
    const Bytes file = Load(standin.path);
    const ImageCheck check = CheckWholeImage(file);
    EXPECT_EQ(check.fault, ImageFault::kNone);
    EXPECT_EQ(check.machine, kMachineI386);
    EXPECT_LE(check.requiredSize, file.size());
  }
  const Bytes kernel = Load("sp/ntkrnlmp.exe");
  const std::uint64_t whole = CheckWholeImage(kernel).requiredSize;
  // From the PE header on (before it, a cut is no image at all).
  for (std::size_t length = 0x100; length < whole; length += 0x40) {
    SCOPED_TRACE(length);
    const Bytes cut(kernel.begin(), kernel.begin() + static_cast<std::ptrdiff_t>(length));
    const ImageCheck check = CheckWholeImage(cut);
    EXPECT_EQ(check.fault, ImageFault::kCutOff);
    EXPECT_GT(check.requiredSize, length);
  }
}

TEST_F(StandinTest, TerminalServerRevisionIsReadWhole) {
  const VersionResource version = ReadVersionResource(Load("tse/ntoskrnl.exe"));
  ASSERT_TRUE(version.fileVersion);
  EXPECT_EQ(version.fileVersion->revision, 33074);
  EXPECT_GE(version.fileVersion->revision, 0x8000);
}

TEST_F(StandinTest, ChecksumIgnoresTheCheckSumFieldAndNoOtherByte) {
  const Bytes file = Load("base/halmps.dll");
  const PeHeadersRead read = ReadPeHeaders(file);
  ASSERT_EQ(read.fault, PeFault::kNone);
  const std::uint32_t original = ComputeFileCheckSum(file);
  Bytes changed = file;
  Put32(changed, read.headers.checkSumOffset, 0x12345678);
  EXPECT_EQ(ComputeFileCheckSum(changed), original);
  for (const std::size_t at : {std::size_t{0x40}, read.headers.checkSumOffset - 1,
                               read.headers.checkSumOffset + 4, file.size() - 1}) {
    changed = file;
    changed[at] ^= 0x01;
    EXPECT_NE(ComputeFileCheckSum(changed), original) << "byte " << at;
  }
}

// ---------------------------------------------------------------------------------------------
// The checksum algorithm by itself.

struct CheckSumCase {
  const char* name;
  Bytes bytes;
  std::optional<std::size_t> field;
  std::uint32_t expected;
};

TEST(ComputeCheckSumTest, WordsFoldedCarriesAndLength) {
  const CheckSumCase cases[] = {
      {"empty", {}, std::nullopt, 0},
      {"one byte is a low byte", {0x01}, std::nullopt, 0x0001 + 1},
      {"little-endian word", {0x01, 0x02}, std::nullopt, 0x0201 + 2},
      {"carry folds back", {0xFF, 0xFF, 0x01, 0x00}, std::nullopt, 0x0001 + 4},
      {"all ones stay all ones", {0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt, 0xFFFF + 4},
      {"odd last byte", {0x34, 0x12, 0x56}, std::nullopt, 0x1234 + 0x0056 + 3},
      {"field counts as zero", {1, 0, 2, 0, 3, 0, 4, 0}, 2, 1 + 4 + 8},
      {"field at an odd offset", {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, 1, 0x0010 + 0x6000 + 6},
      {"field running past the end", {0x10, 0x20, 0x30}, 2, 0x2010 + 3},
  };
  for (const CheckSumCase& c : cases) {
    EXPECT_EQ(ComputeCheckSum(c.bytes, c.field), c.expected) << c.name;
  }
}

TEST(ComputeCheckSumTest, FileThatIsNotPeCountsEveryByte) {
  const Bytes text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  EXPECT_EQ(ComputeFileCheckSum(text), ComputeCheckSum(text, std::nullopt));
  const Bytes image = BuildImage(StandardVersionInfo());
  EXPECT_EQ(ComputeFileCheckSum(image), ComputeCheckSum(image, kOptional + kOptionalCheckSum));
}

TEST(ComputeCheckSumTest, LengthIsAddedAsADword) {
  // 70000 zero bytes: the sum is 0, the length alone remains, beyond 16 bits.
  EXPECT_EQ(ComputeCheckSum(Bytes(70000, 0), std::nullopt), 70000u);
}

// ---------------------------------------------------------------------------------------------
// Images made here: intact, and damaged one field at a time.

TEST(VersionResourceTest, ReadsTheBuiltImageInBothFormats) {
  for (const bool pe32Plus : {false, true}) {
    SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
    const Bytes image = BuildImage(StandardVersionInfo(), pe32Plus);
    const PeHeadersRead read = ReadPeHeaders(image);
    ASSERT_EQ(read.fault, PeFault::kNone);
    EXPECT_EQ(read.headers.pe32Plus, pe32Plus);
    EXPECT_EQ(read.headers.checkSumOffset, kOptional + kOptionalCheckSum);
    EXPECT_EQ(read.headers.resourceRva, kResourceRva);
    const VersionResource version = ReadVersionResource(image);
    ASSERT_EQ(version.state, VersionState::kPresent);
    EXPECT_EQ(version.fileVersion, (FileVersion{4, 0, 1381, 7}));
    EXPECT_EQ(version.originalFilename, "halmps.dll");
  }
}

struct VersionCase {
  const char* name;
  Bytes versionInfo;
  std::optional<FileVersion> fileVersion;
  std::optional<std::string> originalFilename;
};

TEST(VersionResourceTest, WhatTheBlocksHoldIsWhatIsRead) {
  const Bytes fixed = FixedInfo(0x00040000, 0x05658132);
  const VersionCase cases[] = {
      {"no fixed part",
       VersionBlock("VS_VERSION_INFO", {}, 0, false,
                    {StringFileInfo({Table("040904B0", {String("OriginalFilename", "hal.dll")})})}),
       std::nullopt, "hal.dll"},
      {"no string table",
       VersionBlock("VS_VERSION_INFO", fixed, kFixedInfoSize, false, {Translation()}),
       FileVersion{4, 0, 1381, 0x8132}, std::nullopt},
      {"table without OriginalFilename",
       VersionBlock("VS_VERSION_INFO", fixed, kFixedInfoSize, false,
                    {StringFileInfo({Table("040904B0", {String("CompanyName", "x")})})}),
       FileVersion{4, 0, 1381, 0x8132}, std::nullopt},
      {"first language counts, not a later one",
       VersionBlock(
           "VS_VERSION_INFO", fixed, kFixedInfoSize, false,
           {StringFileInfo({Table("040704B0", {String("FileVersion", "x")}),
                            Table("040904B0", {String("OriginalFilename", "later.dll")})})}),
       FileVersion{4, 0, 1381, 0x8132}, std::nullopt},
      {"key compared without regard to case",
       VersionBlock(
           "VS_VERSION_INFO", fixed, kFixedInfoSize, false,
           {StringFileInfo({Table("040904B0", {String("ORIGINALFILENAME", "ntoskrnl.exe")})})}),
       FileVersion{4, 0, 1381, 0x8132}, "ntoskrnl.exe"},
      {"value ends at its zero",
       VersionBlock("VS_VERSION_INFO", fixed, kFixedInfoSize, false,
                    {StringFileInfo({Table(
                        "040904B0",
                        {VersionBlock("OriginalFilename",
                                      Utf16(std::string_view("a.dll\0junk", 10)), 11, true)})})}),
       FileVersion{4, 0, 1381, 0x8132}, "a.dll"},
      {"characters beyond ASCII",
       VersionBlock(
           "VS_VERSION_INFO", fixed, kFixedInfoSize, false,
           {StringFileInfo({Table(
               "040904B0", {VersionBlock("OriginalFilename", {'h', 0, 0xE9, 0x00, 0x3A, 0x04, 0, 0},
                                         4, true)})})}),
       FileVersion{4, 0, 1381, 0x8132}, "h??"},
      {"empty value",
       VersionBlock(
           "VS_VERSION_INFO", fixed, kFixedInfoSize, false,
           {StringFileInfo({Table("040904B0", {VersionBlock("OriginalFilename", {}, 0, true)})})}),
       FileVersion{4, 0, 1381, 0x8132}, ""},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const VersionResource version = ReadVersionResource(BuildImage(c.versionInfo));
    ASSERT_EQ(version.state, VersionState::kPresent);
    EXPECT_EQ(version.fileVersion, c.fileVersion);
    EXPECT_EQ(version.originalFilename, c.originalFilename);
  }
}

struct DamageCase {
  const char* name;
  std::function<void(Bytes&)> damage;
  VersionState state;
  PeFault fault;
};

TEST(VersionResourceTest, DamagedAndAbsentAreToldApart) {
  const std::size_t rootIds = Rsrc(kResourceIdEntries);
  const std::size_t dataDirectory =
      kOptional + kPe32DataDirectories + kResourceDirectoryIndex * kDataDirectorySize;
  const std::size_t section = kSectionTablePe32;
  const std::size_t root = Rsrc(kVersionData);
  const std::size_t rootChildren = root + 92;  // after "VS_VERSION_INFO" and VS_FIXEDFILEINFO
  const DamageCase cases[] = {
      {"intact", [](Bytes&) {}, VersionState::kPresent, PeFault::kNone},
      {"odd length", [](Bytes& b) { b.push_back(0x5A); }, VersionState::kPresent, PeFault::kNone},
      // Headers.
      {"empty file", [](Bytes& b) { b.clear(); }, VersionState::kDamaged, PeFault::kNotPe},
      {"no MZ", [](Bytes& b) { b[0] = 'X'; }, VersionState::kDamaged, PeFault::kNotPe},
      {"cut inside the MS-DOS header", [](Bytes& b) { b.resize(0x20); }, VersionState::kDamaged,
       PeFault::kTruncatedHeaders},
      {"new header past the end", [](Bytes& b) { Put32(b, kDosNewHeaderOffset, 0xFFFFFFF0); },
       VersionState::kDamaged, PeFault::kNotPe},
      {"no PE signature", [](Bytes& b) { b[kNtHeaders + 1] = 'X'; }, VersionState::kDamaged,
       PeFault::kNotPe},
      {"cut inside the COFF header", [](Bytes& b) { b.resize(kNtHeaders + 10); },
       VersionState::kDamaged, PeFault::kTruncatedHeaders},
      {"cut inside the optional header", [](Bytes& b) { b.resize(kOptional + 40); },
       VersionState::kDamaged, PeFault::kTruncatedHeaders},
      {"cut inside the section table", [](Bytes& b) { b.resize(kSectionTablePe32 + 20); },
       VersionState::kDamaged, PeFault::kTruncatedHeaders},
      {"section count past the end",
       [](Bytes& b) { Put16(b, kNtHeaders + kCoffHeaderOffset + kCoffNumberOfSections, 0xFFFF); },
       VersionState::kDamaged, PeFault::kTruncatedHeaders},
      {"unknown optional header", [](Bytes& b) { Put16(b, kOptional, 0x107); },
       VersionState::kDamaged, PeFault::kBadOptionalHeader},
      {"optional header short of the checksum",
       [](Bytes& b) { Put16(b, kNtHeaders + kCoffHeaderOffset + kCoffSizeOfOptionalHeader, 64); },
       VersionState::kDamaged, PeFault::kBadOptionalHeader},
      // Resource directory.
      {"no resource directory",
       [=](Bytes& b) {
         Put32(b, dataDirectory, 0);
         Put32(b, dataDirectory + 4, 0);
       },
       VersionState::kAbsent, PeFault::kNone},
      {"data directories too few to hold resources",
       [](Bytes& b) { Put32(b, kOptional + kPe32NumberOfRvaAndSizes, 2); }, VersionState::kAbsent,
       PeFault::kNone},
      {"no RT_VERSION entry", [](Bytes& b) { Put32(b, Rsrc(kRootEntry), 3); },
       VersionState::kAbsent, PeFault::kNone},
      {"only a named entry",
       [=](Bytes& b) {
         Put16(b, rootIds - 2, 1);
         Put16(b, rootIds, 0);
         Put32(b, Rsrc(kRootEntry), kResourceNameIsString | 0x50);
       },
       VersionState::kAbsent, PeFault::kNone},
      {"no name under RT_VERSION",
       [](Bytes& b) { Put16(b, Rsrc(kNameDirectory + kResourceIdEntries), 0); },
       VersionState::kAbsent, PeFault::kNone},
      {"no language under the name",
       [](Bytes& b) { Put16(b, Rsrc(kLanguageDirectory + kResourceIdEntries), 0); },
       VersionState::kAbsent, PeFault::kNone},
      {"resources outside every section", [=](Bytes& b) { Put32(b, dataDirectory, 0x9000); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"resources in the section but past its raw data",
       [=](Bytes& b) {
         Put32(b, section + kSectionVirtualSize, 0x4000);
         Put32(b, dataDirectory, kResourceRva + 0x3000);
       },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"section raw data past the end of the file",
       [=](Bytes& b) { Put32(b, section + kSectionPointerToRawData, 0x100000); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"resource size too small for the root", [=](Bytes& b) { Put32(b, dataDirectory + 4, 8); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"more entries than the resources hold", [=](Bytes& b) { Put16(b, rootIds, 0x7FFF); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"type entry pointing past the end",
       [](Bytes& b) { Put32(b, Rsrc(kRootEntry + 4), kResourceIsDirectory | 0x7FFF0); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"type entry that is not a directory",
       [](Bytes& b) { Put32(b, Rsrc(kRootEntry + 4), kDataEntry); }, VersionState::kDamaged,
       PeFault::kBadResourceDirectory},
      {"name entry that is not a directory",
       [](Bytes& b) { Put32(b, Rsrc(kNameEntry + 4), kDataEntry); }, VersionState::kDamaged,
       PeFault::kBadResourceDirectory},
      {"language entry pointing back at the root",
       [](Bytes& b) { Put32(b, Rsrc(kLanguageEntry + 4), kResourceIsDirectory | 0); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"name entry pointing back at the root",
       [](Bytes& b) { Put32(b, Rsrc(kNameEntry + 4), kResourceIsDirectory | 0); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"type entry pointing at its own directory",
       [](Bytes& b) { Put32(b, Rsrc(kRootEntry + 4), kResourceIsDirectory | 0); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"data entry past the end", [](Bytes& b) { Put32(b, Rsrc(kLanguageEntry + 4), 0x7FFF0); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"data entry cut by the resource size",
       [=](Bytes& b) { Put32(b, dataDirectory + 4, kDataEntry + 8); }, VersionState::kDamaged,
       PeFault::kBadResourceDirectory},
      {"data outside every section", [](Bytes& b) { Put32(b, Rsrc(kDataEntry), 0x50000); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      {"data longer than its section", [](Bytes& b) { Put32(b, Rsrc(kDataEntry + 4), 0x10000); },
       VersionState::kDamaged, PeFault::kBadResourceDirectory},
      // Version resource.
      {"root block longer than the data", [=](Bytes& b) { Put16(b, root, 0xFFFF); },
       VersionState::kDamaged, PeFault::kBadVersionResource},
      {"root block shorter than its header", [=](Bytes& b) { Put16(b, root, 4); },
       VersionState::kDamaged, PeFault::kBadVersionResource},
      {"root key other than VS_VERSION_INFO", [=](Bytes& b) { b[root + 6] = 'W'; },
       VersionState::kDamaged, PeFault::kBadVersionResource},
      {"root key without its end", [=](Bytes& b) { Put16(b, root, 20); }, VersionState::kDamaged,
       PeFault::kBadVersionResource},
      {"fixed part without its signature", [=](Bytes& b) { b[root + 40] ^= 0xFF; },
       VersionState::kDamaged, PeFault::kBadVersionResource},
      {"fixed part shorter than VS_FIXEDFILEINFO", [=](Bytes& b) { Put16(b, root + 2, 20); },
       VersionState::kDamaged, PeFault::kBadVersionResource},
      {"child of length zero", [=](Bytes& b) { Put16(b, rootChildren, 0); }, VersionState::kDamaged,
       PeFault::kBadVersionResource},
      {"child longer than its parent", [=](Bytes& b) { Put16(b, rootChildren, 0x7FFF); },
       VersionState::kDamaged, PeFault::kBadVersionResource},
  };
  const Bytes intact = BuildImage(StandardVersionInfo());
  for (const DamageCase& c : cases) {
    Bytes image = intact;
    c.damage(image);
    const VersionResource version = ReadVersionResource(image);
    EXPECT_EQ(version.state, c.state) << c.name;
    EXPECT_EQ(version.fault, c.fault) << c.name;
    if (version.state != VersionState::kPresent) {
      EXPECT_FALSE(version.fileVersion) << c.name;
      EXPECT_FALSE(version.originalFilename) << c.name;
    }
  }
}

TEST(WholeImageTest, TellsWholeI386ImagesFromTextsCutsAndOtherProcessors) {
  const Bytes image = BuildImage(StandardVersionInfo());
  const std::uint64_t size = image.size();
  const auto changed = [&image](const std::function<void(Bytes&)>& change) {
    Bytes copy = image;
    change(copy);
    return copy;
  };
  const auto cut = [&image](std::size_t length) {
    return Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
  };
  const auto bytesOf = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
  const std::size_t section = kSectionTablePe32;
  struct Case {
    const char* name;
    Bytes file;
    ImageFault fault;
    std::uint16_t machine;
    std::uint64_t requiredSize;
  } cases[] = {
      {"the built image", image, ImageFault::kNone, 0x14C, size},
      {"bytes after the last section", changed([](Bytes& b) { Append(b, {1, 2, 3}); }),
       ImageFault::kNone, 0x14C, size},
      {"a section without raw data points anywhere",
       changed([&](Bytes& b) {
         Put32(b, section + kSectionSizeOfRawData, 0);
         Put32(b, section + kSectionPointerToRawData, 0x7FFFFFFF);
       }),
       ImageFault::kNone, 0x14C, 0},
      {"built for the Alpha", changed([](Bytes& b) { Put16(b, kNtHeaders + 4, 0x184); }),
       ImageFault::kOtherMachine, 0x184, 0},
      {"built for the PowerPC, and cut off",
       [&] {
         Bytes b = cut(kResourceFileOffset + 8);
         Put16(b, kNtHeaders + 4, 0x1F0);
         return b;
       }(),
       ImageFault::kOtherMachine, 0x1F0, 0},
      {"PE32+", BuildImage(StandardVersionInfo(), true), ImageFault::kOtherMachine, 0x14C, 0},
      {"one byte short of its section", cut(image.size() - 1), ImageFault::kCutOff, 0x14C, size},
      {"headers larger than the file",
       changed([&](Bytes& b) { Put32(b, kOptional + kOptionalSizeOfHeaders, 0x10000); }),
       ImageFault::kCutOff, 0x14C, 0x10000},
      {"a section reaching past the end",
       changed([&](Bytes& b) { Put32(b, section + kSectionPointerToRawData, 0xFFFFFFFF); }),
       ImageFault::kCutOff, 0x14C, 0xFFFFFFFFull + (size - kResourceFileOffset)},
      {"cut inside the section table", cut(section + 20), ImageFault::kCutOff, 0x14C,
       section + kSectionHeaderSize},
      {"cut before the optional header's magic", cut(kOptional), ImageFault::kCutOff, 0,
       kOptional + 2},
      {"cut inside the MS-DOS header", cut(0x30), ImageFault::kCutOff, 0, kDosHeaderSize},
      {"a text", bytesOf("stand-in HALMPS.DLL\r\n"), ImageFault::kNotPe, 0, 0},
      {"an empty file", {}, ImageFault::kNotPe, 0, 0},
      {"a cabinet", bytesOf(std::string("MSCF\0\0\0\0", 8) + std::string(0x40, 'x')),
       ImageFault::kNotPe, 0, 0},
      {"a compress.exe file", bytesOf(std::string("SZDD\x88\xF0\x27\x33", 8) + "A" + std::string(0x40, 'x')),
       ImageFault::kNotPe, 0, 0},
      {"an MS-DOS program", changed([](Bytes& b) { Put32(b, kNtHeaders, 0x454E); }),
       ImageFault::kNotPe, 0, 0},
      {"an optional header of no known format",
       changed([](Bytes& b) { Put16(b, kOptional + kOptionalMagic, 0x107); }), ImageFault::kNotPe,
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ImageCheck check = CheckWholeImage(c.file);
    EXPECT_EQ(check.fault, c.fault);
    EXPECT_EQ(check.machine, c.machine);
    if (c.fault == ImageFault::kCutOff) {
      EXPECT_EQ(check.requiredSize, c.requiredSize);
      EXPECT_GT(check.requiredSize, c.file.size());
    } else if (c.fault == ImageFault::kNone) {
      EXPECT_EQ(check.requiredSize, c.requiredSize);
    }
  }
}

TEST(WholeImageTest, EveryCutOfAnImageIsCutOffOrNoImage) {
  const Bytes image = BuildImage(StandardVersionInfo());
  for (std::size_t length = 0; length < image.size(); ++length) {
    const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
    const ImageFault fault = CheckWholeImage(cut).fault;
    // Too short to hold even "MZ" and e_lfanew's target, a cut is no PE image at all.
    EXPECT_TRUE(fault == ImageFault::kCutOff || (fault == ImageFault::kNotPe && length < kNtHeaders + 4))
        << length;
  }
}

TEST(VersionResourceTest, EveryCutOfAnImageIsReadWithoutLeavingIt) {
  // Each prefix is a copy of exactly its length, so a read past it is caught by the
  // sanitizers; what matters here is that every cut gives an answer.
  const Bytes image = BuildImage(StandardVersionInfo());
  for (std::size_t length = 0; length < image.size(); ++length) {
    const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
    const VersionResource version = ReadVersionResource(cut);
    if (length < kResourceFileOffset) {
      EXPECT_EQ(version.state, VersionState::kDamaged) << length;
    }
  }
}

// The fuzz target's seeds are made by a Python script of their own; read here, they must be
// what their names say, or the fuzzer starts from inputs that miss what they were made for.
TEST(VersionResourceTest, FuzzSeedsAreWhatTheirNamesSay) {
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  struct Seed {
    const char* name;
    VersionState state;
    PeFault fault;
    std::optional<std::string> originalFilename;
    bool checkSummed;
    ImageFault image;
  };
  constexpr VersionState kPresent = VersionState::kPresent;
  const Seed seeds[] = {
      {"version.dll", kPresent, PeFault::kNone, "halmps.dll", true, ImageFault::kNone},
      {"pe32plus.dll", kPresent, PeFault::kNone, "ntoskrnl.exe", true, ImageFault::kOtherMachine},
      {"two-languages.dll", kPresent, PeFault::kNone, "deutsch.dll", true, ImageFault::kNone},
      {"no-fixed-part.dll", kPresent, PeFault::kNone, "halmps.dll", true, ImageFault::kNone},
      {"no-version.dll", VersionState::kAbsent, PeFault::kNone, std::nullopt, true,
       ImageFault::kNone},
      {"odd-length.dll", kPresent, PeFault::kNone, "halmps.dll", true, ImageFault::kNone},
      {"resource-loop.dll", VersionState::kDamaged, PeFault::kBadResourceDirectory, std::nullopt,
       true, ImageFault::kNone},
      {"truncated.dll", VersionState::kDamaged, PeFault::kTruncatedHeaders, std::nullopt, false,
       ImageFault::kCutOff},
      {"dos-only.exe", VersionState::kDamaged, PeFault::kNotPe, std::nullopt, false,
       ImageFault::kNotPe},
      {"alpha.exe", kPresent, PeFault::kNone, "ntkrnlmp.exe", true, ImageFault::kOtherMachine},
      {"cut-section.dll", VersionState::kDamaged, PeFault::kBadResourceDirectory, std::nullopt,
       false, ImageFault::kCutOff},
  };
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.name);
    const Bytes file = ReadFile(std::string(source) + "/fuzz/corpus/pe_file/" + seed.name);
    ASSERT_FALSE(file.empty());
    const VersionResource version = ReadVersionResource(file);
    EXPECT_EQ(version.state, seed.state);
    EXPECT_EQ(version.fault, seed.fault);
    EXPECT_EQ(version.originalFilename, seed.originalFilename);
    EXPECT_EQ(CheckWholeImage(file).fault, seed.image);
    if (seed.checkSummed) {
      const PeHeadersRead read = ReadPeHeaders(file);
      ASSERT_EQ(read.fault, PeFault::kNone);
      EXPECT_EQ(read.headers.headerCheckSum, ComputeFileCheckSum(file));
    }
  }
}

TEST(FileVersionTest, WordsSplitHighFirst) {
  EXPECT_EQ(FileVersion::FromWords(0x00040000, 0x05650007), (FileVersion{4, 0, 1381, 7}));
  EXPECT_EQ(FileVersion::FromWords(0x00040000, 0x05658132).ToString(), "4.0.1381.33074");
  EXPECT_EQ(FileVersion::FromWords(0xFFFF0001, 0x00020003).ToString(), "65535.1.2.3");
}

}  // namespace
}  // namespace halshift::pe
