// The table of the four operations and the one way their outcomes are logged.
#include "app/operations.h"

#include <array>

#include "app/strings.h"
#include "bootmenu/recovery.h"
#include "hal/upgrade.h"

namespace halshift {
namespace {

struct OperationEntry {
  Operation operation;
  bool (*run)(HalInstallation& installation, std::string& error);
  unsigned successText;
  unsigned failureText;
};

constexpr std::array<OperationEntry, 4> kOperations = {{
    {Operation::kEnableRecovery, bootmenu::EnableRecovery, strings::kEnabled,
     strings::kEnableFailed},
    {Operation::kDisableRecovery, bootmenu::DisableRecovery, strings::kDisabled,
     strings::kDisableFailed},
    {Operation::kUpgradeHal, hal::UpgradeHal, strings::kUpgraded, strings::kUpgradeFailed},
    {Operation::kDowngradeHal, hal::DowngradeHal, strings::kDowngraded,
     strings::kDowngradeFailed},
}};

const OperationEntry& EntryOf(Operation operation) {
  for (const OperationEntry& entry : kOperations) {
    if (entry.operation == operation) return entry;
  }
  return kOperations.front();  // not reached: every operation has its row
}

}  // namespace

OperationOutcome RunOperation(HalUtilityApp& app, Operation operation, std::string& reason) {
  const OperationEntry& entry = EntryOf(operation);
  OperationOutcome outcome;
  outcome.succeeded = entry.run(app.installation, reason);
  if (outcome.succeeded) {
    app.log.WriteEntry(app.LoadString(entry.successText));
  } else {
    outcome.failure = app.LoadString(entry.failureText) + reason;
    app.log.WriteEntry(outcome.failure + "\n");
  }
  return outcome;
}

}  // namespace halshift
