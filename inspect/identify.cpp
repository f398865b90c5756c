// HAL identification: the HAL kind, the recovery entry and the system directory.
#include "inspect/identify.h"

#include "app/registry_record.h"
#include "bootmenu/recovery_detect.h"

namespace halshift::inspect {

HalKind HalKindOf(std::string_view currentType) {
  return currentType == record::kUniprocessorType ? HalKind::kUniprocessor
                                                   : HalKind::kMultiprocessor;
}

void IdentifyHal(HalInstallation& installation) {
  platform::Platform& machine = installation.Machine();
  installation.halKind = HalKindOf(record::ReadCurrentType(machine.registry));
  installation.recoveryPresent = bootmenu::IsRecoveryEntryPresent(machine) ? 1 : 0;
  installation.systemDirectory = record::ReadSystemDirectory(machine.registry);
}

}  // namespace halshift::inspect
