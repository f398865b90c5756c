// HAL upgrade and downgrade (being written).
#include "app/state.h"

namespace halshift {
bool HalInstallation::UpgradeHal(std::string&) { return false; }
bool HalInstallation::DowngradeHal(std::string&) { return false; }
bool HalInstallation::UpgradeRecommended() const { return false; }
bool HalInstallation::DowngradeRecommended() const { return false; }
}  // namespace halshift
