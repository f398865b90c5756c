// Tests of opening machine images and of the system, registry, memory and link services.
#include "platform/image/machine_image.h"

#include <gtest/gtest.h>

#include <array>

#include "tests/support/image_builder.h"

namespace halshift::image {
namespace {

using namespace std::string_literals;
using testing::TempImage;

std::unique_ptr<MachineImage> OpenImage(const TempImage& image) {
  std::string error;
  auto opened = MachineImage::Open(image.Root(), error);
  EXPECT_TRUE(opened) << error;
  return opened;
}

TEST(MachineImageTest, RefusesDamagedImagesNamingFileAndLine) {
  struct Case {
    const char* name;
    const char* machineIni;  // nullptr: none
    const char* registry;    // nullptr: none
    const char* error;       // the start of the message
  };
  const Case cases[] = {
      {"no machine.ini", nullptr, nullptr, "machine.ini: missing"},
      {"bad registry line", "[System]\n",
       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"ok\"=\"1\"\n\n\n\"bad\"=hex:zz\n",
       "registry.reg:7: hex data"},
      {"registry without header", "[System]\n", "[HKEY_LOCAL_MACHINE\\A]\n",
       "registry.reg:1: the file does not start"},
      {"machine.ini syntax", "[System]\nVersion\n", nullptr, "machine.ini:2: expected key=value"},
      {"bad version", "[System]\nBuild=1381\nVersion=four\n", nullptr, "machine.ini:3: Version"},
      {"version part too large", "[System]\nVersion=4.256\n", nullptr, "machine.ini:2: Version"},
      {"bad build", "[System]\nBuild=40000\n", nullptr, "machine.ini:2: Build"},
      {"bad platform", "[System]\nPlatform=OS/2\n", nullptr, "machine.ini:2: Platform"},
      {"bad administrator", "[System]\nAdministrator=maybe\n", nullptr,
       "machine.ini:2: Administrator"},
      {"relative system directory", "[System]\nSystemDirectory=WINNT\n", nullptr,
       "machine.ini:2: SystemDirectory"},
      {"bad drive type", "[Drives]\nC=fixed\nD=floppy ; no\n", nullptr, "machine.ini:3: a drive type"},
      {"bad drive letter", "[Drives]\nCD=fixed\n", nullptr, "machine.ini:2: a drive must"},
  };
  for (const auto& c : cases) {
    TempImage image;
    if (c.machineIni) image.WriteImageFile("machine.ini", c.machineIni);
    if (c.registry) image.WriteImageFile("registry.reg", c.registry);
    std::string error;
    EXPECT_FALSE(MachineImage::Open(image.Root(), error)) << c.name;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
  }
  std::string error;
  EXPECT_FALSE(MachineImage::Open("/nonexistent/halshift-image", error));
  EXPECT_NE(error.find("not a machine image directory"), std::string::npos);
}

TEST(MachineImageTest, BadRegionFileNameIsRefused) {
  TempImage image;
  image.WriteImageFile("machine.ini", "[System]\n");
  image.WriteImageFile("memory/F0000.bin", "x");
  std::string error;
  EXPECT_FALSE(MachineImage::Open(image.Root(), error));
  EXPECT_EQ(error, "memory/F0000.bin: a region file must be named by 8 hex digits");
}

TEST(MachineImageTest, SystemFactsComeFromMachineIni) {
  struct Case {
    const char* name;
    const char* machineIni;
    std::uint32_t version;
    bool administrator;
    const char* systemDirectory;
  };
  const Case cases[] = {
      {"defaults", "[System]\n", 4u | (1381u << 16), true, "C:\\WINNT\\System32"},
      {"windows family", "[system]\nversion = 4.10 ; 98\nbuild=1998\nplatform=windows\n",
       4u | (10u << 8) | (1998u << 16) | 0x80000000u, true, "C:\\WINNT\\System32"},
      {"old NT", "[System]\nVersion=3.51\nBuild=1057\nAdministrator=NO\n"
                 "SystemDirectory=D:\\NT351\\system32\nPageSize=8192\n",
       3u | (51u << 8) | (1057u << 16), false, "D:\\NT351\\system32"},
  };
  for (const auto& c : cases) {
    TempImage image;
    image.WriteImageFile("machine.ini", c.machineIni);
    const auto opened = OpenImage(image);
    ASSERT_TRUE(opened) << c.name;
    EXPECT_EQ(opened->System().GetVersion(), c.version) << c.name;
    EXPECT_EQ(opened->System().OpenServiceControlManager(), c.administrator) << c.name;
    EXPECT_EQ(opened->System().GetSystemDirectory(), c.systemDirectory) << c.name;
    EXPECT_EQ(opened->System().GetModuleFileName().substr(0, 3),
              std::string(1, c.systemDirectory[0]) + ":\\")
        << c.name;
  }
}

TEST(MachineImageTest, DriveTypesAndLinks) {
  TempImage image;
  image.WriteImageFile("machine.ini",
                       "[Drives]\nA=removable\nc=Fixed\nD=cdrom\nF=remote\nR=ramdisk\n"
                       "[ArcNames]\nmulti(0)disk(0)rdisk(0)partition(1)=\\Device\\Harddisk0\\Partition1\n"
                       "[DosDevices]\nC:=\\Device\\Harddisk0\\Partition1\nD:=\\Device\\CdRom0\n");
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  auto& files = opened->Files();
  EXPECT_EQ(files.GetDriveType("A:\\"), platform::kDriveRemovable);
  EXPECT_EQ(files.GetDriveType("C:\\"), platform::kDriveFixed);
  EXPECT_EQ(files.GetDriveType("d:\\"), platform::kDriveCdrom);
  EXPECT_EQ(files.GetDriveType("F:\\"), platform::kDriveRemote);
  EXPECT_EQ(files.GetDriveType("R:"), platform::kDriveRamdisk);
  EXPECT_EQ(files.GetDriveType("E:\\"), platform::kDriveNoRootDir);
  EXPECT_EQ(files.GetDriveType("C:\\WINNT"), platform::kDriveNoRootDir);
  // A listed drive without a folder answers its type but holds no files.
  EXPECT_FALSE(files.FindFirstFile("D:\\I386\\HAL.DLL"));

  auto& links = opened->Links();
  EXPECT_EQ(links.QuerySymbolicLink("\\ArcName\\MULTI(0)DISK(0)RDISK(0)PARTITION(1)"),
            "\\Device\\Harddisk0\\Partition1");
  EXPECT_EQ(links.QuerySymbolicLink("\\arcname\\multi(0)disk(0)rdisk(0)partition(1)"),
            "\\Device\\Harddisk0\\Partition1");
  EXPECT_EQ(links.QuerySymbolicLink("\\ArcName\\multi(0)disk(0)rdisk(0)partition(2)"),
            std::nullopt);
  EXPECT_EQ(links.QuerySymbolicLink("multi(0)disk(0)rdisk(0)partition(1)"), std::nullopt);
  EXPECT_EQ(links.QueryDosDevice("d:"), "\\Device\\CdRom0");
  EXPECT_EQ(links.QueryDosDevice("E:"), std::nullopt);
}

TEST(MachineImageTest, PhysicalMemoryReadsNeedEveryByteInRegions) {
  TempImage image;
  image.WriteImageFile("machine.ini", "[System]\n");
  std::string low(0x100, '\0');
  std::string next(0x100, '\0');
  for (int i = 0; i < 0x100; ++i) {
    low[static_cast<std::size_t>(i)] = static_cast<char>(i);
    next[static_cast<std::size_t>(i)] = static_cast<char>(0xFF - i);
  }
  image.WriteImageFile("memory/00001000.bin", low);
  image.WriteImageFile("memory/00001100.bin", next);  // touches the first
  image.WriteImageFile("memory/000F0000.bin", "_SM_");
  image.WriteImageFile("memory/FFFFFFFE.bin", "\x01\x02\x03\x04"s);  // runs past 4 GB
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  auto& memory = opened->Memory();

  struct Case {
    const char* name;
    std::uint32_t address;
    std::size_t length;
    bool succeeds;
    std::string bytes;
  };
  const Case cases[] = {
      {"inside", 0x1010, 4, true, "\x10\x11\x12\x13"s},
      {"spanning touching regions", 0x10FE, 4, true, "\xFE\xFF\xFF\xFE"s},
      {"unaligned small region", 0xF0001, 3, true, "SM_"},
      {"before a region", 0xFFF, 2, false, ""},
      {"past the last byte", 0x11FE, 4, false, ""},
      {"gap between regions", 0x11FF, 0xEE000, false, ""},
      {"past the region end", 0xF0002, 4, false, ""},
      {"top of the address space", 0xFFFFFFFE, 2, true, "\x01\x02"s},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> buffer(c.length, 0xAA);
    EXPECT_EQ(memory.ReadPhysical(c.address, buffer), c.succeeds) << c.name;
    if (c.succeeds) {
      EXPECT_EQ(std::string(buffer.begin(), buffer.end()), c.bytes) << c.name;
    } else {
      EXPECT_EQ(buffer, std::vector<std::uint8_t>(c.length, 0xAA)) << c.name << ": touched";
    }
  }
}

TEST(MachineImageTest, APageSizeOfZeroFailsEveryRead) {
  // GetSystemInfo reporting no page size leaves nothing to map a view with.
  for (const char* pageSize : {"4096", "0"}) {
    TempImage image;
    image.WriteImageFile("machine.ini", std::string("[System]\nPageSize=") + pageSize + "\n");
    image.WriteImageFile("memory/000F0000.bin", "_SM_");
    const auto opened = OpenImage(image);
    ASSERT_TRUE(opened);
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(opened->Memory().ReadPhysical(0xF0000, buffer), std::string_view(pageSize) != "0")
        << pageSize;
  }
}

TEST(MachineImageTest, WithoutMemoryFolderEveryReadFails) {
  TempImage image;
  image.WriteImageFile("machine.ini", "[System]\n");
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_FALSE(opened->Memory().ReadPhysical(0, buffer));
  EXPECT_FALSE(opened->Memory().ReadPhysical(0xF0000, buffer));
}

TEST(MachineImageTest, InjectedFaultsFailTheNamedCalls) {
  TempImage image;
  image.WriteMinimalMachine();
  image.WriteImageFile("memory/00000000.bin", "abcd");
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  auto& faults = opened->Faults();
  faults.FailCall(image::Call::kGetVersion, 2);
  faults.FailCall(image::Call::kReadPhysical, 1, true);
  EXPECT_NE(opened->System().GetVersion(), 0u);
  EXPECT_EQ(opened->System().GetVersion(), 0u);
  EXPECT_NE(opened->System().GetVersion(), 0u);
  std::array<std::uint8_t, 2> buffer{};
  EXPECT_FALSE(opened->Memory().ReadPhysical(0, buffer));
  EXPECT_FALSE(opened->Memory().ReadPhysical(0, buffer));
  EXPECT_EQ(faults.CallCount(image::Call::kGetVersion), 3);
  EXPECT_EQ(faults.CallCount(image::Call::kReadPhysical), 2);
  EXPECT_EQ(faults.FailuresInjected(), 3);
  faults.Reset();
  EXPECT_TRUE(opened->Memory().ReadPhysical(0, buffer));
  EXPECT_EQ(faults.CallCount(image::Call::kReadPhysical), 1);
  EXPECT_EQ(faults.FailuresInjected(), 0);
}

// ---- the registry service ----

constexpr const char* kRegistry =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentType\"=\"Uniprocessor Free\"\r\n\"SystemRoot\"=\"C:\\\\WINNT\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Windows]\r\n"
    "\"CSDVersion\"=dword:00000600\r\n";

TEST(MachineImageTest, QueryValueFollowsRegQueryValueEx) {
  TempImage image;
  image.WriteMinimalMachine();
  image.WriteImageFile("registry.reg", kRegistry);
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  auto& registry = opened->Registry();
  const std::string key = "software\\microsoft\\windows nt\\currentversion";

  std::array<std::uint8_t, 64> buffer{};
  auto result = registry.QueryValue(key, "currenttype", buffer);
  EXPECT_EQ(result.status, platform::kErrorSuccess);
  EXPECT_EQ(result.type, platform::kRegSz);
  EXPECT_EQ(result.size, 18u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 18), "Uniprocessor Free\0"s);

