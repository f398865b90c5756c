// The texts of outcomes, from the string table.
#include "app/outcome_texts.h"

#include <cstdio>
#include <variant>

#include "base/text.h"
#include "core/strings.h"

namespace halshift {
namespace {

// Shown for a file whose name cannot be read.
constexpr std::string_view kUnknownName = "?";

std::string UnfitImageText(platform::UserInterface& ui, const hal::UnfitImage& unfit) {
  switch (unfit.check.fault) {
    case pe::ImageFault::kCutOff:
      return text::FillIn(ui.LoadString(strings::kImageCutOff),
                          {unfit.mediaName, std::to_string(unfit.size),
                           std::to_string(unfit.check.requiredSize)});
    case pe::ImageFault::kOtherMachine: {
      char machine[8];
      std::snprintf(machine, sizeof machine, "0x%X", unsigned{unfit.check.machine});
      return text::FillIn(ui.LoadString(strings::kImageOtherProcessor),
                          {unfit.mediaName, machine});
    }
    case pe::ImageFault::kNone:
    case pe::ImageFault::kNotPe:
      break;
  }
  return text::FillIn(ui.LoadString(strings::kNotAnImage), {unfit.mediaName});
}

std::string StagingFailureText(platform::UserInterface& ui, const hal::FilesNotStaged& refused) {
  switch (refused.failure) {
    case hal::StagingFailure::kDiskFull:
      return text::FillIn(ui.LoadString(strings::kStagingDiskFull), {refused.systemDirectory});
    case hal::StagingFailure::kDestination:
      return text::FillIn(ui.LoadString(strings::kStagingNotWritable), {refused.systemDirectory});
    case hal::StagingFailure::kNone:
    case hal::StagingFailure::kSource:
      break;
  }
  return ui.LoadString(strings::kCopyError);
}

}  // namespace

std::string FilesFailureText(platform::UserInterface& ui, const hal::FilesFailure& failure) {
  struct Text {
    platform::UserInterface& ui;
    std::string operator()(const hal::FilesNotStaged& refused) const {
      return StagingFailureText(ui, refused);
    }
    std::string operator()(const hal::UnfitImage& unfit) const { return UnfitImageText(ui, unfit); }
    std::string operator()(const hal::MediaMismatch& mismatch) const {
      return text::FillIn(ui.LoadString(strings::kMediaMismatch),
                          {mismatch.mediaName, mismatch.comparison.media->ToString(),
                           mismatch.comparison.installed->ToString()});
    }
    std::string operator()(const hal::FilesNotCommitted&) const {
      return ui.LoadString(strings::kCopyError);
    }
  };
  return std::visit(Text{ui}, failure);
}

std::string BootMenuFailureText(platform::UserInterface& ui, bootmenu::MenuEdit edit) {
  return ui.LoadString(edit == bootmenu::MenuEdit::kFailed ? strings::kBootIniError
                                                           : strings::kBootIniUnchanged);
}

std::string SetupLogLagText(platform::UserInterface& ui, std::string_view setupLogPath) {
  return text::FillIn(ui.LoadString(strings::kSetupLogNotUpdated), {setupLogPath});
}

std::string HiddenProcessorsNotice(platform::UserInterface& ui, const SystemSurvey& survey) {
  return text::FillIn(ui.LoadString(strings::kHiddenProcessors),
                      {std::to_string(survey.smbiosEnabledCores),
                       std::to_string(survey.installedProcessors)});
}

std::string InstalledFilesNotice(platform::UserInterface& ui, const HalInstallation& installation) {
  const auto shown = [](const std::string& name) {
    return name.empty() ? kUnknownName : std::string_view(name);
  };
  return text::FillIn(ui.LoadString(strings::kRevertedHal),
                      {shown(installation.halFileName), shown(installation.kernelFileName),
                       ui.LoadString(strings::HalKindText(installation.halKind))});
}

}  // namespace halshift
