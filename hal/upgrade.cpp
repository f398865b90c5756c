// HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#include "hal/upgrade.h"

#include <cstdint>
#include <string>
#include <vector>

#include "app/state.h"
#include "app/strings.h"
#include "hal/installer.h"
#include "inspect/identify.h"

namespace halshift {
namespace {

// Installs the pairs and records the HAL kind. The files stand only together with the record:
// when CurrentType cannot be written, the files are put back, since new files under the old
// recorded kind would make the next identification wrong.
bool SwitchHal(HalInstallation& installation, hal::FileNames sourceNames,
               std::string_view currentType, std::string& error) {
  platform::Platform& machine = installation.Machine();
  hal::SystemFileInstaller installer(installation);
  bool switched = installer.InstallFiles(sourceNames, hal::SystemFileNames);
  if (switched) {
    // REG_SZ stored with its terminating zero.
    std::vector<std::uint8_t> value(currentType.begin(), currentType.end());
    value.push_back(0);
    switched = machine.registry.SetValue(inspect::kCurrentVersionKey, inspect::kCurrentTypeValue,
                                         platform::kRegSz, value) == platform::kErrorSuccess;
  }
  if (!switched) {
    installer.Rollback();
    error = machine.ui.LoadString(strings::kCopyError);
    return false;
  }
  installer.Commit();
  return true;
}

}  // namespace

bool HalInstallation::UpgradeHal(std::string& error) {
  return SwitchHal(*this, hal::MultiprocessorSourceNames, hal::kMultiprocessorType, error);
}

bool HalInstallation::DowngradeHal(std::string& error) {
  const hal::FileNames sourceNames = Survey().apicPresent != 0
                                         ? hal::FileNames(hal::UniprocessorApicSourceNames)
                                         : hal::FileNames(hal::UniprocessorSourceNames);
  return SwitchHal(*this, sourceNames, hal::kUniprocessorFreeType, error);
}

bool HalInstallation::UpgradeRecommended() const {
  return Survey().installedProcessors > 1 && halKind == HalKind::kUniprocessor;
}

bool HalInstallation::DowngradeRecommended() const {
  return Survey().installedProcessors <= 1 && halKind == HalKind::kMultiprocessor;
}

}  // namespace halshift
