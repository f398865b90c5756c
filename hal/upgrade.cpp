// HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#include "hal/upgrade.h"

#include "core/registry_values.h"
#include "core/strings.h"
#include "base/text.h"
#include "hal/installer.h"
#include "hal/media_check.h"

namespace halshift::hal {
namespace {

// Stages the pairs and checks them (whole i386 images, of the installed kernel's version)
// before any existing file changes: a kernel or HAL of another processor, build or service
// pack would stop the machine at boot.
// False, with error set and everything staged removed, when either fails.
bool StageCheckedFiles(HalInstallation& installation, SystemFileChange& change,
                       FileNames sourceNames, FileNames destinationNames,
                       std::string_view kernelSourceName, std::string& error) {
  if (!change.Stage(sourceNames, destinationNames)) {
    error = StagingFailureText(installation.Machine(), change.Failure(),
                               installation.systemDirectory);
    return false;
  }
  if (!StagedFilesSuitSystem(installation, change, kernelSourceName, error)) {
    change.Abandon();
    return false;
  }
  return true;
}

// Installs the pairs and records the HAL kind as one change. The files stand only together with
// the record: when CurrentType cannot be written, the files are put back, since new files under
// the old recorded kind would make the next identification wrong. setup.log follows once the
// change stands, and never decides whether it stands.
bool SwitchHal(HalInstallation& installation, FileNames sourceNames,
               std::string_view kernelSourceName, std::string_view currentType,
               std::string& error, std::string& warning) {
  platform::Platform& machine = installation.Machine();
  SystemFileChange change(installation);
  if (!StageCheckedFiles(installation, change, sourceNames, SystemFileNames, kernelSourceName,
                         error)) {
    return false;
  }
  const std::string systemRoot = registry_values::ReadSystemRoot(machine.registry);
  change.KeepSetupLogInStep(systemRoot);
  if (!change.Commit(currentType)) {
    error = machine.ui.LoadString(strings::kCopyError);
    return false;
  }
  if (change.SetupLogOutcome() == SetupLogUpdate::kFailed) {
    warning = text::FillIn(machine.ui.LoadString(strings::kSetupLogNotUpdated),
                           {SetupLogPath(systemRoot)});
  }
  return true;
}

}  // namespace

bool UpgradeHal(HalInstallation& installation, std::string& error, std::string& warning) {
  return SwitchHal(installation, MultiprocessorSourceNames, kMultiprocessorKernel,
                   registry_values::kMultiprocessorType, error, warning);
}

bool DowngradeHal(HalInstallation& installation, std::string& error, std::string& warning) {
  const FileNames sourceNames = installation.Survey().apicPresent != 0
                                    ? FileNames(UniprocessorApicSourceNames)
                                    : FileNames(UniprocessorSourceNames);
  return SwitchHal(installation, sourceNames, kUniprocessorKernel, registry_values::kUniprocessorType,
                   error, warning);
}

bool InstallRecoveryFiles(HalInstallation& installation, std::string& error) {
  SystemFileChange change(installation);
  // The plain uniprocessor HAL, whatever the firmware says about the APIC.
  if (!StageCheckedFiles(installation, change, UniprocessorSourceNames, RecoveryFileNames,
                         kUniprocessorKernel, error)) {
    return false;
  }
  if (!change.Commit(std::nullopt)) {
    error = installation.Machine().ui.LoadString(strings::kCopyError);
    return false;
  }
  return true;
}

bool UpgradeRecommended(const HalInstallation& installation) {
  return installation.Survey().installedProcessors > 1 &&
         installation.halKind == HalKind::kUniprocessor;
}

bool DowngradeRecommended(const HalInstallation& installation) {
  return installation.Survey().installedProcessors <= 1 &&
         installation.halKind == HalKind::kMultiprocessor;
}

}  // namespace halshift::hal
