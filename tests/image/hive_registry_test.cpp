// The registry of an offline NT 4.0 installation from its SOFTWARE and SYSTEM hives: what the
// test hives hold as hivex reads them, reading and setting values, the hives that are refused
// with nothing changed, and the rewrite failed at each call and ended at each step.
#include "tests/support/host_file.h"
#include "platform/image/hive_registry.h"

#include <gtest/gtest.h>
#include <hivex.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "core/registry_values.h"
#include "inspect/survey.h"
#include "tests/support/image_builder.h"
#include "tests/support/nt4_hive.h"

namespace halshift {
namespace {

using namespace testing;
using image::FaultInjector;
using image::HiveRegistry;

constexpr std::string_view kCurrentVersion = "Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::string_view kWindowsControl = "System\\CurrentControlSet\\Control\\Windows";

std::string ReadBytes(const std::filesystem::path& path) {
  return halshift::testing::ReadHostFile(path);
}

void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A config folder with the two hives of a plain installation.
class HiveFolder {
 public:
  HiveFolder(const HiveKey& software = Nt4SoftwareHive(), const HiveKey& system = Nt4SystemHive()) {
    WriteNt4Hives(folder_, software, system);
  }
  std::filesystem::path Software() const { return folder_ / "SOFTWARE"; }
  std::filesystem::path System() const { return folder_ / "SYSTEM"; }
  const std::filesystem::path& Folder() const { return folder_; }

  std::unique_ptr<HiveRegistry> Open(std::string& error) {
    return HiveRegistry::Open(Software(), System(), faults, error);
  }
  std::unique_ptr<HiveRegistry> Open() {
    std::string error;
    auto registry = Open(error);
    EXPECT_NE(registry, nullptr) << error;
    return registry;
  }

  FaultInjector faults;

