// ARC path resolution against the running installation, and the link-target buffer.
#include "inspect/arc_path.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "tests/support/boot_machine.h"

namespace halshift::bootmenu {
namespace {

using testing::OpenMachine;
using testing::TempImage;

struct ArcCase {
  const char* name;
  std::string systemRootEscaped;  // as registry.reg writes it
  std::string arcPath;
  bool running;
};

TEST(IsRunningSystemArcPath, MatchesDeviceAndDirectory) {
  const std::vector<ArcCase> cases = {
      {"same device and directory", "C:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(1)\\WINNT",
       true},
      {"ARC path in other case", "C:\\\\WINNT", "MULTI(0)DISK(0)RDISK(0)PARTITION(1)\\winnt", true},
      {"system root in other case", "c:\\\\winnt", "multi(0)disk(0)rdisk(0)partition(1)\\WINNT",
       true},
      {"other directory", "C:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(1)\\WINNT40", false},
      {"shorter directory", "C:\\\\WINNT40", "multi(0)disk(0)rdisk(0)partition(1)\\WINNT", false},
      {"other partition", "C:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(2)\\WINNT", false},
      // The tail test lets a longer path through; the device comparison decides.
      {"tail below a longer path, same device", "C:\\\\WINNT",
       "multi(0)disk(0)rdisk(0)partition(1)\\OLD\\WINNT", true},
      {"tail below a longer path, other device", "C:\\\\WINNT",
       "multi(0)disk(0)rdisk(0)partition(2)\\OLD\\WINNT", false},
      {"running system on E:", "E:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(2)\\WINNT", true},
      {"no backslash", "C:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(1)WINNT", false},
      {"unknown ARC device", "C:\\\\WINNT", "scsi(0)disk(0)rdisk(0)partition(1)\\WINNT", false},
      {"drive without device", "Q:\\\\WINNT", "multi(0)disk(0)rdisk(0)partition(1)\\WINNT", false},
      {"path shorter than the directory", "C:\\\\WINNT", "\\NT", false},
      {"empty ARC path", "C:\\\\WINNT", "", false},
      {"system root with trailing backslash", "C:\\\\WINNT\\\\",
       "multi(0)disk(0)rdisk(0)partition(1)\\WINNT\\", true},
  };
  for (const auto& c : cases) {
    TempImage image;
    testing::WriteBootMachine(image, "C=fixed\r\nE=fixed\r\n", c.systemRootEscaped);
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine) << c.name;
    EXPECT_EQ(IsRunningSystemArcPath(machine->Platform(), c.arcPath), c.running) << c.name;
  }
}

TEST(IsRunningSystemArcPath, AnyFailedLookupMeansNotRunning) {
  const std::string arcPath(testing::kRunningArcPath);
  for (const image::Call operation : {image::Call::kRegQueryValue, image::Call::kQuerySymbolicLink, image::Call::kQueryDosDevice}) {
    TempImage image;
    testing::WriteBootMachine(image);
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine);
    ASSERT_TRUE(IsRunningSystemArcPath(machine->Platform(), arcPath)) << image::NameOf(operation);
    machine->image->Faults().Reset();
    machine->image->Faults().FailCall(operation, 1);
    EXPECT_FALSE(IsRunningSystemArcPath(machine->Platform(), arcPath)) << image::NameOf(operation);
    EXPECT_EQ(machine->image->Faults().FailuresInjected(), 1) << image::NameOf(operation);
  }
}

// Answers links from a table; fails loudly on the drive lookup, which QueryLinkTarget must
// not make.
class TableLinks : public platform::NativeLinks {
 public:
  std::optional<std::string> QuerySymbolicLink(std::string_view linkName) override {
    queried.emplace_back(linkName);
    const auto it = targets.find(std::string(linkName));
    if (it == targets.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> QueryDosDevice(std::string_view) override {
    ADD_FAILURE() << "QueryDosDevice called";
    return std::nullopt;
  }
  std::map<std::string, std::string> targets;
  std::vector<std::string> queried;
};

struct TargetCase {
  const char* name;
  std::size_t nameLength;
  std::size_t targetLength;
  bool stored;
};

TEST(QueryLinkTarget, NeverWritesPastTheBuffer) {
  const std::vector<TargetCase> cases = {
      {"usual", 45, 28, true},
      {"259 characters fit", 300, 259, true},
      {"260 characters do not fit", 300, 260, false},
      {"far too long", 5000, 4000, false},
      {"as long as the name", 40, 40, true},
      {"longer than the name", 40, 41, true},
      {"short name, 259-character target", 20, 259, true},
      {"empty target", 20, 0, true},
  };
  for (const auto& c : cases) {
    TableLinks links;
    const std::string linkName = "\\ArcName\\" + std::string(c.nameLength - 9, 'n');
    const std::string target(c.targetLength, 't');
    links.targets[linkName] = target;
    // Guard bytes on both sides of the 260-byte window show any write outside it.
    std::array<char, kDeviceNameBufferSize + 32> guarded{};
    guarded.fill('#');
    const std::span<char> buffer(guarded.data() + 16, kDeviceNameBufferSize);
    EXPECT_EQ(QueryLinkTarget(links, linkName, buffer), c.stored) << c.name;
    for (std::size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(guarded[i], '#') << c.name;
      EXPECT_EQ(guarded[guarded.size() - 1 - i], '#') << c.name;
    }
    if (c.stored) {
      EXPECT_EQ(std::string(buffer.data()), target) << c.name;
    } else {
      EXPECT_EQ(buffer[0], '#') << c.name << ": buffer changed on failure";
    }
  }
}

TEST(QueryLinkTarget, MissingLinkFails) {
  TableLinks links;
  std::array<char, kDeviceNameBufferSize> buffer{};
  EXPECT_FALSE(QueryLinkTarget(links, "\\ArcName\\multi(0)", buffer));
  EXPECT_EQ(links.queried, std::vector<std::string>{"\\ArcName\\multi(0)"});
}

TEST(FindRunningEntry, FirstEntryNamingTheRunningSystem) {
  TempImage image;
  testing::WriteBootMachine(image, "C=fixed\r\nE=fixed\r\n");
  testing::WriteLoaderFiles(
      image, 'C',
      "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WINNT\r\n"
      "[operating systems]\r\n"
      "multi(0)disk(0)rdisk(0)partition(2)\\WINNT=\"Other partition\"\r\n"
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT40=\"Other directory\"\r\n"
      "multi(0)disk(0)rdisk(0)partition(1)\\winnt=\"Normal\" /fastdetect\r\n"
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"VGA\" /basevideo\r\n");
  testing::WriteLoaderFiles(image, 'E',
                            "[operating systems]\r\nmulti(0)disk(0)rdisk(0)partition(2)\\WINNT=\"E\"\r\n");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  const auto entry = FindRunningEntry(machine->Platform(), "C:\\");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->key, "multi(0)disk(0)rdisk(0)partition(1)\\winnt");
  EXPECT_EQ(entry->value, "\"Normal\" /fastdetect");
  EXPECT_FALSE(FindRunningEntry(machine->Platform(), "E:\\").has_value());
  EXPECT_FALSE(FindRunningEntry(machine->Platform(), "F:\\").has_value());
}

}  // namespace
}  // namespace halshift::bootmenu
