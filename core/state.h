// The two process-wide state objects: what the machine is, and what halshift changes. They
// are plain data; the operations take the machine (platform::Platform) beside them:
// RunSystemSurvey and IdentifyHal in inspect/, UpgradeHal, DowngradeHal and the
// recommendations in hal/, the recovery entry's edits in bootmenu/, and EnableRecovery, which
// joins the spare files and the entry, in app/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>


namespace halshift {

enum class HalKind : std::int32_t {
  kNotIdentified = 0,
  kUniprocessor = 1,
  kMultiprocessor = 2,
};

// Where the installation media is looked for when the survey found no CD-ROM drive.
inline constexpr std::string_view kDefaultMediaDrive = "D:";

// Facts that cannot change while the program runs. Written once, at start-up, by
// inspect::RunSystemSurvey; everything else reads them.
struct SystemSurvey {
  std::int32_t installedProcessors = 0;
  // The enabled cores that SMBIOS 2.5 or later reports, where installedProcessors comes from
  // the MP configuration; 0 otherwise. More of them than processors means that the firmware
  // hides processors from Windows NT 4.0.
  std::int32_t smbiosEnabledCores = 0;
  std::int32_t servicePack = 0;
  bool apicPresent = false;
  std::string cdromDrive;
};

// What the program changes: the HAL kind recorded in the registry, the recovery boot entry
// and the directories between which system files are installed. inspect::IdentifyHal writes
// every field but sourceDirectory, at start-up and after each Apply; the drivers (the command
// line, the dialog's Apply) write sourceDirectory, the media they found or were given.
struct HalInstallation {
  HalKind halKind = HalKind::kNotIdentified;
  bool recoveryPresent = false;
  std::string sourceDirectory;
  std::string systemDirectory;
  // The OriginalFilename in the version resources of the installed HAL.DLL and NTOSKRNL.EXE,
  // as the identification read them; empty where there is none that can be read. They tell
  // which files are installed, whatever CurrentType records.
  std::string halFileName;
  std::string kernelFileName;
};

}  // namespace halshift
