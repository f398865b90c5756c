// The HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "core/state.h"
#include "core/system_files.h"

namespace halshift::hal {

// The file-name tables (SystemFileNames and the sets paired with it) are core/system_files.h.
// platform/image still names two of them here.
using halshift::RecoveryFileNames;
using halshift::SystemFileNames;

// Installs the multiprocessor set from installation.sourceDirectory and records "Multiprocessor
// Free", then rewrites the set's lines of setup.log to name the files now installed. On failure
// sets error to text 114 (the files could not be installed from the media), 169 or 170 (the
// system directory took no new file), 166 to 168 (a media file is no whole i386 image) or 159
// (the media does not match the installed system) and changes nothing: every file,
// CurrentType and setup.log are as they were. When the switch stands but setup.log could not
// be rewritten, sets warning to text 160 and still succeeds; warning is left as it was
// otherwise.
bool UpgradeHal(HalInstallation& installation, std::string& error, std::string& warning);
// Installs the uniprocessor HAL (HALAPIC.DLL when the firmware declares the APIC
// configuration) and kernel, and records "Uniprocessor Free"; setup.log, failures and the
// warning as for UpgradeHal.
bool DowngradeHal(HalInstallation& installation, std::string& error, std::string& warning);

// Installs the media's uniprocessor HAL and kernel as the spare UPHAL.DLL and UPKERNEL.EXE of
// the recovery entry, after the same media check; setup.log is not touched (it describes the
// files the system starts with). On failure sets error as UpgradeHal does and changes nothing.
bool InstallRecoveryFiles(HalInstallation& installation, std::string& error);

// More than one processor and the uniprocessor HAL.
bool UpgradeRecommended(const HalInstallation& installation);
// At most one processor (none found included) and the multiprocessor HAL.
bool DowngradeRecommended(const HalInstallation& installation);

}  // namespace halshift::hal
