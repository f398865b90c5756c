// The system survey (being written): processors, service pack and CD-ROM drive.
#include "app/state.h"

namespace halshift {
void SystemSurvey::RunSystemSurvey() {}
}  // namespace halshift