  // One byte short of the zero: too small.
  std::array<std::uint8_t, 17> small{};
  result = registry.QueryValue(key, "CurrentType", small);
  EXPECT_EQ(result.status, platform::kErrorMoreData);
  EXPECT_EQ(result.size, 18u);

  result = registry.QueryValue("System\\CurrentControlSet\\Control\\Windows", "CSDVersion", buffer);
  EXPECT_EQ(result.status, platform::kErrorSuccess);
  EXPECT_EQ(result.type, platform::kRegDword);
  EXPECT_EQ(result.size, 4u);
  EXPECT_EQ(buffer[1], 0x06);

  EXPECT_EQ(registry.QueryValue(key, "Missing", buffer).status, platform::kErrorFileNotFound);
  EXPECT_EQ(registry.QueryValue("Software\\Nothing", "CurrentType", buffer).status,
            platform::kErrorFileNotFound);
}

TEST(MachineImageTest, MissingRegistryIsEmpty) {
  TempImage image;
  image.WriteMinimalMachine();
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  std::array<std::uint8_t, 8> buffer{};
  EXPECT_EQ(opened->Registry().QueryValue("Software", "x", buffer).status,
            platform::kErrorFileNotFound);
  const std::string data = "x\0"s;
  EXPECT_EQ(opened->Registry().SetValue("Software", "x", platform::kRegSz,
                                        std::span(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                  data.size())),
            platform::kErrorFileNotFound);
  EXPECT_FALSE(image.ReadImageFile("registry.reg"));
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(MachineImageTest, SetValueRewritesTheFileKeepingTheRest) {
  TempImage image;
  image.WriteMinimalMachine();
  image.WriteImageFile("registry.reg", kRegistry);
  const auto opened = OpenImage(image);
  ASSERT_TRUE(opened);
  const std::string value = "Multiprocessor Free\0"s;
  EXPECT_EQ(opened->Registry().SetValue("Software\\Microsoft\\Windows NT\\CurrentVersion",
                                        "CurrentType", platform::kRegSz, Bytes(value)),
            platform::kErrorSuccess);
  std::string expected = kRegistry;
  expected.replace(expected.find("Uniprocessor"), 3, "Multi");
  EXPECT_EQ(image.ReadImageFile("registry.reg"), expected);
  // A fresh look at the image sees the new value.
  const auto reopened = OpenImage(image);
  std::array<std::uint8_t, 64> buffer{};
  const auto result = reopened->Registry().QueryValue(
      "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentType", buffer);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(result.size)), value);
}

