// The Windows help file HALSHIFT.HLP and its contents file HALSHIFT.CNT as the build writes them
// from docs/manual/: the file's internal directory, its title in |SYSTEM, and |CONTEXT, which
// must hold every topic that the contents file lists and that the program opens.
//
// The reader below knows just enough of the WinHelp 4 file to find those: the file header, the
// B+ trees of the directory and of |CONTEXT (leaf pages walked from the first), and the
// records of |SYSTEM. Every read is checked against the bytes there are.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/host_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadBytes(const std::string& path) {
  const std::string bytes = halshift::testing::ReadHostFile(path);
  return Bytes(bytes.begin(), bytes.end());
}

std::optional<std::uint32_t> U32(const Bytes& b, std::size_t at) {
  if (at > b.size() || b.size() - at < 4) return std::nullopt;
  return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::optional<std::uint16_t> U16(const Bytes& b, std::size_t at) {
  if (at > b.size() || b.size() - at < 2) return std::nullopt;
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::optional<std::string> ZString(const Bytes& b, std::size_t at, std::size_t end) {
  std::string s;
  for (std::size_t i = at; i < end && i < b.size(); ++i) {
    if (b[i] == 0) return s;
    s += static_cast<char>(b[i]);
  }
  return std::nullopt;
}

// WinHelp's hash of a context string: 43 times the hash so far plus the character's value,
// letters in either case 17 to 42, '1' to '9' 1 to 9, '0' 10, '.' 12, '_' 13.
std::uint32_t ContextHash(std::string_view context) {
  std::uint32_t hash = 0;
  for (char c : context) {
    std::uint32_t value = 0;
    if (c >= 'A' && c <= 'Z') value = static_cast<std::uint32_t>(c - 'A' + 17);
    else if (c >= 'a' && c <= 'z') value = static_cast<std::uint32_t>(c - 'a' + 17);
    else if (c >= '1' && c <= '9') value = static_cast<std::uint32_t>(c - '0');
    else if (c == '0') value = 10;
    else if (c == '.') value = 12;
    else if (c == '_') value = 13;
    hash = hash * 43 + value;
  }
  return hash;
}

// One internal file: its bytes after the 9-byte file header.
struct InternalFile {
  std::size_t start = 0;  // first byte after the file header
  std::size_t end = 0;
};

std::optional<InternalFile> FileAt(const Bytes& b, std::size_t offset) {
  const auto reserved = U32(b, offset);
  const auto used = U32(b, offset + 4);
  if (!reserved || !used || *used > *reserved || offset + 9 > b.size() ||
      b.size() - offset - 9 < *used) {
    return std::nullopt;
  }
  return InternalFile{offset + 9, offset + 9 + *used};
}

// The leaf entries of a B+ tree file, each handed to entry(at, end) which returns the size of
// the entry or nothing when it does not fit.
template <typename Entry>
bool WalkBTree(const Bytes& b, const InternalFile& file, std::string_view structure, Entry entry) {
  const std::size_t h = file.start;
  const auto magic = U16(b, h);
  const auto pageSize = U16(b, h + 4);
  const auto root = U16(b, h + 26);
  const auto pages = U16(b, h + 30);
  const auto levels = U16(b, h + 32);
  if (!magic || *magic != 0x293B || !pageSize || *pageSize < 8 || !root || !pages || !levels ||
      *levels == 0 || *root >= *pages) {
    return false;
  }
  const auto name = ZString(b, h + 6, h + 22);
  if (!name || *name != structure) return false;
  const std::size_t first = h + 38;
  if (first + std::size_t{*pages} * *pageSize > file.end) return false;
  auto pageAt = [&](std::uint16_t page) { return first + std::size_t{page} * *pageSize; };
  // Down the first children to the leaves.
  std::uint16_t page = *root;
  for (unsigned level = 1; level < *levels; ++level) {
    const auto child = U16(b, pageAt(page) + 4);
    if (!child || *child >= *pages) return false;
    page = *child;
  }
  std::set<std::uint16_t> seen;
  while (page != 0xFFFF) {
    if (page >= *pages || !seen.insert(page).second) return false;
    const std::size_t at = pageAt(page);
    const auto count = U16(b, at + 2);
    const auto next = U16(b, at + 6);
    if (!count || !next) return false;
    std::size_t p = at + 8;
    const std::size_t pageEnd = at + *pageSize;
    for (unsigned i = 0; i < *count; ++i) {
      const std::optional<std::size_t> size = entry(p, pageEnd);
      if (!size) return false;
      p += *size;
    }
    page = *next;
  }
  return true;
}

struct HelpFile {
  std::map<std::string, std::uint32_t> directory;  // internal file name -> offset
  std::string title;
  std::set<std::uint32_t> contextHashes;
};

std::optional<HelpFile> ReadHelpFile(const Bytes& b) {
  const auto magic = U32(b, 0);
  const auto directoryStart = U32(b, 4);
  const auto fileSize = U32(b, 12);
  if (!magic || *magic != 0x00035F3F || !directoryStart || !fileSize || *fileSize != b.size()) {
    return std::nullopt;
  }
  HelpFile help;
  const auto directory = FileAt(b, *directoryStart);
  if (!directory) return std::nullopt;
  const bool walked = WalkBTree(b, *directory, "z4", [&](std::size_t at, std::size_t end)
                                    -> std::optional<std::size_t> {
    const auto name = ZString(b, at, end);
    if (!name) return std::nullopt;
    const auto offset = U32(b, at + name->size() + 1);
    if (!offset || at + name->size() + 5 > end) return std::nullopt;
    help.directory[*name] = *offset;
    return name->size() + 5;
  });
  if (!walked) return std::nullopt;

  // |SYSTEM: a header, then records (type, size, data); type 1 is the title.
  if (!help.directory.count("|SYSTEM")) return std::nullopt;
  const std::optional<InternalFile> systemFile = FileAt(b, help.directory["|SYSTEM"]);
  if (!systemFile) return std::nullopt;
  const InternalFile* system = &*systemFile;
  const auto systemMagic = U16(b, system->start);
  const auto minor = U16(b, system->start + 2);
  if (!systemMagic || *systemMagic != 0x036C || !minor) return std::nullopt;
  std::size_t p = system->start + 12;
  if (*minor <= 16) {
    const auto title = ZString(b, p, system->end);
    if (!title) return std::nullopt;
    help.title = *title;
  } else {
    while (p + 4 <= system->end) {
      const auto type = U16(b, p);
      const auto size = U16(b, p + 2);
      if (!type || !size || p + 4 + *size > system->end) return std::nullopt;
      if (*type == 1) {
        const auto title = ZString(b, p + 4, p + 4 + *size);
        if (!title) return std::nullopt;
        help.title = *title;
      }
      p += 4 + *size;
    }
  }

  // |CONTEXT: the hash of each context string and its topic's offset.
  const auto context = help.directory.count("|CONTEXT") ? FileAt(b, help.directory["|CONTEXT"])
                                                         : std::nullopt;
  if (!context) return std::nullopt;
  const bool contexts = WalkBTree(b, *context, "L4", [&](std::size_t at, std::size_t end)
                                      -> std::optional<std::size_t> {
    const auto hash = U32(b, at);
    if (!hash || at + 8 > end) return std::nullopt;
    help.contextHashes.insert(*hash);
    return 8;
  });
  if (!contexts) return std::nullopt;
  return help;
}

// The context strings of a contents file: what follows the last "=" of each topic line.
std::vector<std::string> ContentsContexts(const std::string& cnt) {
  std::vector<std::string> contexts;
  std::size_t start = 0;
  while (start < cnt.size()) {
    std::size_t end = cnt.find('\n', start);
    if (end == std::string::npos) end = cnt.size();
    std::string line = cnt.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ':') continue;
    const std::size_t equals = line.rfind('=');
    if (equals != std::string::npos) contexts.push_back(line.substr(equals + 1));
  }
  return contexts;
}

class HelpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = ReadBytes(HALSHIFT_HELP_FILE);
    ASSERT_FALSE(bytes_.empty()) << HALSHIFT_HELP_FILE;
    const Bytes cnt = ReadBytes(HALSHIFT_HELP_CONTENTS);
    contents_.assign(cnt.begin(), cnt.end());
    ASSERT_FALSE(contents_.empty()) << HALSHIFT_HELP_CONTENTS;
  }
  Bytes bytes_;
  std::string contents_;
};

