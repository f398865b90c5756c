// The silent run's driver (being written).
#include "app/app.h"

namespace halshift {
bool RunCommandLine(HalUtilityApp&, std::string) { return false; }
}  // namespace halshift
