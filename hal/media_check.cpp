// The media check: the version rule and its use on the staged files of a change.
#include "hal/media_check.h"

#include "base/text.h"
#include "base/winpath.h"

namespace halshift::hal {
namespace {

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The fixed file version, when the file has a version resource with one.
std::optional<pe::FileVersion> FixedVersionOf(std::span<const std::uint8_t> file) {
  const pe::VersionResource resource = pe::ReadVersionResource(file);
  if (resource.state != pe::VersionState::kPresent) return std::nullopt;
  return resource.fileVersion;
}

bool IsTerminalServer(const pe::FileVersion& version) {
  return version.revision >= kTerminalServerRevision;
}

}  // namespace

MediaComparison CompareWithInstalledKernel(std::span<const std::uint8_t> installedKernel,
                                           std::span<const std::uint8_t> mediaFile,
                                           MediaRole role) {
  MediaComparison comparison;
  comparison.installed = FixedVersionOf(installedKernel);
  comparison.media = FixedVersionOf(mediaFile);
  if (!comparison.installed || !comparison.media) return comparison;
  const pe::FileVersion& installed = *comparison.installed;
  const pe::FileVersion& media = *comparison.media;
  if (IsTerminalServer(installed) != IsTerminalServer(media)) {
    comparison.verdict = MediaVerdict::kOtherEdition;
  } else if (installed.build != media.build) {
    comparison.verdict = MediaVerdict::kOtherBuild;
  } else if (role == MediaRole::kKernel && installed.revision != media.revision) {
    comparison.verdict = MediaVerdict::kOtherRevision;
  } else {
    comparison.verdict = MediaVerdict::kSuits;
  }
  return comparison;
}

std::optional<MediaMismatch> FindMediaMismatch(
    std::string_view installedKernel, std::span<const SystemFileChange::StagedFile> staged,
    std::string_view kernelSourceName) {
  const auto judge = [&](const SystemFileChange::StagedFile& file,
                         MediaRole role) -> std::optional<MediaMismatch> {
    MediaComparison comparison =
        CompareWithInstalledKernel(BytesOf(installedKernel), BytesOf(file.bytes), role);
    if (comparison.Suits()) return std::nullopt;
    return MediaMismatch{file.sourceName, comparison};
  };
  const auto isKernel = [&](const SystemFileChange::StagedFile& file) {
    return text::EqualsIgnoreCase(file.sourceName, kernelSourceName);
  };
  // The kernel first: its versions tell the user most about the media.
  for (const auto& file : staged) {
    if (!isKernel(file)) continue;
    if (auto mismatch = judge(file, MediaRole::kKernel)) return mismatch;
  }
  for (const auto& file : staged) {
    if (isKernel(file)) continue;
    if (auto mismatch = judge(file, MediaRole::kSystemFile)) return mismatch;
  }
  return std::nullopt;
}

std::optional<UnfitImage> FindUnfitImage(std::span<const SystemFileChange::StagedFile> staged) {
  for (const auto& file : staged) {
    const pe::ImageCheck check = pe::CheckWholeImage(BytesOf(file.bytes));
    if (check.fault != pe::ImageFault::kNone) return UnfitImage{file.sourceName, file.bytes.size(), check};
  }
  return std::nullopt;
}

std::optional<MediaRefusal> CheckStagedFiles(platform::FileSystem& files,
                                             const HalInstallation& installation,
                                             const SystemFileChange& change,
                                             std::string_view kernelSourceName) {
  if (std::optional<UnfitImage> unfit = FindUnfitImage(change.Staged())) return std::move(*unfit);
  const std::optional<std::string> installedKernel =
      files.ReadFile(winpath::JoinUnchecked(installation.systemDirectory, kInstalledKernelName));
  // An unreadable kernel is a kernel without a readable version: nothing to judge against.
  if (!installedKernel) return std::nullopt;
  if (std::optional<MediaMismatch> mismatch =
          FindMediaMismatch(*installedKernel, change.Staged(), kernelSourceName)) {
    return std::move(*mismatch);
  }
  return std::nullopt;
}

}  // namespace halshift::hal
