// The silent run's driver: keywords, installation media, then the recovery and HAL steps,
// each outcome logged.
#include <string>
#include <string_view>

#include "app/app.h"
#include "core/strings.h"
#include "base/text.h"
#include "app/operations.h"
#include "hal/installer.h"

namespace halshift {
namespace {

struct OperationRequest {
  bool upgradeHal = false;
  bool downgradeHal = false;
  bool enableRecovery = false;
  bool disableRecovery = false;
};

// Keywords are substrings of the upper-cased line; of each pair the first listed wins.
OperationRequest ReadKeywords(std::string_view commandLine) {
  OperationRequest request;
  request.upgradeHal = text::Contains(commandLine, "UPGRADE_HAL");
  request.downgradeHal = !request.upgradeHal && text::Contains(commandLine, "DOWNGRADE_HAL");
  request.enableRecovery = text::Contains(commandLine, "ENABLE_RECOVERY");
  request.disableRecovery =
      !request.enableRecovery && text::Contains(commandLine, "DISABLE_RECOVERY");
  return request;
}

constexpr std::string_view kMediaDirectories[] = {"\\I386", "\\NT4SP6\\I386"};
constexpr std::string_view kMediaProbeFile = "\\HAL.DLL";

// The media directory on the drive that holds the uniprocessor HAL, plain or compressed;
// empty when neither directory does.
std::string FindMediaDirectory(platform::FileSystem& files, std::string drive) {
  if (drive.empty()) drive = kDefaultMediaDrive;
  for (std::string_view directory : kMediaDirectories) {
    const std::string mediaDirectory = drive + std::string(directory);
    if (hal::SourceFileExists(files, mediaDirectory + std::string(kMediaProbeFile))) {
      return mediaDirectory;
    }
  }
  return {};
}

}  // namespace

bool RunCommandLine(HalUtilityApp& app, std::string commandLine) {
  const OperationRequest request = ReadKeywords(commandLine);
  if (!request.upgradeHal && !request.downgradeHal && !request.enableRecovery &&
      !request.disableRecovery) {
    app.log.WriteEntry(app.LoadString(strings::kNoValidOptions));
    return false;
  }

  const std::string mediaDirectory =
      FindMediaDirectory(app.Machine().files, app.survey.cdromDrive);
  if (mediaDirectory.empty()) {
    app.log.WriteEntry(app.LoadString(strings::kMediaNotFound));
    return false;
  }
  app.installation.sourceDirectory = mediaDirectory;

  bool recoveryFailed = false;
  if (request.enableRecovery) {
    recoveryFailed = !RunOperation(app, Operation::kEnableRecovery).succeeded;
  } else if (request.disableRecovery) {
    recoveryFailed = !RunOperation(app, Operation::kDisableRecovery).succeeded;
  }

  // The HAL step runs whether or not the recovery step failed.
  bool halFailed = false;
  if (request.upgradeHal) {
    halFailed = !RunOperation(app, Operation::kUpgradeHal).succeeded;
  } else if (request.downgradeHal) {
    halFailed = !RunOperation(app, Operation::kDowngradeHal).succeeded;
  }
  return !recoveryFailed && !halFailed;
}

}  // namespace halshift
