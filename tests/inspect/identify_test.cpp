// HAL identification: HAL kind, system directory and recovery flag from a machine image.
#include "inspect/identify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/registry_values.h"
#include "core/state.h"
#include "app/outcome_texts.h"
#include "tests/support/boot_machine.h"
#include "tests/support/pe_fixtures.h"

namespace halshift {
namespace {

using testing::OpenMachine;
using testing::TempImage;

// A registry whose CurrentVersion key holds the given value lines, each ended by CR LF (odd
// ones included, that regedit would not write).
std::string Registry(std::string_view valueLines) {
  return testing::RegistryFileText({{testing::kCurrentVersionKeyPath, {}}}) + std::string(valueLines);
}

struct IdentifyCase {
  const char* name;
  std::string registry;
  HalKind halKind;
  std::string systemDirectory;
};

TEST(IdentifyHal, HalKindAndSystemDirectoryFromTheRegistry) {
  const std::string root79 = "C:\\\\" + std::string(76, 'W');  // 79 characters
  const std::string root80 = "C:\\\\" + std::string(77, 'W');  // 80: no room for the zero
  const std::vector<IdentifyCase> cases = {
      {"uniprocessor", Registry("\"CurrentType\"=\"Uniprocessor Free\"\r\n\"SystemRoot\"=\"C:\\\\WINNT\"\r\n"),
       HalKind::kUniprocessor, "C:\\WINNT\\System32"},
      {"multiprocessor", Registry("\"CurrentType\"=\"Multiprocessor Free\"\r\n\"SystemRoot\"=\"D:\\\\NT40\"\r\n"),
       HalKind::kMultiprocessor, "D:\\NT40\\System32"},
      {"other case", Registry("\"CurrentType\"=\"uniprocessor free\"\r\n"), HalKind::kMultiprocessor,
       "\\System32"},
      {"checked build", Registry("\"CurrentType\"=\"Uniprocessor Checked\"\r\n"),
       HalKind::kMultiprocessor, "\\System32"},
      {"trailing blank", Registry("\"CurrentType\"=\"Uniprocessor Free \"\r\n"),
       HalKind::kMultiprocessor, "\\System32"},
      {"empty text", Registry("\"CurrentType\"=\"\"\r\n"), HalKind::kMultiprocessor, "\\System32"},
      {"missing values", Registry(""), HalKind::kMultiprocessor, "\\System32"},
      {"missing key", testing::RegistryFileText({}), HalKind::kMultiprocessor, "\\System32"},
      {"no registry file", "", HalKind::kMultiprocessor, "\\System32"},
      {"system root ending in a backslash",
       Registry("\"CurrentType\"=\"Uniprocessor Free\"\r\n\"SystemRoot\"=\"C:\\\\WINNT\\\\\"\r\n"),
       HalKind::kUniprocessor, "C:\\WINNT\\\\System32"},
      {"system root of 79 characters", Registry("\"SystemRoot\"=\"" + root79 + "\"\r\n"),
       HalKind::kMultiprocessor, "C:\\" + std::string(76, 'W') + "\\System32"},
      {"system root of 80 characters", Registry("\"SystemRoot\"=\"" + root80 + "\"\r\n"),
       HalKind::kMultiprocessor, "\\System32"},
      {"binary value without zero",
       Registry("\"CurrentType\"=hex:55,6e,69\r\n\"SystemRoot\"=hex:43,3a,5c,4e,54\r\n"),
       HalKind::kMultiprocessor, "C:\\NT\\System32"},
      {"text up to the first zero",
       Registry("\"CurrentType\"=hex:55,6e,69,70,72,6f,63,65,73,73,6f,72,20,46,72,65,65,00,58,00\r\n"),
       HalKind::kUniprocessor, "\\System32"},
  };
  for (const auto& c : cases) {
    TempImage image;
    testing::WriteBootMachine(image);
    if (c.registry.empty()) {
      std::filesystem::remove(image.Root() / "registry.reg");
    } else {
      image.WriteImageFile("registry.reg", c.registry);
    }
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine) << c.name;
    SystemSurvey survey;
    HalInstallation installation;
    inspect::IdentifyHal(machine->Platform(), installation);
    EXPECT_EQ(installation.halKind, c.halKind) << c.name;
    EXPECT_EQ(installation.systemDirectory, c.systemDirectory) << c.name;
    EXPECT_EQ(installation.recoveryPresent, 0u) << c.name;
  }
}

TEST(IdentifyHal, ReflectsTheRecoveryEntryAndAnUpgradeAtOnce) {
  TempImage image;
  testing::WriteBootMachine(image);
  testing::WriteLoaderFiles(
      image, 'C',
      "[operating systems]\r\n"
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"NT [HAL Recovery Mode]\" /ORVRCV=1\r\n");
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  SystemSurvey survey;
  HalInstallation installation;
  inspect::IdentifyHal(machine->Platform(), installation);
  EXPECT_EQ(installation.halKind, HalKind::kUniprocessor);
  EXPECT_EQ(installation.recoveryPresent, 1u);

  // The upgrade records the new kind; identification names the HAL of the next start.
  const std::string multi = "Multiprocessor Free";
  std::vector<std::uint8_t> data(multi.begin(), multi.end());
  data.push_back(0);
  ASSERT_EQ(machine->Platform().registry.SetValue(registry_values::kCurrentVersionKey, "CurrentType",
                                                  platform::kRegSz, data),
            platform::kErrorSuccess);
  inspect::IdentifyHal(machine->Platform(), installation);
  EXPECT_EQ(installation.halKind, HalKind::kMultiprocessor);
}

TEST(IdentifyHal, KindOfAnOriginalFilename) {
  const struct {
    const char* name;
    HalKind kind;
  } cases[] = {
      {"hal.dll", HalKind::kUniprocessor},       {"HALAPIC.DLL", HalKind::kUniprocessor},
      {"ntoskrnl.exe", HalKind::kUniprocessor},  {"halmps.dll", HalKind::kMultiprocessor},
      {"NtKrnlMp.Exe", HalKind::kMultiprocessor}, {"halmpsm.dll", HalKind::kNotIdentified},
      {"ntkrnlpa.exe", HalKind::kNotIdentified}, {"hal.dll ", HalKind::kNotIdentified},
      {"", HalKind::kNotIdentified},
  };
  for (const auto& c : cases) EXPECT_EQ(inspect::HalKindOfFileName(c.name), c.kind) << c.name;
}

// The installed HAL and kernel as they are on disk, and whether they name another kind than
// CurrentType records.
TEST(IdentifyHal, ReadsTheInstalledFilesNamesAndComparesTheirKind) {
  struct Case {
    const char* name;
    std::string hal;  // a stand-in's path, or "=" and the bytes
    std::string kernel;
    const char* currentType;
    const char* halName;
    const char* kernelName;
    bool disagree;
  } cases[] = {
      {"both uniprocessor, recorded so", "sp/hal.dll", "sp/ntoskrnl.exe", "Uniprocessor Free",
       "hal.dll", "ntoskrnl.exe", false},
      {"both multiprocessor, recorded so", "sp/halmps.dll", "sp/ntkrnlmp.exe",
       "Multiprocessor Free", "halmps.dll", "ntkrnlmp.exe", false},
      {"uniprocessor files put back under a multiprocessor record", "sp/hal.dll",
       "sp/ntoskrnl.exe", "Multiprocessor Free", "hal.dll", "ntoskrnl.exe", true},
      {"the APIC HAL under a multiprocessor record", "sp/halapic.dll", "sp/ntkrnlmp.exe",
       "Multiprocessor Free", "halapic.dll", "ntkrnlmp.exe", true},
      {"only the HAL put back", "sp/hal.dll", "sp/ntkrnlmp.exe", "Multiprocessor Free", "hal.dll",
       "ntkrnlmp.exe", true},
      {"multiprocessor files under a uniprocessor record", "sp/halmps.dll", "sp/ntkrnlmp.exe",
       "Uniprocessor Free", "halmps.dll", "ntkrnlmp.exe", true},
      {"files without a version resource", "misc/noversion.dll", "=stand-in kernel",
       "Multiprocessor Free", "", "", false},
      {"an unknown name", "misc/german.dll", "sp/ntkrnlmp.exe", "Multiprocessor Free",
       "deutsch.dll", "ntkrnlmp.exe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempImage image;
    testing::WriteBootMachine(image);
    image.WriteImageFile("registry.reg", testing::CurrentVersionRegistry(c.currentType));
    const auto bytes = [](const std::string& file) {
      return file.rfind('=', 0) == 0 ? file.substr(1) : testing::StandinBytes(file);
    };
    image.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", bytes(c.hal));
    image.WriteDriveFile("C:\\WINNT\\System32\\NTOSKRNL.EXE", bytes(c.kernel));
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine);
    SystemSurvey survey;
    HalInstallation installation;
    inspect::IdentifyHal(machine->Platform(), installation);
    EXPECT_EQ(installation.halFileName, c.halName);
    EXPECT_EQ(installation.kernelFileName, c.kernelName);
    EXPECT_EQ(inspect::InstalledFilesDisagree(installation), c.disagree);
    // The recorded kind keeps its meaning.
    EXPECT_EQ(installation.halKind, inspect::HalKindOf(c.currentType));
  }
}

TEST(IdentifyHal, TheNoticeNamesTheFilesAndTheRecordedKind) {
  TempImage image;
  testing::WriteBootMachine(image);
  auto machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  SystemSurvey survey;
  HalInstallation installation;
  installation.halKind = HalKind::kMultiprocessor;
  installation.halFileName = "hal.dll";
  EXPECT_EQ(InstalledFilesNotice(machine->Platform().ui, installation),
            "The installed HAL and kernel (hal.dll, ?) are not those of the Multiprocessor HAL "
            "that the registry records. A Service Pack or the emergency repair may have "
            "replaced them; please upgrade or downgrade the HAL again.");
}

}  // namespace
}  // namespace halshift