 private:
  TempImage temp_;
  std::filesystem::path folder_ = temp_.Root() / "WINNT" / "system32" / "config";
};

struct Read {
  long status;
  std::uint32_t type;
  std::string data;
};

Read Query(platform::Registry& registry, std::string_view key, std::string_view name,
           std::size_t room = 512) {
  std::vector<std::uint8_t> buffer(room);
  const auto result = registry.QueryValue(key, name, buffer);
  Read read{result.status, result.type, {}};
  if (result.status == platform::kErrorSuccess) {
    read.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(result.size));
  } else if (result.status == platform::kErrorMoreData) {
    read.data = std::to_string(result.size);
  }
  return read;
}

std::string Text(std::string_view text) { return std::string(text) + '\0'; }

long SetText(platform::Registry& registry, std::string_view key, std::string_view name,
             std::string_view text) {
  const std::string data = Text(text);
  return registry.SetValue(key, name, platform::kRegSz,
                           std::span(reinterpret_cast<const std::uint8_t*>(data.data()),
                                     data.size()));
}

// A value read straight through hivex: its type and its data as stored.
struct HivexValue {
  bool found = false;
  std::uint32_t type = 0;
  std::string data;
};

HivexValue ReadThroughHivex(const std::filesystem::path& hive, std::string_view keyPath,
                            const char* valueName) {
  const auto value = ReadHiveValue(hive, keyPath, valueName);
  if (!value) return {};
  return {true, value->type, value->data};
}

// ---- the generator, read back through hivex ----

TEST(Nt4HiveTest, HivexReadsEveryValueTypeSmallAndLongAndEveryListKind) {
  HiveKey root{"ROOT", {}, {}};
  const std::string longBinary(20000, '\x5A');  // more than a bin: a cell over several pages
  HiveKey& key = root.At("Types");
  key.Set(SzValue("Sz", "a")).Set(SzValue("LongSz", "a text of some length"))
      .Set(ExpandSzValue("Expand", "%SystemRoot%\\system32"))
      .Set(DwordValue("Dword", 0x12345678))
      .Set(BinaryValue("Small", "\x01\x02\x03"))
      .Set(BinaryValue("Long", longBinary))
      .Set(MultiSzValue("Multi", {"one", "two"}))
      .Set(SzValue("", "default"));
  for (int i = 0; i < 40; ++i) root.At("Many\\Key" + std::to_string(100 + i));
  const struct {
    std::size_t listLimit;
    std::string manyLists;
  } kCases[] = {{256, "lf"}, {16, "ri"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE("lists of at most " + std::to_string(c.listLimit));
    HiveFolder folder;
    HiveOptions options;
    options.listLimit = c.listLimit;
    WriteNt4Hive(folder.Software(), root, options);
    ASSERT_TRUE(IsNt4Hive(folder.Software()));
    const HiveWalk walk = WalkHive(ReadBytes(folder.Software()));
    EXPECT_EQ(walk.subkeyLists.at("\\Many").substr(0, 2), c.manyLists);
    EXPECT_EQ(walk.keys, 43u);
    EXPECT_EQ(walk.values, 8u);

    const struct {
      const char* name;
      std::uint32_t type;
      std::string data;
    } kValues[] = {
        {"Sz", 1, Utf16("a") + std::string(2, '\0')},
        {"longsz", 1, Utf16("a text of some length") + std::string(2, '\0')},
        {"Expand", 2, Utf16("%SystemRoot%\\system32") + std::string(2, '\0')},
        {"Dword", 4, "\x78\x56\x34\x12"},
        {"Small", 3, "\x01\x02\x03"},
        {"Long", 3, longBinary},
        {"Multi", 7, Utf16("one") + std::string(2, '\0') + Utf16("two") + std::string(4, '\0')},
        {"", 1, Utf16("default") + std::string(2, '\0')},
    };
    for (const auto& v : kValues) {
      SCOPED_TRACE(v.name);
      const HivexValue read = ReadThroughHivex(folder.Software(), "Types", v.name);
      ASSERT_TRUE(read.found);
      EXPECT_EQ(read.type, v.type);
      EXPECT_EQ(read.data, v.data);
    }
    // Every one of the many keys is found, through whichever lists hold it.
    hive_h* handle = hivex_open(folder.Software().c_str(), 0);
    ASSERT_NE(handle, nullptr);
    const hive_node_h many = hivex_node_get_child(handle, hivex_root(handle), "MANY");
    ASSERT_NE(many, 0u);
    EXPECT_EQ(hivex_node_nr_children(handle, many), 40u);
    EXPECT_NE(hivex_node_get_child(handle, many, "key139"), 0u);
    hivex_close(handle);
  }
}

TEST(Nt4HiveTest, TheCheckFindsAnLhListAndDifferingSequenceNumbers) {
  HiveFolder folder;
  ASSERT_TRUE(IsNt4Hive(folder.Software()));
  // A key added by hivex gets an "lh" list in a key that had no subkeys.
  hive_h* handle = hivex_open(folder.Software().c_str(), HIVEX_OPEN_WRITE);
  ASSERT_NE(handle, nullptr);
  const hive_node_h secure = hivex_node_get_child(handle, hivex_root(handle), "Secure");
  ASSERT_NE(secure, 0u);
  ASSERT_NE(hivex_node_add_child(handle, secure, "Added"), 0u);
  const auto added = folder.Folder() / "added";
  ASSERT_EQ(hivex_commit(handle, added.c_str(), 0), 0);
  hivex_close(handle);
  const auto withLh = IsNt4Hive(added);
  EXPECT_FALSE(withLh);
  EXPECT_NE(std::string(withLh.message()).find("\"lh\""), std::string::npos) << withLh.message();

  HiveOptions dirty;
  dirty.dirty = true;
  WriteNt4Hive(added, Nt4SoftwareHive(), dirty);
  const auto differing = IsNt4Hive(added);
  EXPECT_FALSE(differing);
  EXPECT_NE(std::string(differing.message()).find("sequence"), std::string::npos);
}

// What hivex_commit itself does to the header, on which the rewrite builds: one more on both
// sequence numbers, the checksum computed again, the time of the last write left alone (the
// rewrite sets it), the format kept.
TEST(Nt4HiveTest, HivexCommitKeepsTheHeaderWholeButNotItsTime) {
  HiveFolder folder;
  const std::string before = ReadBytes(folder.Software());
  hive_h* handle = hivex_open(folder.Software().c_str(), HIVEX_OPEN_WRITE);
  ASSERT_NE(handle, nullptr);
  const auto committed = folder.Folder() / "committed";
  ASSERT_EQ(hivex_commit(handle, committed.c_str(), 0), 0);
  hivex_close(handle);
  const std::string after = ReadBytes(committed);
  const auto field = [](const std::string& hive, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
      value = value << 8 | static_cast<std::uint8_t>(hive.at(offset + static_cast<std::size_t>(i)));
    }
    return value;
  };
  EXPECT_EQ(field(after, 0x04), field(before, 0x04) + 1);
  EXPECT_EQ(field(after, 0x08), field(after, 0x04));
  EXPECT_EQ(after.substr(0x0C, 8), before.substr(0x0C, 8));
  EXPECT_EQ(after.substr(0x14, 8), before.substr(0x14, 8));
  EXPECT_EQ(image::hive::CheckHeader(
                std::span(reinterpret_cast<const std::uint8_t*>(after.data()), after.size()),
                after.size()),
            image::hive::HeaderProblem::kNone);
  EXPECT_TRUE(IsNt4Hive(committed));
}

// ---- reading and setting ----

TEST(HiveRegistryTest, NamesTheControlSetAndConvertsTheCodePage) {
  using image::hive::ControlSetName;
  EXPECT_EQ(ControlSetName(0), std::nullopt);
  EXPECT_EQ(ControlSetName(1), "ControlSet001");
  EXPECT_EQ(ControlSetName(42), "ControlSet042");
  EXPECT_EQ(ControlSetName(999), "ControlSet999");
  EXPECT_EQ(ControlSetName(1000), std::nullopt);

  const auto bytes = [](std::string_view text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const struct {
    std::string utf16;
    std::string ansi;
  } kCases[] = {
      {std::string("A\0\xE9\0", 4), "A\xE9"},
      {std::string("\xAC\x20\x78\x01", 4), "\x80\x9F"},  // euro sign, Y with diaeresis
      {std::string("\x81\0", 2), "\x81"},                   // a byte 1252 leaves unused
      {std::string("\x3B\x04", 2), "?"},                     // Cyrillic: no byte for it
      {std::string("B\0C", 3), "B"},                         // an odd last byte
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(image::hive::AnsiFromUtf16(bytes(c.utf16)), c.ansi);
    if (c.ansi != "?" && c.utf16.size() % 2 == 0) {
      EXPECT_EQ(image::hive::Utf16FromAnsi(bytes(c.ansi)), c.utf16);
    }
  }
  EXPECT_EQ(image::hive::Utf8FromAnsi("a\xE9\x80"), "a\xC3\xA9\xE2\x82\xAC");
}

TEST(HiveRegistryTest, ReadsTheValuesOfTheInstallation) {
  HiveFolder folder;
  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  const struct {
    std::string_view key;
    std::string_view name;
    Read expected;
  } kCases[] = {
      {kCurrentVersion, "CurrentType", {0, 1, Text("Uniprocessor Free")}},
      {kCurrentVersion, "SystemRoot", {0, 1, Text("C:\\WINNT")}},
      {kCurrentVersion, "CSDVersion", {0, 1, Text("Service Pack 6")}},
      {"SOFTWARE\\microsoft\\WINDOWS NT\\currentversion", "currenttype",
       {0, 1, Text("Uniprocessor Free")}},
      {kWindowsControl, "CSDVersion", {0, 4, std::string("\x00\x06\x00\x00", 4)}},
      {"system\\currentcontrolset\\control\\windows", "csdversion",
       {0, 4, std::string("\x00\x06\x00\x00", 4)}},
      {"System\\ControlSet001\\Control\\Session Manager", "BootExecute",
       {0, 7, Text("autocheck autochk *") + '\0'}},
      {"System\\Select", "Current", {0, 4, std::string("\x01\x00\x00\x00", 4)}},
      {"Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesPath",
       {0, 2, Text("%SystemDrive%\\Program Files")}},
      {"Software\\Classes\\.txt", "", {0, 1, Text("txtfile")}},
      {"System\\Disk", "Information", {0, 3, std::string("\x01\x00\x00\x00\x0c", 5)}},
      {kCurrentVersion, "Missing", {platform::kErrorFileNotFound, 0, ""}},
      {"Software\\Missing", "CurrentType", {platform::kErrorFileNotFound, 0, ""}},
      {"Hardware\\Description", "x", {platform::kErrorFileNotFound, 0, ""}},
      {"Software\\\\Microsoft", "x", {platform::kErrorFileNotFound, 0, ""}},
      {"", "x", {platform::kErrorFileNotFound, 0, ""}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.key) + " " + std::string(c.name));
    const Read read = Query(*registry, c.key, c.name);
    EXPECT_EQ(read.status, c.expected.status);
    EXPECT_EQ(read.type, c.expected.type);
    EXPECT_EQ(read.data, c.expected.data);
  }
  // Too small a buffer reports what is needed.
  const Read small = Query(*registry, kCurrentVersion, "CurrentType", 4);
  EXPECT_EQ(small.status, platform::kErrorMoreData);
  EXPECT_EQ(small.data, "18");
}

// Names beyond ASCII are the system's code page in the program and Latin-1 or UTF-16 in the
// hive; they are found whatever the case of their ASCII letters.
TEST(HiveRegistryTest, FindsKeysAndValuesNamedInTheCodePage) {
  HiveKey software = Nt4SoftwareHive();
  software.At("Caf\xE9\\Men\xFC").Set(SzValue("Na\xEFve", "cr\xE8me"));
  HiveFolder folder(software);
  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  const Read read = Query(*registry, "Software\\CAF\xE9\\men\xFC", "NA\xEFVE");
  EXPECT_EQ(read.status, platform::kErrorSuccess);
  EXPECT_EQ(read.data, Text("cr\xE8me"));
  ASSERT_EQ(SetText(*registry, "Software\\Caf\xE9\\Men\xFC", "Na\xEFve", "\x80"),
            platform::kErrorSuccess);
  EXPECT_EQ(ReadThroughHivex(folder.Software(), "Caf\xC3\xA9\\Men\xC3\xBC", "Na\xC3\xAFve").data,
            std::string("\xAC\x20\0\0", 4));
  EXPECT_TRUE(IsNt4Hive(folder.Software()));
}

TEST(HiveRegistryTest, CurrentControlSetIsTheSetThatSelectNames) {
  HiveKey system = Nt4SystemHive();
  system.At("Select").Set(DwordValue("Current", 2));
  system.At("ControlSet002\\Control\\Windows").Set(DwordValue("CSDVersion", 0x300));
  HiveFolder folder(Nt4SoftwareHive(), system);
  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(Query(*registry, kWindowsControl, "CSDVersion").data,
            std::string("\x00\x03\x00\x00", 4));

  // A Select\Current naming no set, or none at all: the key is not there.
  for (const HiveValue& current : {DwordValue("Current", 7), SzValue("Current", "1")}) {
    HiveKey broken = Nt4SystemHive();
    broken.At("Select").Set(current);
    HiveFolder other(Nt4SoftwareHive(), broken);
    auto opened = other.Open();
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(Query(*opened, kWindowsControl, "CSDVersion").status, platform::kErrorFileNotFound);
    EXPECT_EQ(Query(*opened, "System\\ControlSet001\\Control\\Windows", "CSDVersion").status,
              platform::kErrorSuccess);
  }
}

std::uint32_t Sequence(const std::string& hive, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<std::uint8_t>(hive.at(offset + static_cast<std::size_t>(i)));
  }
  return value;
}

