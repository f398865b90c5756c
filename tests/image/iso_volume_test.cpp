// ISO 9660 media: images made by genisoimage and xorriso in a temporary folder, read back by
// name without regard to case or version suffix.
#include "tests/support/host_file.h"
#include "platform/image/iso_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

namespace fs = std::filesystem;
using Path = std::vector<std::string>;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Bytes that differ from block to block, so that a read of the wrong block shows.
std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 2048) & 0xFF);
  return bytes;
}

// A media tree in a throw-away folder, made into images by the tools.
class IsoVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = temp_.Root() / "source";
    WriteFile(source_ / "I386" / "HAL.DL_", "compressed hal");
    WriteFile(source_ / "I386" / "NTOSKRNL.EX_", Pattern(5000));
    WriteFile(source_ / "I386" / "SUB" / "DEEP.TXT", "deep");
    WriteFile(source_ / "README", "no extension");
    WriteFile(source_ / "EMPTY.TXT", "");
  }

  // Runs a tool that writes image from source_; fails the test when it does not succeed.
  fs::path Make(const std::string& name, const std::string& tool) {
    const fs::path image = temp_.Root() / name;
    const fs::path log = temp_.Root() / (name + ".log");
    const std::string command = tool + " -quiet -o " + Quoted(image) + " " + Quoted(source_) + " >" +
                                Quoted(log) + " 2>&1";
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << command << "\n" << halshift::testing::ReadHostFile(log);
    }
    return image;
  }

  std::unique_ptr<IsoVolume> Open(const fs::path& image) {
    std::string error;
    auto volume = IsoVolume::Open(image, error);
    EXPECT_TRUE(volume) << error;
    return volume;
  }

  testing::TempImage temp_;
  fs::path source_;
};

std::vector<std::string> Names(const std::vector<IsoVolume::Entry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.name + (entry.directory ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(IsoVolumeTest, PlainLevelOneNames) {
  const auto volume = Open(Make("plain.iso", "genisoimage"));
  ASSERT_TRUE(volume);
  struct Case {
    const char* name;
    Path path;
    bool found;
    bool directory;
    std::uint64_t size;
  };
  const std::vector<Case> cases = {
      {"Root", {}, true, true, 2048},
      {"Folder", {"I386"}, true, true, 2048},
      {"FolderLowerCase", {"i386"}, true, true, 2048},
      {"File", {"I386", "HAL.DL_"}, true, false, 14},
      {"FileMixedCase", {"i386", "Hal.Dl_"}, true, false, 14},
      {"FileWithVersion", {"I386", "HAL.DL_;1"}, true, false, 14},
      {"NoExtension", {"readme"}, true, false, 12},
      {"NoExtensionWithDot", {"README."}, true, false, 12},
      {"Nested", {"I386", "sub", "deep.txt"}, true, false, 4},
      {"Empty", {"EMPTY.TXT"}, true, false, 0},
      {"Missing", {"I386", "HAL.DLL"}, false, false, 0},
      {"BelowAFile", {"I386", "HAL.DL_", "X"}, false, false, 0},
      {"Dot", {"."}, false, false, 0},
      {"DotDot", {"I386", ".."}, false, false, 0},
      {"EmptyComponent", {"I386", ""}, false, false, 0},
      {"Prefix", {"I38"}, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto entry = volume->Find(c.path);
    ASSERT_EQ(entry.has_value(), c.found);
    if (!entry) continue;
    EXPECT_EQ(entry->directory, c.directory);
    EXPECT_EQ(entry->size, c.size);
  }
  const Path halPath{"I386", "HAL.DL_"};
  EXPECT_EQ(volume->Find(halPath)->name, "HAL.DL_") << "served without ;1";
}

TEST_F(IsoVolumeTest, ListAndRead) {
  const auto volume = Open(Make("plain.iso", "genisoimage"));
  ASSERT_TRUE(volume);
  EXPECT_EQ(Names(volume->List(Path{})), (std::vector<std::string>{"EMPTY.TXT", "I386/", "README"}));
  EXPECT_EQ(Names(volume->List(Path{"i386"})), (std::vector<std::string>{"HAL.DL_", "NTOSKRNL.EX_", "SUB/"}));
  EXPECT_TRUE(volume->List(Path{"I386", "HAL.DL_"}).empty()) << "a file is no directory";
  EXPECT_TRUE(volume->List(Path{"NOWHERE"}).empty());

  EXPECT_EQ(volume->Read(Path{"i386", "hal.dl_"}), "compressed hal");
  EXPECT_EQ(volume->Read(Path{"I386", "NTOSKRNL.EX_"}), Pattern(5000)) << "a file over three blocks";
  EXPECT_EQ(volume->Read(Path{"I386", "SUB", "DEEP.TXT"}), "deep");
  EXPECT_EQ(volume->Read(Path{"EMPTY.TXT"}), "");
  EXPECT_FALSE(volume->Read(Path{"I386"})) << "a directory is no file";
  EXPECT_FALSE(volume->Read(Path{}));
  EXPECT_FALSE(volume->Read(Path{"MISSING.TXT"}));
}

// With Rock Ridge and Joliet the long, mixed-case names of the tree are served, and still
// found without regard to case.
TEST_F(IsoVolumeTest, RockRidgeAndJolietNames) {
  WriteFile(source_ / "Service Pack 6a" / "i386" / "halmps.dll", "mps");
  int made = 0;
  for (const char* tool : {"genisoimage -J -R", "xorriso -as mkisofs -J -R", "genisoimage -J"}) {
    SCOPED_TRACE(tool);
    const auto volume = Open(Make("long" + std::to_string(++made) + ".iso", tool));
    ASSERT_TRUE(volume);
    const auto entry = volume->Find(Path{"SERVICE PACK 6A", "I386", "HALMPS.DLL"});
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "halmps.dll");
    EXPECT_EQ(volume->Read(Path{"service pack 6a", "i386", "halmps.dll"}), "mps");
    const auto root = Names(volume->List(Path{}));
    EXPECT_NE(std::find(root.begin(), root.end(), "Service Pack 6a/"), root.end());
  }
}

// A symbolic link in a Rock Ridge image is never served: media that point elsewhere are not
// followed.
TEST_F(IsoVolumeTest, SymbolicLinksAreLeftOut) {
  fs::create_symlink("/etc/passwd", source_ / "I386" / "LINK.TXT");
  const auto volume = Open(Make("links.iso", "genisoimage -R"));
  ASSERT_TRUE(volume);
  EXPECT_FALSE(volume->Find(Path{"I386", "LINK.TXT"}));
  EXPECT_FALSE(volume->Read(Path{"I386", "LINK.TXT"}));
  const auto names = Names(volume->List(Path{"I386"}));
  EXPECT_EQ(std::find(names.begin(), names.end(), "LINK.TXT"), names.end());
}

// Rock Ridge keeps names that differ only in case, a damaged image may repeat one: a lookup
// without regard to case finds the first, and the listing shows that one alone, so what is
// listed is what Find and Read give.
TEST_F(IsoVolumeTest, NamesThatDifferOnlyInCaseAreListedOnce) {
  WriteFile(source_ / "I386" / "hal.dll", "first");
  WriteFile(source_ / "I386" / "HAL.DLL" / "INNER.TXT", "inner");
  const auto volume = Open(Make("cases.iso", "genisoimage -R"));
  ASSERT_TRUE(volume);
  const auto entries = volume->List(Path{"I386"});
  std::vector<IsoVolume::Entry> hal;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(hal),
               [](const IsoVolume::Entry& entry) { return entry.name == "hal.dll" || entry.name == "HAL.DLL"; });
  ASSERT_EQ(hal.size(), 1u);
  const auto found = volume->Find(Path{"I386", "Hal.Dll"});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, hal[0].name);
  EXPECT_EQ(found->directory, hal[0].directory);
  EXPECT_EQ(volume->Read(Path{"I386", "HAL.DLL"}).has_value(), !hal[0].directory);
}

