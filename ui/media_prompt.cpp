// The source media prompt and the loop that validates its answer.
#include "ui/media_prompt.h"

#include <array>
#include <string>

#include "core/strings.h"
#include "base/text.h"
#include "base/winpath.h"
#include "hal/installer.h"
#include "ui/resource.h"

namespace halshift::ui {
namespace {

constexpr std::string_view kProposedHalPath = "\\I386\\HAL.DLL";
// The label and drive part of the prompt has always been formatted into a buffer of this size
// (its terminating zero included); longer texts are cut there.
constexpr std::size_t kPromptSuffixBuffer = 256;

constexpr std::string_view kBrowseInitialName = "Hal.dll";
constexpr std::string_view kHalFilesPattern = "HAL*.DLL";
constexpr std::string_view kAllFilesPattern = "*.*";

constexpr std::string_view kHalName = "HAL.DLL";
constexpr std::string_view kCompressedHalName = "HAL.DL_";
constexpr std::string_view kHalInDirectory = "\\hal.dll";

}  // namespace

std::string SourceMediaDialog::Text(unsigned id) const { return ui_.LoadString(id); }

std::string SourceMediaDialog::PromptText() const {
  std::string suffix =
      survey_.servicePack > 1
          ? text::FillIn(Text(strings::kMediaPromptServicePack),
                         {std::to_string(survey_.servicePack), mediaDrive})
          : text::FillIn(Text(strings::kMediaPromptServer), {mediaDrive});
  if (suffix.size() > kPromptSuffixBuffer - 1) suffix.resize(kPromptSuffixBuffer - 1);
  return Text(strings::kMediaPromptRequest) + suffix;
}

void SourceMediaDialog::OnInit(platform::DialogControls& dialog) {
  mediaDrive = survey_.cdromDrive.empty() ? std::string(kDefaultMediaDrive) : survey_.cdromDrive;
  dialog.SetText(IDC_MEDIA_PROMPT, PromptText());
  fileLocation = mediaDrive + std::string(kProposedHalPath);
  dialog.SetText(IDC_FILE_LOCATION, fileLocation);
}

void SourceMediaDialog::OnCommand(platform::DialogControls& dialog, int commandId) {
  switch (commandId) {
    case IDC_BROWSE:
      OnBrowse(dialog);
      break;
    case IDC_OK:
      // What the box holds wins, so a location typed after a Browse is the one taken.
      fileLocation = dialog.GetText(IDC_FILE_LOCATION);
      dialog.End(platform::kIdOk);
      break;
    case IDC_CANCEL:
      dialog.End(platform::kIdCancel);
      break;
    default:
      break;
  }
}

void SourceMediaDialog::OnBrowse(platform::DialogControls& dialog) {
  const std::string title = Text(strings::kBrowseTitle);
  const std::string halFiles = Text(strings::kHalFilesFilter);
  const std::string allFiles = Text(strings::kAllFilesFilter);
  const std::array<platform::FileFilter, 2> filters = {{
      {halFiles, kHalFilesPattern},
      {allFiles, kAllFilesPattern},
  }};
  const platform::OpenFileRequest request{title, kBrowseInitialName, filters,
                                          platform::kOfnHideReadOnly};
  if (auto chosen = dialog.ChooseOpenFile(request)) {
    fileLocation = std::move(*chosen);
    dialog.SetText(IDC_FILE_LOCATION, fileLocation);
  }
}

std::optional<std::string> ChooseSourceDirectory(platform::DialogHost& host,
                                                 platform::UserInterface& ui,
                                                 const SystemSurvey& survey,
                                                 platform::FileSystem& files) {
  SourceMediaDialog dialog(ui, survey);
  for (;;) {
    // Only OK goes on. Cancel ends the prompt, and so does a dialog that could not be shown:
    // asking again would fail again, for ever.
    if (dialog.DoModal(host) != platform::kIdOk) return std::nullopt;
    if (dialog.fileLocation.empty()) continue;

    const std::string location = text::ToUpper(dialog.fileLocation);
    if ((text::Contains(location, kHalName) || text::Contains(location, kCompressedHalName)) &&
        hal::SourceFileExists(files, location)) {
      return winpath::DirectoryOf(location);
    }
    const std::uint32_t attributes = files.GetFileAttributes(location);
    if (attributes == platform::kInvalidFileAttributes) continue;
    std::string directory = (attributes & platform::kFileAttributeDirectory) != 0
                                ? location
                                : winpath::DirectoryOf(location);
    if (hal::SourceFileExists(files, directory + std::string(kHalInDirectory))) return directory;
  }
}

}  // namespace halshift::ui