TEST(MachineImageTest, FailedRegistryWriteLeavesTheOldFile) {
  for (const image::Call operation : {image::Call::kRegSetValue, image::Call::kRenameTemporary}) {
    TempImage image;
    image.WriteMinimalMachine();
    image.WriteImageFile("registry.reg", kRegistry);
    const auto opened = OpenImage(image);
    ASSERT_TRUE(opened);
    opened->Faults().FailCall(operation, 1);
    const std::string value = "Multiprocessor Free\0"s;
    EXPECT_NE(opened->Registry().SetValue("Software\\Microsoft\\Windows NT\\CurrentVersion",
                                          "CurrentType", platform::kRegSz, Bytes(value)),
              platform::kErrorSuccess)
        << image::NameOf(operation);
    EXPECT_EQ(opened->Faults().FailuresInjected(), 1) << image::NameOf(operation);
    EXPECT_EQ(image.ReadImageFile("registry.reg"), kRegistry) << image::NameOf(operation);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(image.Root())) {
      ++entries;
    }
    EXPECT_EQ(entries, 3u) << image::NameOf(operation) << ": machine.ini, registry.reg, drives only";
    // The service still answers the old value.
    std::array<std::uint8_t, 64> buffer{};
    const auto result = opened->Registry().QueryValue(
        "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentType", buffer);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(result.size)),
              "Uniprocessor Free\0"s)
        << image::NameOf(operation);
  }
}

}  // namespace
}  // namespace halshift::image
