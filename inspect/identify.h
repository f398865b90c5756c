// HAL identification: the HAL kind recorded in the registry, the recovery boot entry and the
// system directory into which the HAL operations install.
#pragma once

#include <string_view>

#include "app/state.h"

namespace halshift::inspect {

// Uniprocessor exactly when the CurrentType text is "Uniprocessor Free", case included;
// multiprocessor for every other text, an empty one included.
HalKind HalKindOf(std::string_view currentType);

// Fills installation.halKind from CurrentType, installation.recoveryPresent from the boot
// menus and installation.systemDirectory from SystemRoot. Never fails: what cannot be read
// reads as empty.
void IdentifyHal(HalInstallation& installation);

}  // namespace halshift::inspect
