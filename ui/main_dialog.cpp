// The main dialog (being written).
#include "app/app.h"

namespace halshift {
void RunHalUtilityDialog(HalUtilityApp&) {}
}  // namespace halshift