TEST_F(IsoVolumeTest, NotAnImage) {
  WriteFile(temp_.Root() / "text.iso", Pattern(100000));
  WriteFile(temp_.Root() / "empty.iso", "");
  const fs::path plain = Make("plain.iso", "genisoimage");
  // Only the system area and the first volume descriptor's first half.
  std::ifstream in(plain, std::ios::binary);
  std::string head(16 * 2048 + 1024, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  WriteFile(temp_.Root() / "cut.iso", head);
  struct Case {
    const char* name;
    fs::path path;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"Text", temp_.Root() / "text.iso", "not an ISO 9660 image"},
      {"EmptyFile", temp_.Root() / "empty.iso", "not an ISO 9660 image"},
      {"CutInTheDescriptor", temp_.Root() / "cut.iso", "not an ISO 9660 image"},
      {"Missing", temp_.Root() / "missing.iso", "not a file"},
      {"Folder", source_, "not a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(IsoVolume::Open(c.path, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

// An image cut short after its directories: the files whose bytes are gone cannot be read,
// and nothing is read from past the end.
TEST_F(IsoVolumeTest, CutImage) {
  const fs::path plain = Make("plain.iso", "genisoimage");
  const auto whole = Open(plain);
  ASSERT_TRUE(whole);
  ASSERT_TRUE(whole->Read(Path{"I386", "NTOSKRNL.EX_"}));
  std::string bytes = halshift::testing::ReadHostFile(plain);
  // Cut inside the largest file's extent, the last data in the image: its first block stays.
  const std::string big = Pattern(5000);
  const std::size_t start = bytes.find(big.substr(0, 64));
  ASSERT_NE(start, std::string::npos);
  WriteFile(temp_.Root() / "cut.iso", bytes.substr(0, start + 3000));
  const auto cut = Open(temp_.Root() / "cut.iso");
  ASSERT_TRUE(cut);
  EXPECT_TRUE(cut->Find(Path{"I386", "NTOSKRNL.EX_"}));
  EXPECT_FALSE(cut->Read(Path{"I386", "NTOSKRNL.EX_"}));
  EXPECT_EQ(cut->Read(Path{"I386", "HAL.DL_"}), "compressed hal");
}

TEST(IsoDisplayNameTest, VersionAndDot) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"HAL.DL_;1", "HAL.DL_"}, {"README.;1", "README"}, {"README.", "README"},
      {"A;12", "A"},            {"A;B", "A;B"},          {"PLAIN", "PLAIN"},
      {".", "."},               {"X.TXT;", "X.TXT"},     {"", ""},
  };
  for (const auto& [recorded, shown] : cases) EXPECT_EQ(IsoDisplayName(recorded), shown) << recorded;
}

}  // namespace
}  // namespace halshift::image
