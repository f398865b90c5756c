// The table of the four operations and the one way their outcomes are reported and logged.
#include "app/operations.h"

#include <array>

#include "app/outcome_texts.h"
#include "core/strings.h"

namespace halshift {
namespace {

using OperationCall = OperationOutcome (*)(platform::Platform& machine, const SystemSurvey& survey,
                                           const HalInstallation& installation);

OperationOutcome FromFiles(hal::FilesOutcome files) {
  OperationOutcome outcome;
  outcome.filesFailure = std::move(files.failure);
  outcome.setupLogLag = std::move(files.setupLogLag);
  return outcome;
}

OperationOutcome FromBootMenu(bootmenu::BootMenuOutcome menu) {
  OperationOutcome outcome;
  if (!menu.Succeeded()) outcome.bootMenuFailure = std::move(menu);
  return outcome;
}

OperationOutcome Enable(platform::Platform& machine, const SystemSurvey&,
                        const HalInstallation& installation) {
  return EnableRecovery(machine, installation);
}

OperationOutcome Disable(platform::Platform& machine, const SystemSurvey&, const HalInstallation&) {
  return FromBootMenu(bootmenu::RemoveRecoveryEntry(machine));
}

OperationOutcome Upgrade(platform::Platform& machine, const SystemSurvey&,
                         const HalInstallation& installation) {
  return FromFiles(hal::UpgradeHal(machine, installation));
}

OperationOutcome Downgrade(platform::Platform& machine, const SystemSurvey& survey,
                           const HalInstallation& installation) {
  return FromFiles(hal::DowngradeHal(machine, installation, survey.apicPresent));
}

struct OperationEntry {
  Operation operation;
  OperationCall run;
  unsigned successText;
  unsigned failureText;
};

constexpr std::array<OperationEntry, 4> kOperations = {{
    {Operation::kEnableRecovery, Enable, strings::kEnabled, strings::kEnableFailed},
    {Operation::kDisableRecovery, Disable, strings::kDisabled, strings::kDisableFailed},
    {Operation::kUpgradeHal, Upgrade, strings::kUpgraded, strings::kUpgradeFailed},
    {Operation::kDowngradeHal, Downgrade, strings::kDowngraded, strings::kDowngradeFailed},
}};

const OperationEntry& EntryOf(Operation operation) {
  for (const OperationEntry& entry : kOperations) {
    if (entry.operation == operation) return entry;
  }
  return kOperations.front();  // not reached: every operation has its row
}

}  // namespace

OperationOutcome EnableRecovery(platform::Platform& machine, const HalInstallation& installation) {
  hal::FilesOutcome files = hal::InstallRecoveryFiles(machine, installation);
  if (!files.Succeeded()) return FromFiles(std::move(files));
  return FromBootMenu(bootmenu::AddRecoveryEntry(machine));
}

OperationOutcome PerformOperation(platform::Platform& machine, const SystemSurvey& survey,
                                  const HalInstallation& installation, Operation operation) {
  return EntryOf(operation).run(machine, survey, installation);
}

std::string FailureReason(platform::UserInterface& ui, const OperationOutcome& outcome) {
  if (outcome.filesFailure) return FilesFailureText(ui, *outcome.filesFailure);
  if (outcome.bootMenuFailure) return BootMenuFailureText(ui, outcome.bootMenuFailure->edit);
  return {};
}

OperationReport ReportOf(platform::UserInterface& ui, Operation operation,
                         const OperationOutcome& outcome) {
  const OperationEntry& entry = EntryOf(operation);
  OperationReport report;
  report.succeeded = outcome.Succeeded();
  if (report.succeeded) {
    if (outcome.setupLogLag) report.warning = SetupLogLagText(ui, *outcome.setupLogLag);
  } else {
    report.failure = ui.LoadString(entry.failureText) + FailureReason(ui, outcome);
  }
  return report;
}

OperationReport RunOperation(HalUtilityApp& app, Operation operation) {
  platform::Platform& machine = app.Machine();
  const OperationOutcome outcome =
      PerformOperation(machine, app.survey, app.installation, operation);
  const OperationReport report = ReportOf(machine.ui, operation, outcome);
  if (report.succeeded) {
    app.log.WriteEntry(app.LoadString(EntryOf(operation).successText));
    if (!report.warning.empty()) app.log.WriteEntry(report.warning + "\n");
  } else {
    app.log.WriteEntry(report.failure + "\n");
  }
  return report;
}

}  // namespace halshift
