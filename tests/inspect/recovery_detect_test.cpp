// Recovery entry detection over whole machine images.
#include "inspect/recovery_detect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/boot_machine.h"

namespace halshift::bootmenu {
namespace {

using testing::OpenMachine;
using testing::TempImage;

constexpr std::string_view kRecoveryLine =
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Server Version 4.00 [HAL Recovery "
    "Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1\r\n";

std::string MenuWith(std::string_view entries) {
  return "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\n" + std::string(entries);
}

struct DetectCase {
  const char* name;
  std::string drives;
  std::string bootIniC;  // empty: no loader files on C:
  std::string bootIniE;  // empty: no loader files on E:
  bool present;
};

TEST(IsRecoveryEntryPresent, MarkerOnAnEntryOfTheRunningSystem) {
  const std::string normal = "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"NT\"\r\n";
  const std::vector<DetectCase> cases = {
      {"the entry that enabling writes", "C=fixed\r\n", MenuWith(normal + std::string(kRecoveryLine)),
       "", true},
      {"no recovery entry", "C=fixed\r\n", MenuWith(normal), "", false},
      {"marker in lower case", "C=fixed\r\n",
       MenuWith(normal + "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"R\" /orvrcv=1\r\n"), "",
       false},
      {"marker followed by more digits", "C=fixed\r\n",
       MenuWith("multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"R\" /ORVRCV=12\r\n"), "", true},
      {"marker in the middle", "C=fixed\r\n",
       MenuWith("multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"R\" /ORVRCV=1 /sos\r\n"), "", true},
      {"marker for another installation", "C=fixed\r\n",
       MenuWith(normal + "multi(0)disk(0)rdisk(0)partition(2)\\WINNT=\"R\" /ORVRCV=1\r\n" +
                "multi(0)disk(0)rdisk(0)partition(1)\\WINNT40=\"R\" /ORVRCV=1\r\n"),
       "", false},
      {"marker in the key only", "C=fixed\r\n",
       MenuWith("multi(0)disk(0)rdisk(0)partition(1)\\WINNT /ORVRCV=1=\"R\"\r\n"), "", false},
      {"ARC path in other case", "C=fixed\r\n",
       MenuWith("MULTI(0)DISK(0)RDISK(0)PARTITION(1)\\winnt=\"R\" /ORVRCV=1\r\n"), "", true},
      {"recovery entry on a later drive", "C=fixed\r\nE=fixed\r\n", MenuWith(normal),
       MenuWith(std::string(kRecoveryLine)), true},
      {"recovery entry on a CD-ROM drive", "C=fixed\r\nE=cdrom\r\n", MenuWith(normal),
       MenuWith(std::string(kRecoveryLine)), false},
      {"recovery entry on a removable drive", "C=fixed\r\nE=removable\r\n", "",
       MenuWith(std::string(kRecoveryLine)), false},
      {"no boot drive", "C=fixed\r\n", "", "", false},
      {"marker outside the operating systems section", "C=fixed\r\n",
       "[boot loader]\r\nmulti(0)disk(0)rdisk(0)partition(1)\\WINNT=\"R\" /ORVRCV=1\r\n"
       "[operating systems]\r\n" + normal,
       "", false},
  };
  for (const auto& c : cases) {
    TempImage image;
    testing::WriteBootMachine(image, c.drives);
    if (!c.bootIniC.empty()) testing::WriteLoaderFiles(image, 'C', c.bootIniC);
    if (!c.bootIniE.empty()) testing::WriteLoaderFiles(image, 'E', c.bootIniE);
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine) << c.name;
    EXPECT_EQ(IsRecoveryEntryPresent(machine->Platform()), c.present) << c.name;
  }
}

TEST(IsRecoveryEntryPresent, OnlyReads) {
  TempImage image;
  testing::WriteBootMachine(image);
  const std::string menu = MenuWith(std::string(kRecoveryLine));
  testing::WriteLoaderFiles(image, 'C', menu);
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  auto& faults = machine->image->Faults();
  faults.Reset();
  EXPECT_TRUE(IsRecoveryEntryPresent(machine->Platform()));
  for (const image::CallInfo& info : image::kCalls) {
    if (info.changesMachine) {
      EXPECT_EQ(faults.CallCount(info.call), 0) << info.name;
    }
  }
  EXPECT_EQ(image.ReadDriveFile("C:\\BOOT.INI"), menu);
  EXPECT_FALSE(image.ReadDriveFile("C:\\BOOTINI.ORV").has_value());
}

TEST(IsRecoveryEntryPresent, UnreadableSectionCountsAsAMiss) {
  TempImage image;
  testing::WriteBootMachine(image, "C=fixed\r\nE=fixed\r\n");
  testing::WriteLoaderFiles(image, 'C', MenuWith(std::string(kRecoveryLine)));
  testing::WriteLoaderFiles(image, 'E', MenuWith(std::string(kRecoveryLine)));
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  auto& faults = machine->image->Faults();
  faults.Reset();
  faults.FailCall(image::Call::kGetPrivateProfileSection, 1);
  // C: cannot be read; E: still gives the hit.
  EXPECT_TRUE(IsRecoveryEntryPresent(machine->Platform()));
  faults.Reset();
  faults.FailCall(image::Call::kGetPrivateProfileSection, 1, true);
  EXPECT_FALSE(IsRecoveryEntryPresent(machine->Platform()));
}

}  // namespace
}  // namespace halshift::bootmenu
