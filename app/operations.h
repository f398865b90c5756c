// The four operations of a session, as both drivers run them (the silent command line and the
// dialog's Apply): each one's call and the texts that report its outcome.
#pragma once

#include <string>

#include "app/app.h"

namespace halshift {

enum class Operation { kEnableRecovery, kDisableRecovery, kUpgradeHal, kDowngradeHal };

struct OperationOutcome {
  bool succeeded = false;
  // On failure, the operation's failure text followed by the reason: what the log holds
  // before its closing line feed, and what the dialog shows.
  std::string failure;
  // On success, what the operation could not do beside its change, which stands (setup.log
  // not kept in step); empty when nothing. The log holds it after the success text, followed
  // by a line feed, and the dialog shows it.
  std::string warning;
};

// Installs the spare uniprocessor HAL and kernel as UPHAL.DLL and UPKERNEL.EXE, then adds the
// recovery entry. On failure sets error to a text of InstallRecoveryFiles (the spare files
// were not installed: hal/upgrade.h) or of bootmenu::EnableRecoveryEntry (the boot menu).
bool EnableRecovery(HalInstallation& installation, std::string& error);

// Runs the operation on app.installation and writes its outcome to the log: the success text
// (then the warning and a line feed, when there is one), or the failure text, the reason and a
// line feed. reason is shared by the operations of one run and is not emptied first: a failing
// operation writes its own reason into it.
OperationOutcome RunOperation(HalUtilityApp& app, Operation operation, std::string& reason);

}  // namespace halshift
