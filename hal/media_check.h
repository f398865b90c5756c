// The media check: whether the files on the installation media belong to the installed system,
// before any of them is installed.
//
// Every file must be a whole PE image for the i386: a compressed file copied without being
// expanded, a text, a file cut off, or one from the \ALPHA, \MIPS or \PPC folder of the CD
// would leave a system that does not start. Then the version resources are compared with the
// installed kernel's. A kernel and HAL of another build or service pack than the rest of the system stop it at
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
#include <variant>

#include "core/state.h"
#include "hal/installer.h"
#include "inspect/pe_file.h"

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

// A staged file that an Intel installation of Windows NT cannot load.
struct UnfitImage {
  std::string mediaName;  // as the file list names it: "HALMPS.DLL"
  std::uint64_t size = 0;
  pe::ImageCheck check;  // its fault is never kNone
};

// The first staged file, in staging order, that is not a whole i386 PE image; nothing when
// every one is. A file without a version resource is judged like any other.
std::optional<UnfitImage> FindUnfitImage(std::span<const SystemFileChange::StagedFile> staged);

// The name of the installed kernel in the system directory.
inline constexpr std::string_view kInstalledKernelName = "NTOSKRNL.EXE";

// Why the media does not suit the installed system: a file that is no whole i386 image, or one
// of another version.
using MediaRefusal = std::variant<UnfitImage, MediaMismatch>;

// Judges the change's staged files: first that each is a whole i386 image, then their versions
// against the installed kernel of installation.systemDirectory, read through files. Nothing
// when they suit (a kernel that cannot be read is no version to judge against); otherwise the
// first refusal. Changes nothing: the caller abandons the change.
std::optional<MediaRefusal> CheckStagedFiles(platform::FileSystem& files,
                                             const HalInstallation& installation,
                                             const SystemFileChange& change,
                                             std::string_view kernelSourceName);

}  // namespace halshift::hal
