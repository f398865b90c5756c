// The recovery boot entry (being written).
#include "app/state.h"

namespace halshift {
bool HalInstallation::EnableRecovery(std::string&) { return false; }
bool HalInstallation::DisableRecovery(std::string&) { return false; }
}  // namespace halshift
