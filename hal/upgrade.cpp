// HAL upgrade and downgrade, and the recommendation that compares the HAL kind with the
// processor count.
#include "hal/upgrade.h"

#include "app/registry_record.h"
#include "app/strings.h"
#include "hal/installer.h"

namespace halshift::hal {
namespace {

// Installs the pairs and records the HAL kind as one change. The files stand only together with
// the record: when CurrentType cannot be written, the files are put back, since new files under
// the old recorded kind would make the next identification wrong.
bool SwitchHal(HalInstallation& installation, FileNames sourceNames, std::string_view currentType,
               std::string& error) {
  SystemFileChange change(installation);
  if (!change.Stage(sourceNames, SystemFileNames) || !change.Commit(currentType)) {
    error = installation.Machine().ui.LoadString(strings::kCopyError);
    return false;
  }
  return true;
}

}  // namespace

bool UpgradeHal(HalInstallation& installation, std::string& error) {
  return SwitchHal(installation, MultiprocessorSourceNames, record::kMultiprocessorType, error);
}

bool DowngradeHal(HalInstallation& installation, std::string& error) {
  const FileNames sourceNames = installation.Survey().apicPresent != 0
                                    ? FileNames(UniprocessorApicSourceNames)
                                    : FileNames(UniprocessorSourceNames);
  return SwitchHal(installation, sourceNames, record::kUniprocessorType, error);
}

bool UpgradeRecommended(const HalInstallation& installation) {
  return installation.Survey().installedProcessors > 1 &&
         installation.halKind == HalKind::kUniprocessor;
}

bool DowngradeRecommended(const HalInstallation& installation) {
  return installation.Survey().installedProcessors <= 1 &&
         installation.halKind == HalKind::kMultiprocessor;
}

}  // namespace halshift::hal
