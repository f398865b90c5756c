// The HAL upgrade and downgrade, the file-name tables they install, and the recommendation that
// compares the HAL kind with the processor count.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/state.h"

namespace halshift::hal {

// Destination names in the system directory, in installation order.
inline constexpr std::array<std::string_view, 6> SystemFileNames = {
    "HAL.DLL", "NTOSKRNL.EXE", "NTDLL.DLL", "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"};
// Source names on the media of the multiprocessor set, paired with SystemFileNames.
inline constexpr std::array<std::string_view, 6> MultiprocessorSourceNames = {
    "HALMPS.DLL", "NTKRNLMP.EXE", "NTDLL.DLL", "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"};
// The uniprocessor HAL and kernel; paired with the first two of SystemFileNames, so a
// downgrade leaves the other four files as they are.
inline constexpr std::array<std::string_view, 2> UniprocessorSourceNames = {"HAL.DLL",
                                                                             "NTOSKRNL.EXE"};
// The same for a machine whose firmware declares the APIC configuration.
inline constexpr std::array<std::string_view, 2> UniprocessorApicSourceNames = {"HALAPIC.DLL",
                                                                                 "NTOSKRNL.EXE"};
// The spare HAL and kernel of the recovery boot entry, paired with UniprocessorSourceNames.
inline constexpr std::array<std::string_view, 2> RecoveryFileNames = {"UPHAL.DLL",
                                                                       "UPKERNEL.EXE"};
// The kernels on the media that the tables install, which the media check compares with the
// installed kernel.
inline constexpr std::string_view kMultiprocessorKernel = MultiprocessorSourceNames[1];
inline constexpr std::string_view kUniprocessorKernel = UniprocessorSourceNames[1];

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