TEST(HiveRegistryTest, SettingCurrentTypeRewritesSoftwareAloneAndKeepsItAnNt4Hive) {
  HiveFolder folder;
  const std::string system = ReadBytes(folder.System());
  const std::string old = ReadBytes(folder.Software());
  const HiveWalk before = WalkHive(old);
  ASSERT_EQ(chmod(folder.Software().c_str(), 0640), 0);
  const bool attributes =
      setxattr(folder.Software().c_str(), "user.DOSATTRIB", "0x6", 3, 0) == 0;
  {
    auto registry = folder.Open();
    ASSERT_NE(registry, nullptr);
    ASSERT_EQ(SetText(*registry, kCurrentVersion, "currenttype", "Multiprocessor Free"),
              platform::kErrorSuccess);
    EXPECT_EQ(Query(*registry, kCurrentVersion, "CurrentType").data, Text("Multiprocessor Free"));
    // A second change works on the rewritten file.
    ASSERT_EQ(SetText(*registry, kCurrentVersion, "New Value", "x"), platform::kErrorSuccess);
    EXPECT_EQ(Query(*registry, kCurrentVersion, "New Value").data, Text("x"));
  }
  ASSERT_TRUE(IsNt4Hive(folder.Software()));
  const std::string now = ReadBytes(folder.Software());
  // Two commits, each a whole write: the sequence numbers are equal and two further on.
  EXPECT_EQ(Sequence(now, 4), Sequence(old, 4) + 2);
  EXPECT_EQ(Sequence(now, 8), Sequence(now, 4));
  EXPECT_NE(now.substr(0x0C, 8), old.substr(0x0C, 8));  // the time of the last write
  struct stat st {};
  ASSERT_EQ(stat(folder.Software().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (attributes) {
    char value[16] = {};
    EXPECT_EQ(getxattr(folder.Software().c_str(), "user.DOSATTRIB", value, sizeof(value)), 3);
    EXPECT_STREQ(value, "0x6");
  }
  const HiveWalk after = WalkHive(now);
  EXPECT_EQ(after.subkeyLists, before.subkeyLists);  // every subkey list as it was
  EXPECT_EQ(after.keys, before.keys);
  EXPECT_EQ(after.values, before.values + 1);

  // hivex reads the new value, under the name's old spelling; a fresh open too.
  const HivexValue read = ReadThroughHivex(folder.Software(), "Microsoft\\Windows NT\\CurrentVersion",
                                           "CurrentType");
  EXPECT_TRUE(read.found);
  EXPECT_EQ(read.type, 1u);
  EXPECT_EQ(read.data, Utf16("Multiprocessor Free") + std::string(2, '\0'));
  EXPECT_EQ(ReadHiveValue(folder.Software(), "Microsoft\\Windows NT\\CurrentVersion", "CURRENTTYPE")
                ->name,
            "CurrentType");
  const HiveWalk walk = WalkHive(ReadBytes(folder.Software()));
  EXPECT_TRUE(walk.problems.empty());
  auto again = folder.Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Query(*again, kCurrentVersion, "CurrentType").data, Text("Multiprocessor Free"));
  EXPECT_EQ(Query(*again, kCurrentVersion, "SystemRoot").data, Text("C:\\WINNT"));

  EXPECT_EQ(ReadBytes(folder.System()), system);
  EXPECT_EQ(FolderNames(folder.Folder()), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
}

TEST(HiveRegistryTest, SetsValuesOfEachTypeAndNeverKeysOrSystem) {
  HiveFolder folder;
  const std::string system = ReadBytes(folder.System());
  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  const std::string longData(300, '\x11');
  const struct {
    std::uint32_t type;
    std::string data;
  } kValues[] = {
      {platform::kRegSz, Text("text \xE9\x80")},  // code page 1252: e acute, euro sign
      {platform::kRegExpandSz, Text("%SystemRoot%")},
      {platform::kRegMultiSz, Text("a") + Text("b") + '\0'},
      {platform::kRegDword, std::string("\x04\x03\x02\x01", 4)},
      {platform::kRegBinary, "\x01"},
      {platform::kRegBinary, longData},
      {0x80004004, "type"},  // a type no name is given to, stored as it comes
  };
  for (const auto& v : kValues) {
    SCOPED_TRACE(v.type);
    const auto data = std::span(reinterpret_cast<const std::uint8_t*>(v.data.data()), v.data.size());
    ASSERT_EQ(registry->SetValue("Software\\Secure", "Value", v.type, data), platform::kErrorSuccess);
    const Read read = Query(*registry, "Software\\Secure", "Value");
    EXPECT_EQ(read.type, v.type);
    EXPECT_EQ(read.data, v.data);
    ASSERT_TRUE(IsNt4Hive(folder.Software()));
  }
  // The string went into the hive as UTF-16.
  const std::string one(1, '\0');
  EXPECT_EQ(ReadThroughHivex(folder.Software(), "Microsoft\\Windows NT\\CurrentVersion",
                             "CurrentType").data.substr(0, 4), "U" + one + "n" + one);

  const std::string before = ReadBytes(folder.Software());
  EXPECT_EQ(SetText(*registry, "Software\\Missing", "Value", "x"), platform::kErrorFileNotFound);
  EXPECT_EQ(SetText(*registry, "Software\\Secure\\Missing", "Value", "x"),
            platform::kErrorFileNotFound);
  EXPECT_EQ(SetText(*registry, kWindowsControl, "CSDVersion", "x"), platform::kErrorAccessDenied);
  EXPECT_EQ(SetText(*registry, "System\\Select", "Current", "x"), platform::kErrorAccessDenied);
  EXPECT_EQ(SetText(*registry, "Hardware\\Description", "x", "x"), platform::kErrorFileNotFound);
  EXPECT_EQ(ReadBytes(folder.Software()), before);
  EXPECT_EQ(ReadBytes(folder.System()), system);
}

// The program's own readers and writer of the registry record and the survey, over the hives.
TEST(HiveRegistryTest, TheProgramReadsAndWritesItsRecordThroughTheHives) {
  HiveFolder folder;
  const std::string system = ReadBytes(folder.System());
  {
    auto registry = folder.Open();
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(registry_values::ReadCurrentType(*registry), "Uniprocessor Free");
    EXPECT_EQ(registry_values::ReadSystemRoot(*registry), "C:\\WINNT");
    EXPECT_EQ(registry_values::ReadSystemDirectory(*registry), "C:\\WINNT\\System32");
    EXPECT_EQ(inspect::ReadServicePack(*registry), 6);
    EXPECT_EQ(registry_values::WriteCurrentType(*registry, "Multiprocessor Free"), platform::kErrorSuccess);
  }
  auto again = folder.Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(registry_values::ReadCurrentType(*again), "Multiprocessor Free");
  EXPECT_TRUE(IsNt4Hive(folder.Software()));
  EXPECT_EQ(ReadBytes(folder.System()), system);
}

// ---- refused hives ----

TEST(HiveRegistryTest, RefusesAHiveThatCannotBeChangedSafelyAndChangesNothing) {
  const std::string good = Nt4HiveBytes(Nt4SoftwareHive());
  HiveOptions dirty;
  dirty.dirty = true;
  HiveOptions newer;
  newer.minor = 5;
  std::string badChecksum = good;
  badChecksum[0x30] ^= 1;
  std::string logFile = good;  // a .LOG's header: file type 1
  logFile[0x1C] = 1;
  std::string truncatedBins = good;
  truncatedBins.resize(good.size() - 4096);
  const struct {
    const char* name;
    std::string bytes;
    const char* says;
  } kCases[] = {
      {"dirty", Nt4HiveBytes(Nt4SoftwareHive(), dirty), "shut it down properly"},
      {"format 1.5", Nt4HiveBytes(Nt4SoftwareHive(), newer), "format 1.5"},
      {"damaged header", badChecksum, "checksum"},
      {"a log", logFile, "not a registry hive"},
      {"cut in its header", good.substr(0, 1000), "cut short"},
      {"cut in its bins", truncatedBins, "cut short"},
      {"empty", "", "not a registry hive"},
      {"text", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", "not a registry hive"},
      // A header that passes with bins hivex cannot read.
      {"no bins", good.substr(0, 4096) + std::string(good.size() - 4096, '\0'), "hivex"},
  };
  for (const auto& c : kCases) {
    for (bool inSoftware : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (inSoftware ? " SOFTWARE" : " SYSTEM"));
      HiveFolder folder;
      const auto target = inSoftware ? folder.Software() : folder.System();
      WriteBytes(target, c.bytes);
      // A leftover of a cut rewrite stays while the hives are refused.
      WriteBytes(folder.Folder() / ".halshift~SOFTWARE.abc123", "left");
      const std::string software = ReadBytes(folder.Software());
      const std::string system = ReadBytes(folder.System());
      std::string error;
      EXPECT_EQ(folder.Open(error), nullptr);
      EXPECT_NE(error.find(target.string()), std::string::npos) << error;
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
      EXPECT_EQ(ReadBytes(folder.Software()), software);
      EXPECT_EQ(ReadBytes(folder.System()), system);
      EXPECT_EQ(FolderNames(folder.Folder()),
                (std::vector<std::string>{".halshift~SOFTWARE.abc123", "SOFTWARE", "SYSTEM"}));
      EXPECT_EQ(folder.faults.StepCount(), 0);
    }
  }
}

TEST(HiveRegistryTest, RefusesMissingHivesAndSymbolicLinks) {
  HiveFolder folder;
  const auto outside = folder.Folder().parent_path() / "elsewhere";
  std::filesystem::rename(folder.Software(), outside);
  std::string error;
  EXPECT_EQ(folder.Open(error), nullptr);
  EXPECT_NE(error.find("SOFTWARE cannot be opened"), std::string::npos) << error;
  std::filesystem::create_symlink(outside, folder.Software());
  EXPECT_EQ(folder.Open(error), nullptr);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  std::filesystem::remove(folder.Software());
  std::filesystem::create_directory(folder.Software());
  EXPECT_EQ(folder.Open(error), nullptr);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  std::filesystem::remove(folder.Software());
  ASSERT_EQ(mkfifo(folder.Software().c_str(), 0644), 0);  // opened without waiting for a writer
  EXPECT_EQ(folder.Open(error), nullptr);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(HiveRegistryTest, OpenRemovesTheLeftoversOfACutRewriteOnly) {
  HiveFolder folder;
  for (const char* name : {".halshift~SOFTWARE.abc123", ".halshift~SYSTEM.x1y2z3",
                           ".halshift~SOFTWARE", ".halshift~SAM.abc123", "SOFTWARE.LOG",
                           "SYSTEM.ALT"}) {
    WriteBytes(folder.Folder() / name, "x");
  }
  const std::vector<std::string> all = FolderNames(folder.Folder());
  // A look that keeps them changes nothing.
  std::string error;
  EXPECT_NE(HiveRegistry::Open(folder.Software(), folder.System(), folder.faults, error,
                               HiveRegistry::Leftovers::kKeep),
            nullptr)
      << error;
  EXPECT_EQ(FolderNames(folder.Folder()), all);
  EXPECT_EQ(folder.faults.StepCount(), 0);

  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(FolderNames(folder.Folder()),
            (std::vector<std::string>{".halshift~SAM.abc123", ".halshift~SOFTWARE", "SOFTWARE",
                                      "SOFTWARE.LOG", "SYSTEM", "SYSTEM.ALT"}));
  EXPECT_EQ(folder.faults.StepCount(), 2);
}

// ---- the rewrite failed and stopped ----

// After a failure or a stop: SOFTWARE is a whole NT 4.0 hive holding the old CurrentType or
// the new one, SYSTEM is as it was, and the next open leaves nothing else in the folder.
// Returns the CurrentType found.
std::string ExpectWholeAfterwards(HiveFolder& folder, const std::string& system) {
  EXPECT_TRUE(IsNt4Hive(folder.Software()));
  EXPECT_EQ(ReadBytes(folder.System()), system);
  folder.faults.Reset();
  auto again = folder.Open();
  if (!again) return "<refused>";
  EXPECT_EQ(FolderNames(folder.Folder()), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
  const std::string type = Query(*again, kCurrentVersion, "CurrentType").data;
  EXPECT_TRUE(type == Text("Uniprocessor Free") || type == Text("Multiprocessor Free")) << type;
  EXPECT_EQ(Query(*again, kCurrentVersion, "SystemRoot").data, Text("C:\\WINNT"));
  return type;
}

TEST(HiveRegistrySweepTest, AFailedCallOrStepOfTheRewriteLeavesTheHiveAsItWas) {
  // The calls of the injector's table that the rewrite asks.
  for (const image::Call call : {image::Call::kRegSetValue, image::Call::kRenameTemporary}) {
    SCOPED_TRACE(std::string(image::NameOf(call)));
    HiveFolder folder;
    const std::string software = ReadBytes(folder.Software());
    auto registry = folder.Open();
    ASSERT_NE(registry, nullptr);
    folder.faults.FailCall(call, 1);
    EXPECT_NE(SetText(*registry, kCurrentVersion, "CurrentType", "Multiprocessor Free"),
              platform::kErrorSuccess);
    EXPECT_EQ(folder.faults.FailuresInjected(), 1);
    EXPECT_EQ(ReadBytes(folder.Software()), software);
    EXPECT_EQ(Query(*registry, kCurrentVersion, "CurrentType").data, Text("Uniprocessor Free"));
    EXPECT_EQ(FolderNames(folder.Folder()), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
    // The same registry sets the value once nothing fails.
    EXPECT_EQ(SetText(*registry, kCurrentVersion, "CurrentType", "Multiprocessor Free"),
              platform::kErrorSuccess);
  }

  // Each host step in turn, with a leftover of an earlier cut rewrite to remove first.
  int failed = 0;
  int lastStep = 0;
  for (int step = 1;; ++step) {
    SCOPED_TRACE("failing step " + std::to_string(step));
    HiveFolder folder;
    WriteBytes(folder.Folder() / ".halshift~SOFTWARE.OLD123", "left");
    const std::string software = ReadBytes(folder.Software());
    const std::string system = ReadBytes(folder.System());
    folder.faults.FailAtStep(step);
    std::string error;
    auto registry = folder.Open(error);
    ASSERT_NE(registry, nullptr) << error;
    const long status =
        folder.faults.FailuresInjected() > 0
            ? platform::kErrorSuccess
            : SetText(*registry, kCurrentVersion, "CurrentType", "Multiprocessor Free");
    if (folder.faults.FailuresInjected() == 0) {
      EXPECT_EQ(status, platform::kErrorSuccess);
      lastStep = folder.faults.StepCount();
      break;
    }
    ++failed;
    const std::string seen = Query(*registry, kCurrentVersion, "CurrentType").data;
    if (ReadBytes(folder.Software()) == software) {
      EXPECT_EQ(seen, Text("Uniprocessor Free"));
    } else {
      // Only the flush of the folder comes after the rename; the hive is then the new one,
      // and the registry reads it so.
      EXPECT_EQ(step, folder.faults.StepCount()) << "changed before its last step";
      EXPECT_EQ(seen, Text("Multiprocessor Free"));
    }
    ExpectWholeAfterwards(folder, system);
    if (HasFailure()) break;
  }
  // The leftover's removal, then mkstemp, commit, header, mode, flush, close, rename, folder.
  std::cout << failed << " steps failed in turn\n";
  EXPECT_EQ(failed, lastStep);
  EXPECT_GE(failed, 9);
}

// Runs Open and the setting of CurrentType in a child ended before its step-th host step;
// true when it was ended there, false when it ran to its end.
bool SetStoppedAt(HiveFolder& folder, int step) {
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    folder.faults.StopAtStep(step);
    auto registry = folder.Open(error);
    if (!registry) _exit(2);
    _exit(SetText(*registry, kCurrentVersion, "CurrentType", "Multiprocessor Free") ==
                  platform::kErrorSuccess
              ? 0
              : 3);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  const int code = WEXITSTATUS(status);
  EXPECT_TRUE(code == 0 || code == FaultInjector::kStoppedExitCode) << "exit code " << code;
  return code == FaultInjector::kStoppedExitCode;
}

TEST(HiveRegistrySweepTest, EveryStopOfTheRewriteLeavesTheOldHiveOrTheNewWhole) {
  int stops = 0;
  int oldSeen = 0;
  int newSeen = 0;
  for (int step = 1;; ++step) {
    SCOPED_TRACE("stopped before step " + std::to_string(step));
    HiveFolder folder;
    WriteBytes(folder.Folder() / ".halshift~SOFTWARE.OLD123", "left");
    const std::string system = ReadBytes(folder.System());
    if (!SetStoppedAt(folder, step)) {
      EXPECT_EQ(ExpectWholeAfterwards(folder, system), Text("Multiprocessor Free"));
      break;
    }
    ++stops;
    const std::string type = ExpectWholeAfterwards(folder, system);
    if (type == Text("Uniprocessor Free")) ++oldSeen;
    if (type == Text("Multiprocessor Free")) ++newSeen;
    if (HasFailure()) break;
  }
  std::cout << stops << " stops, " << newSeen << " after the rename\n";
  EXPECT_GE(stops, 9);
  EXPECT_GE(oldSeen, 8);
  EXPECT_EQ(newSeen, 1);  // stopped before the flush of the folder
}

}  // namespace
}  // namespace halshift
