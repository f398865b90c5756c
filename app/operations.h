// The four operations of a session, as both drivers run them (the silent command line and the
// dialog's Apply): each one's call, its outcome, and the texts that report it.
#pragma once

#include <optional>
#include <string>

#include "app/app.h"
#include "bootmenu/recovery.h"
#include "hal/upgrade.h"

namespace halshift {

enum class Operation { kEnableRecovery, kDisableRecovery, kUpgradeHal, kDowngradeHal };

// How an operation ended: success, or which step failed and with what.
struct OperationOutcome {
  // The system files (the HAL and kernel switch, or the recovery entry's spare files) did not
  // change.
  std::optional<hal::FilesFailure> filesFailure;
  // The boot menu was not edited (edit is never kDone), on the drive named.
  std::optional<bootmenu::BootMenuOutcome> bootMenuFailure;
  // On success: the change stands, but setup.log at this path could not follow it.
  std::optional<std::string> setupLogLag;

  bool Succeeded() const { return !filesFailure && !bootMenuFailure; }
};

// Installs the spare uniprocessor HAL and kernel as UPHAL.DLL and UPKERNEL.EXE, then adds the
// recovery entry. When the menu cannot be edited the spare files stay installed, as a
// matching pair: only the recovery entry starts them.
OperationOutcome EnableRecovery(platform::Platform& machine, const HalInstallation& installation);

// Runs the operation on the machine as the survey and the installation describe it.
OperationOutcome PerformOperation(platform::Platform& machine, const SystemSurvey& survey,
                                  const HalInstallation& installation, Operation operation);

// An outcome in words.
struct OperationReport {
  bool succeeded = false;
  // On failure, the operation's failure text followed by the reason: what the log holds
  // before its closing line feed, and what the dialog shows.
  std::string failure;
  // On success, what the operation could not do beside its change, which stands (setup.log
  // not kept in step); empty when nothing. The log holds it after the success text, followed
  // by a line feed, and the dialog shows it.
  std::string warning;
};

// Why a failed operation failed, without the operation's own failure text.
std::string FailureReason(platform::UserInterface& ui, const OperationOutcome& outcome);

OperationReport ReportOf(platform::UserInterface& ui, Operation operation,
                         const OperationOutcome& outcome);

// Runs the operation on app's machine and installation and writes its report to the log: the
// success text (then the warning and a line feed, when there is one), or the failure text,
// the reason and a line feed.
OperationReport RunOperation(HalUtilityApp& app, Operation operation);

}  // namespace halshift
