// The two process-wide state objects: what the machine is, and what halshift changes. Their
// operations live with the subsystem that owns them: RunSystemSurvey and IdentifyHal in
// inspect/, UpgradeHal, DowngradeHal and the recommendations in hal/, the recovery entry's
// edits in bootmenu/, and EnableRecovery, which joins the spare files and the entry, in app/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace halshift {

enum class HalKind : std::int32_t {
  kNotIdentified = 0,
  kUniprocessor = 1,
  kMultiprocessor = 2,
};

// Where the installation media is looked for when the survey found no CD-ROM drive.
inline constexpr std::string_view kDefaultMediaDrive = "D:";

// Facts that cannot change while the program runs; filled once by RunSystemSurvey.
class SystemSurvey {
 public:
  explicit SystemSurvey(platform::Platform& platform) : platform_(platform) {}
  virtual ~SystemSurvey() = default;

  std::int32_t installedProcessors = 0;
  // The enabled cores that SMBIOS 2.5 or later reports, where installedProcessors comes from
  // the MP configuration; 0 otherwise. More of them than processors means that the firmware
  // hides processors from Windows NT 4.0.
  std::int32_t smbiosEnabledCores = 0;
  std::int32_t servicePack = 0;
  std::uint32_t apicPresent = 0;
  std::string cdromDrive;

  platform::Platform& Machine() const { return platform_; }

 private:
  platform::Platform& platform_;
};

// What the program changes: the HAL kind recorded in the registry, the recovery boot entry
// and the directories between which system files are installed.
class HalInstallation {
 public:
  HalInstallation(platform::Platform& platform, const SystemSurvey& survey)
      : platform_(platform), survey_(survey) {}
  virtual ~HalInstallation() = default;

  HalKind halKind = HalKind::kNotIdentified;
  std::uint32_t recoveryPresent = 0;
  std::string sourceDirectory;
  std::string systemDirectory;
  // The OriginalFilename in the version resources of the installed HAL.DLL and NTOSKRNL.EXE,
  // as the identification read them; empty where there is none that can be read. They tell
  // which files are installed, whatever CurrentType records.
  std::string halFileName;
  std::string kernelFileName;

  void SetSourceDirectory(std::string directory) { sourceDirectory = std::move(directory); }

  platform::Platform& Machine() const { return platform_; }
  const SystemSurvey& Survey() const { return survey_; }

 private:
  platform::Platform& platform_;
  const SystemSurvey& survey_;
};

}  // namespace halshift