TEST(ContextHash, AsWinHelpComputesIt) {
  EXPECT_EQ(ContextHash(""), 0u);
  EXPECT_EQ(ContextHash("a"), 17u);
  EXPECT_EQ(ContextHash("A"), 17u);
  EXPECT_EQ(ContextHash("z"), 42u);
  EXPECT_EQ(ContextHash("1"), 1u);
  EXPECT_EQ(ContextHash("0"), 10u);
  EXPECT_EQ(ContextHash("a_"), 17u * 43 + 13);
  EXPECT_EQ(ContextHash("b.0"), (18u * 43 + 12) * 43 + 10);
  EXPECT_EQ(ContextHash("Top"), ContextHash("TOP"));
  // The arithmetic is modulo 2^32.
  EXPECT_EQ(ContextHash("zzzzzzz"), [] {
    std::uint32_t h = 0;
    for (int i = 0; i < 7; ++i) h = h * 43 + 42;
    return h;
  }());
}

TEST_F(HelpFileTest, DirectoryTitleAndContexts) {
  const std::optional<HelpFile> help = ReadHelpFile(bytes_);
  ASSERT_TRUE(help);
  for (const char* name : {"|SYSTEM", "|CONTEXT", "|TOPIC", "|FONT", "|TTLBTREE"}) {
    EXPECT_TRUE(help->directory.count(name)) << name;
  }
  EXPECT_EQ(help->title, "Orvane Hardware Abstraction Layer Utility");
  // The contents topic and one per section.
  EXPECT_GE(help->contextHashes.size(), 20u);
}

