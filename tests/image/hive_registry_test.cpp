// The registry of an offline NT 4.0 installation from its SOFTWARE and SYSTEM hives: what the
// test hives hold as hivex reads them, reading and setting values, the hives that are refused
// with nothing changed, and the rewrite failed at each call and ended at each step.
#include "platform/image/hive_registry.h"

#include <gtest/gtest.h>
#include <hivex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

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
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
    std::filesystem::create_directories(folder_);
    WriteNt4Hive(Software(), software);
    HiveOptions systemOptions;
    systemOptions.fileName = std::string(kSystemHiveName);
    WriteNt4Hive(System(), system, systemOptions);
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
  HivexValue value;
  hive_h* handle = hivex_open(hive.c_str(), 0);
  if (handle == nullptr) return value;
  hive_node_h node = hivex_root(handle);
  std::string_view rest = keyPath;
  while (node != 0 && !rest.empty()) {
    const std::size_t slash = rest.find('\\');
    node = hivex_node_get_child(handle, node, std::string(rest.substr(0, slash)).c_str());
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  const hive_value_h found = node == 0 ? 0 : hivex_node_get_value(handle, node, valueName);
  if (found != 0) {
    hive_type type{};
    std::size_t length = 0;
    char* data = hivex_value_value(handle, found, &type, &length);
    if (data != nullptr) {
      value = {true, static_cast<std::uint32_t>(type), std::string(data, length)};
      std::free(data);
    }
  }
  hivex_close(handle);
  return value;
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

// ---- reading and setting ----

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

TEST(HiveRegistryTest, SettingCurrentTypeRewritesSoftwareAloneAndKeepsItAnNt4Hive) {
  HiveFolder folder;
  const std::string system = ReadBytes(folder.System());
  const HiveWalk before = WalkHive(ReadBytes(folder.Software()));
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
  const HiveWalk after = WalkHive(ReadBytes(folder.Software()));
  EXPECT_EQ(after.subkeyLists, before.subkeyLists);  // every subkey list as it was
  EXPECT_EQ(after.keys, before.keys);
  EXPECT_EQ(after.values, before.values + 1);

  // hivex reads the new value, under the name's old spelling; a fresh open too.
  const HivexValue read = ReadThroughHivex(folder.Software(), "Microsoft\\Windows NT\\CurrentVersion",
                                           "CurrentType");
  EXPECT_TRUE(read.found);
  EXPECT_EQ(read.type, 1u);
  EXPECT_EQ(read.data, Utf16("Multiprocessor Free") + std::string(2, '\0'));
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
}

TEST(HiveRegistryTest, OpenRemovesTheLeftoversOfACutRewriteOnly) {
  HiveFolder folder;
  for (const char* name : {".halshift~SOFTWARE.abc123", ".halshift~SYSTEM.x1y2z3",
                           ".halshift~SOFTWARE", ".halshift~SAM.abc123", "SOFTWARE.LOG",
                           "SYSTEM.ALT"}) {
    WriteBytes(folder.Folder() / name, "x");
  }
  auto registry = folder.Open();
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(FolderNames(folder.Folder()),
            (std::vector<std::string>{".halshift~SAM.abc123", ".halshift~SOFTWARE", "SOFTWARE",
                                      "SOFTWARE.LOG", "SYSTEM", "SYSTEM.ALT"}));
}

}  // namespace
}  // namespace halshift
