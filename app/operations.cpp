// The table of the four operations and the one way their outcomes are logged.
#include "app/operations.h"

#include <array>

#include "core/strings.h"
#include "bootmenu/recovery.h"
#include "hal/upgrade.h"

namespace halshift {
namespace {

// An operation: success or failure with a reason in error; on success, what it could not do
// beside its change in warning.
using OperationCall = bool (*)(HalInstallation& installation, std::string& error,
                               std::string& warning);

// The recovery operations change one file or fail: they have nothing to warn about.
template <bool (*Run)(HalInstallation&, std::string&)>
bool WithoutWarning(HalInstallation& installation, std::string& error, std::string&) {
  return Run(installation, error);
}

struct OperationEntry {
  Operation operation;
  OperationCall run;
  unsigned successText;
  unsigned failureText;
};

constexpr std::array<OperationEntry, 4> kOperations = {{
    {Operation::kEnableRecovery, WithoutWarning<EnableRecovery>, strings::kEnabled,
     strings::kEnableFailed},
    {Operation::kDisableRecovery, WithoutWarning<bootmenu::DisableRecovery>, strings::kDisabled,
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

bool EnableRecovery(HalInstallation& installation, std::string& error) {
  if (!hal::InstallRecoveryFiles(installation, error)) return false;
  // When the menu cannot be edited the spare files stay installed, as a matching pair: only
  // the recovery entry starts them.
  return bootmenu::EnableRecoveryEntry(installation, error);
}

OperationOutcome RunOperation(HalUtilityApp& app, Operation operation, std::string& reason) {
  const OperationEntry& entry = EntryOf(operation);
  OperationOutcome outcome;
  outcome.succeeded = entry.run(app.installation, reason, outcome.warning);
  if (outcome.succeeded) {
    app.log.WriteEntry(app.LoadString(entry.successText));
    if (!outcome.warning.empty()) app.log.WriteEntry(outcome.warning + "\n");
  } else {
    outcome.failure = app.LoadString(entry.failureText) + reason;
    app.log.WriteEntry(outcome.failure + "\n");
  }
  return outcome;
}

}  // namespace halshift
