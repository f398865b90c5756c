// The media check: whether the files on the installation media belong to the installed system,
// judged by their version resources against the installed kernel's, before any of them is
// installed.
//
// A kernel and HAL of another build or service pack than the rest of the system stop it at
// boot, as do Terminal Server files (revision 0x8000 and above) on a standard installation or
// the reverse. So the media's kernel must carry the installed kernel's build and revision, and
// every file the operation installs its build and edition. A file that has no readable version
// resource, on either side, is not judged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/state.h"
#include "hal/installer.h"
#include "hal/pe_file.h"

namespace halshift::hal {

// Revisions from here on are Terminal Server Edition files.
inline constexpr std::uint16_t kTerminalServerRevision = 0x8000;

enum class MediaRole {
  kKernel,      // the kernel the operation installs: build and revision must agree
  kSystemFile,  // any other file it installs: the build must agree
};

enum class MediaVerdict {
  kSuits,
  kNotChecked,     // one of the two files has no readable fixed version
  kOtherEdition,   // Terminal Server with a standard one, either way round
  kOtherBuild,     // another build number
  kOtherRevision,  // a kernel of the same build and another revision (service pack)
};

struct MediaComparison {
  MediaVerdict verdict = MediaVerdict::kNotChecked;
  // The fixed file versions read; nothing where there is none.
  std::optional<pe::FileVersion> installed;
  std::optional<pe::FileVersion> media;
  bool Suits() const {
    return verdict == MediaVerdict::kSuits || verdict == MediaVerdict::kNotChecked;
  }
};

// Judges one media file against the installed kernel, both given as their whole files' bytes.
// A pure function of the bytes; the edition is judged first, then the build, then (for the
// kernel) the revision.
MediaComparison CompareWithInstalledKernel(std::span<const std::uint8_t> installedKernel,
                                           std::span<const std::uint8_t> mediaFile,
                                           MediaRole role);

// A media file that does not suit the installed system.
struct MediaMismatch {
  std::string mediaName;  // as the file list names it: "NTKRNLMP.EXE"
  MediaComparison comparison;
};

// The staged files of a change judged against the installed kernel's bytes: first the file
// staged from kernelSourceName (as the kernel), then every other in staging order. The first
// that does not suit; nothing when all do.
std::optional<MediaMismatch> FindMediaMismatch(
    std::string_view installedKernel, std::span<const SystemFileChange::StagedFile> staged,
    std::string_view kernelSourceName);

// The name of the installed kernel in the system directory.
inline constexpr std::string_view kInstalledKernelName = "NTOSKRNL.EXE";

// Reads the installed kernel of installation.systemDirectory and judges the change's staged
// files against it. True when they suit (or the kernel cannot be read); otherwise false, with
// error set to the text that names the media file, both versions and asks for the media of
// the installed service pack. Changes nothing: the caller abandons the change.
bool StagedFilesSuitSystem(const HalInstallation& installation, const SystemFileChange& change,
                           std::string_view kernelSourceName, std::string& error);

}  // namespace halshift::hal
