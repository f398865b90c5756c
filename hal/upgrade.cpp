// HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#include "hal/upgrade.h"

#include "core/registry_values.h"
#include "hal/installer.h"
#include "hal/media_check.h"

namespace halshift::hal {
namespace {

FilesOutcome Failed(FilesFailure failure) { return FilesOutcome{std::move(failure), std::nullopt}; }

// Stages the pairs and checks them (whole i386 images, of the installed kernel's version)
// before any existing file changes: a kernel or HAL of another processor, build or service
// pack would stop the machine at boot. The failure, with everything staged removed, when
// either fails.
std::optional<FilesFailure> StageCheckedFiles(platform::Platform& machine,
                                              const HalInstallation& installation,
                                              SystemFileChange& change, FileNames sourceNames,
                                              FileNames destinationNames,
                                              std::string_view kernelSourceName) {
  if (!change.Stage(sourceNames, destinationNames)) {
    return FilesNotStaged{change.Failure(), installation.systemDirectory};
  }
  if (std::optional<MediaRefusal> refusal =
          CheckStagedFiles(machine.files, installation, change, kernelSourceName)) {
    change.Abandon();
    return std::visit([](auto& why) { return FilesFailure(std::move(why)); }, *refusal);
  }
  return std::nullopt;
}

// Installs the pairs and records the HAL kind as one change. The files stand only together with
// the record: when CurrentType cannot be written, the files are put back, since new files under
// the old recorded kind would make the next identification wrong. setup.log follows once the
// change stands, and never decides whether it stands.
FilesOutcome SwitchHal(platform::Platform& machine, const HalInstallation& installation,
                       FileNames sourceNames, std::string_view kernelSourceName,
                       std::string_view currentType) {
  SystemFileChange change(machine, installation);
  if (auto failure = StageCheckedFiles(machine, installation, change, sourceNames,
                                       SystemFileNames, kernelSourceName)) {
    return Failed(std::move(*failure));
  }
  const std::string systemRoot = registry_values::ReadSystemRoot(machine.registry);
  change.KeepSetupLogInStep(systemRoot);
  if (!change.Commit(currentType)) return Failed(FilesNotCommitted{});
  FilesOutcome outcome;
  if (change.SetupLogOutcome() == SetupLogUpdate::kFailed) outcome.setupLogLag = SetupLogPath(systemRoot);
  return outcome;
}

}  // namespace

FilesOutcome UpgradeHal(platform::Platform& machine, const HalInstallation& installation) {
  return SwitchHal(machine, installation, MultiprocessorSourceNames, kMultiprocessorKernel,
                   registry_values::kMultiprocessorType);
}

FilesOutcome DowngradeHal(platform::Platform& machine, const HalInstallation& installation,
                          bool apicPresent) {
  const FileNames sourceNames = apicPresent ? FileNames(UniprocessorApicSourceNames)
                                            : FileNames(UniprocessorSourceNames);
  return SwitchHal(machine, installation, sourceNames, kUniprocessorKernel,
                   registry_values::kUniprocessorType);
}

FilesOutcome InstallRecoveryFiles(platform::Platform& machine, const HalInstallation& installation) {
  SystemFileChange change(machine, installation);
  // The plain uniprocessor HAL, whatever the firmware says about the APIC.
  if (auto failure = StageCheckedFiles(machine, installation, change, UniprocessorSourceNames,
                                       RecoveryFileNames, kUniprocessorKernel)) {
    return Failed(std::move(*failure));
  }
  if (!change.Commit(std::nullopt)) return Failed(FilesNotCommitted{});
  return {};
}

bool UpgradeRecommended(const SystemSurvey& survey, const HalInstallation& installation) {
  return survey.installedProcessors > 1 && installation.halKind == HalKind::kUniprocessor;
}

bool DowngradeRecommended(const SystemSurvey& survey, const HalInstallation& installation) {
  return survey.installedProcessors <= 1 && installation.halKind == HalKind::kMultiprocessor;
}

}  // namespace halshift::hal
