// HAL identification: the HAL kind recorded in the registry, the recovery boot entry and the
// system directory into which the HAL operations install.
#pragma once

#include <string>
#include <string_view>

#include "core/state.h"
#include "platform/platform.h"

namespace halshift::inspect {

// Uniprocessor exactly when the CurrentType text is "Uniprocessor Free", case included;
// multiprocessor for every other text, an empty one included.
HalKind HalKindOf(std::string_view currentType);

// Fills installation.halKind from CurrentType, installation.recoveryPresent from the boot
// menus, installation.systemDirectory from SystemRoot, and installation.halFileName and
// kernelFileName from the version resources of HAL.DLL and NTOSKRNL.EXE in that directory.
// Never fails: what cannot be read reads as empty.
void IdentifyHal(platform::Platform& machine, HalInstallation& installation);

// The kind of HAL an OriginalFilename names, without regard to case: "hal.dll", "halapic.dll"
// and "ntoskrnl.exe" the uniprocessor kind, "halmps.dll" and "ntkrnlmp.exe" the
// multiprocessor kind; kNotIdentified (no opinion) for any other name and an empty one.
HalKind HalKindOfFileName(std::string_view originalFilename);

// True when the installed HAL or kernel names a kind other than the one CurrentType records
// (installation.halKind): a switch undone behind halshift's back, by a service pack or a
// repair that put other files down. A file with no opinion agrees with anything.
bool InstalledFilesDisagree(const HalInstallation& installation);

}  // namespace halshift::inspect
