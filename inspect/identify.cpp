// HAL identification (being written).
#include "app/state.h"

namespace halshift {
bool HalInstallation::IdentifyHal() { return true; }
}  // namespace halshift
