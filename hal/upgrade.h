// The HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/state.h"
#include "core/system_files.h"
#include "hal/installer.h"
#include "hal/media_check.h"
#include "platform/platform.h"

namespace halshift::hal {

// The file-name tables (SystemFileNames and the sets paired with it) are core/system_files.h.

// Why a change of system files did not happen; nothing changed.
struct FilesNotStaged {  // the media or the system directory kept the new files out
  StagingFailure failure = StagingFailure::kSource;
  std::string systemDirectory;
};
struct FilesNotCommitted {};  // a step of the change failed and everything was put back
using FilesFailure = std::variant<FilesNotStaged, UnfitImage, MediaMismatch, FilesNotCommitted>;

// How a HAL switch, or the installation of the spare files, ended.
struct FilesOutcome {
  std::optional<FilesFailure> failure;  // nothing: the change stands
  // The change stands, but setup.log at this path could not be rewritten to follow it.
  std::optional<std::string> setupLogLag;
  bool Succeeded() const { return !failure; }
};

// Installs the multiprocessor set from installation.sourceDirectory and records "Multiprocessor
// Free", then rewrites the set's lines of setup.log to name the files now installed. On
// failure changes nothing: every file, CurrentType and setup.log are as they were. When the
// switch stands but setup.log could not be rewritten, it still succeeds, with the lag.
FilesOutcome UpgradeHal(platform::Platform& machine, const HalInstallation& installation);
// Installs the uniprocessor HAL (HALAPIC.DLL when the firmware declares the APIC
// configuration) and kernel, and records "Uniprocessor Free"; setup.log and failures as for
// UpgradeHal.
FilesOutcome DowngradeHal(platform::Platform& machine, const HalInstallation& installation,
                          bool apicPresent);

// Installs the media's uniprocessor HAL and kernel as the spare UPHAL.DLL and UPKERNEL.EXE of
// the recovery entry, after the same media check; setup.log is not touched (it describes the
// files the system starts with). On failure changes nothing.
FilesOutcome InstallRecoveryFiles(platform::Platform& machine, const HalInstallation& installation);

// More than one processor and the uniprocessor HAL.
bool UpgradeRecommended(const SystemSurvey& survey, const HalInstallation& installation);
// At most one processor (none found included) and the multiprocessor HAL.
bool DowngradeRecommended(const SystemSurvey& survey, const HalInstallation& installation);

}  // namespace halshift::hal