// Every topic the contents file lists resolves; the contents file's title is the help file's.
TEST_F(HelpFileTest, EveryContentsEntryResolves) {
  const std::optional<HelpFile> help = ReadHelpFile(bytes_);
  ASSERT_TRUE(help);
  EXPECT_EQ(contents_.rfind(":Title Orvane Hardware Abstraction Layer Utility", 0), 0u);
  const std::vector<std::string> contexts = ContentsContexts(contents_);
  ASSERT_GE(contexts.size(), 20u);
  for (const std::string& context : contexts) {
    EXPECT_TRUE(help->contextHashes.count(ContextHash(context))) << context;
  }
}

// Halibut sorts |CONTEXT by the hashes as unsigned numbers, and Wine's viewer searches it
// comparing them as signed ones, giving up at the first larger entry: a hash of 2^31 or more
// would sort first for one and last for the other, and its topic would not open. The context
// ids are chosen so that every hash stays below 2^31, where both orders agree.
TEST_F(HelpFileTest, EveryHashSortsAlikeSignedAndUnsigned) {
  const std::optional<HelpFile> help = ReadHelpFile(bytes_);
  ASSERT_TRUE(help);
  for (std::uint32_t hash : help->contextHashes) EXPECT_LT(hash, 0x80000000u) << std::hex << hash;
}

// The topics the program and its texts send the user to, with their stable context ids: the
// Help button opens the contents ("Top", where HELP_FINDER and winhlp32 start), text 105
// promises the instructions to switch by hand, text 129 the command line. The Linux build's
// own pages stay out.
TEST_F(HelpFileTest, TheTopicsAUserNeeds) {
  const std::optional<HelpFile> help = ReadHelpFile(bytes_);
  ASSERT_TRUE(help);
  const std::vector<std::string> contexts = ContentsContexts(contents_);
  const std::set<std::string> listed(contexts.begin(), contexts.end());
  for (const char* id : {"Top", "what_it_does", "processors", "interrupted_change",
                         "service_packs", "reverted_hal", "recovery_mode", "running", "window",
                         "controls", "media_prompt", "upgrade_downgrade", "command_line",
                         "keywords", "exit_code", "files", "log_file", "messages",
                         "does_not_start", "example"}) {
    EXPECT_TRUE(help->contextHashes.count(ContextHash(id))) << id;
    EXPECT_TRUE(listed.count(id)) << id;
  }
  for (const char* id : {"environment", "terminal", "name", "synopsis"}) {
    EXPECT_FALSE(help->contextHashes.count(ContextHash(id))) << id;
    EXPECT_FALSE(listed.count(id)) << id;
  }
}

// The reader refuses what is not a whole help file, rather than reading past it.
TEST_F(HelpFileTest, DamagedFilesAreRefused) {
  ASSERT_TRUE(ReadHelpFile(bytes_));
  struct Damage {
    const char* what;
    std::size_t at;  // byte to change; npos: cut the file in half
    unsigned char value;
  };
  const std::uint32_t directory = *U32(bytes_, 4);
  const Damage damages[] = {
      {"file magic", 0, 0x00},
      {"directory offset", 7, 0x7F},
      {"file size", 12, 0x01},
      {"directory's tree magic", directory + 9, 0x00},
      {"directory's used size", directory + 7, 0x7F},
      {"cut in half", std::string::npos, 0},
  };
  for (const Damage& d : damages) {
    Bytes damaged = bytes_;
    if (d.at == std::string::npos) {
      damaged.resize(damaged.size() / 2);
    } else {
      damaged[d.at] = d.value;
    }
    EXPECT_FALSE(ReadHelpFile(damaged)) << d.what;
  }
  EXPECT_FALSE(ReadHelpFile(Bytes{}));
}

}  // namespace#include "tests/support/host_file.h"

