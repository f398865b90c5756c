// The media check's rule over the stand-in system files: which media files suit which installed
// kernel, and the order in which a change's staged files are judged.
#include "hal/media_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/outcome_texts.h"
#include "core/strings.h"
#include "base/text.h"
#include "tests/support/image_builder.h"
#include "tests/support/pe_fixtures.h"

namespace halshift::hal {
namespace {

using testing::StandinBytes;

std::span<const std::uint8_t> Span(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// A file, by its stand-in path, or by its bytes when it starts with '=' (no stand-in).
std::string Load(const std::string& file) {
  return file.rfind('=', 0) == 0 ? file.substr(1) : StandinBytes(file);
}

TEST(MediaCheckTest, JudgesAMediaFileAgainstTheInstalledKernel) {
  struct Case {
    const char* name;
    std::string installed;
    std::string media;
    MediaRole role;
    MediaVerdict verdict;
    const char* installedVersion;  // "" when none is read
    const char* mediaVersion;
  };
  const std::string cutKernel = StandinBytes("sp/ntkrnlmp.exe").substr(0, 700);
  const Case cases[] = {
      {"the service pack's own kernel", "sp/ntoskrnl.exe", "sp/ntkrnlmp.exe", MediaRole::kKernel,
       MediaVerdict::kSuits, "4.0.1381.335", "4.0.1381.335"},
      {"the base CD's kernel on a service pack", "sp/ntoskrnl.exe", "base/ntkrnlmp.exe",
       MediaRole::kKernel, MediaVerdict::kOtherRevision, "4.0.1381.335", "4.0.1381.7"},
      {"a service pack's kernel on the base system", "base/ntoskrnl.exe", "sp/ntoskrnl.exe",
       MediaRole::kKernel, MediaVerdict::kOtherRevision, "4.0.1381.7", "4.0.1381.335"},
      {"a Terminal Server kernel on a standard system", "sp/ntoskrnl.exe", "tse/ntkrnlmp.exe",
       MediaRole::kKernel, MediaVerdict::kOtherEdition, "4.0.1381.335", "4.0.1381.33074"},
      {"a standard kernel on Terminal Server", "tse/ntoskrnl.exe", "sp/ntkrnlmp.exe",
       MediaRole::kKernel, MediaVerdict::kOtherEdition, "4.0.1381.33074", "4.0.1381.335"},
      {"Terminal Server's own kernel", "tse/ntoskrnl.exe", "tse/ntkrnlmp.exe", MediaRole::kKernel,
       MediaVerdict::kSuits, "4.0.1381.33074", "4.0.1381.33074"},
      {"a kernel of another build", "sp/ntoskrnl.exe", "other/ntkrnlmp.exe", MediaRole::kKernel,
       MediaVerdict::kOtherBuild, "4.0.1381.335", "4.0.1314.1"},
      {"another file of the same build and another revision", "sp/ntoskrnl.exe", "base/hal.dll",
       MediaRole::kSystemFile, MediaVerdict::kSuits, "4.0.1381.335", "4.0.1381.7"},
      {"another file of another build", "other/ntoskrnl.exe", "sp/halmps.dll",
       MediaRole::kSystemFile, MediaVerdict::kOtherBuild, "4.0.1314.1", "4.0.1381.335"},
      {"a Terminal Server HAL on a standard system", "sp/ntoskrnl.exe", "tse/halmps.dll",
       MediaRole::kSystemFile, MediaVerdict::kOtherEdition, "4.0.1381.335", "4.0.1381.33074"},
      {"a standard HAL on Terminal Server", "tse/ntoskrnl.exe", "base/halmps.dll",
       MediaRole::kSystemFile, MediaVerdict::kOtherEdition, "4.0.1381.33074", "4.0.1381.7"},
      {"a media file without a version resource", "sp/ntoskrnl.exe", "misc/noversion.dll",
       MediaRole::kKernel, MediaVerdict::kNotChecked, "4.0.1381.335", ""},
      {"an installed kernel without a version resource", "misc/noversion.dll",
       "other/ntkrnlmp.exe", MediaRole::kKernel, MediaVerdict::kNotChecked, "", "4.0.1314.1"},
      {"an installed kernel that is no PE file", "=stand-in NTOSKRNL.EXE\r\n", "tse/ntkrnlmp.exe",
       MediaRole::kKernel, MediaVerdict::kNotChecked, "", "4.0.1381.33074"},
      {"a media kernel cut off before its resources", "sp/ntoskrnl.exe", "=" + cutKernel,
       MediaRole::kKernel, MediaVerdict::kNotChecked, "4.0.1381.335", ""},
      {"two empty files", "=", "=", MediaRole::kKernel, MediaVerdict::kNotChecked, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string installed = Load(c.installed);
    const std::string media = Load(c.media);
    const MediaComparison comparison =
        CompareWithInstalledKernel(Span(installed), Span(media), c.role);
    EXPECT_EQ(comparison.verdict, c.verdict);
    EXPECT_EQ(comparison.Suits(), c.verdict == MediaVerdict::kSuits ||
                                      c.verdict == MediaVerdict::kNotChecked);
    EXPECT_EQ(comparison.installed ? comparison.installed->ToString() : "", c.installedVersion);
    EXPECT_EQ(comparison.media ? comparison.media->ToString() : "", c.mediaVersion);
  }
}

using Staged = std::vector<SystemFileChange::StagedFile>;

Staged StagedSet(std::initializer_list<std::pair<const char*, const char*>> files) {
  Staged staged;
  for (const auto& [name, standin] : files) staged.push_back({name, name, Load(standin)});
  return staged;
}

TEST(MediaCheckTest, JudgesTheKernelFirstThenEveryOtherFileInOrder) {
  const std::string installed = StandinBytes("sp/ntoskrnl.exe");
  struct Case {
    const char* name;
    Staged staged;
    const char* kernel;
    const char* mismatch;  // nullptr: every file suits
    const char* mediaVersion;
  } cases[] = {
      {"a matching set", StagedSet({{"HALMPS.DLL", "sp/halmps.dll"}, {"NTKRNLMP.EXE", "sp/ntkrnlmp.exe"}}),
       "NTKRNLMP.EXE", nullptr, ""},
      {"the kernel is named before the HAL ahead of it",
       StagedSet({{"HALMPS.DLL", "tse/halmps.dll"}, {"NTKRNLMP.EXE", "base/ntkrnlmp.exe"}}),
       "NTKRNLMP.EXE", "NTKRNLMP.EXE", "4.0.1381.7"},
      {"a HAL of another edition beside a matching kernel",
       StagedSet({{"HALMPS.DLL", "tse/halmps.dll"}, {"NTKRNLMP.EXE", "sp/ntkrnlmp.exe"}}),
       "NTKRNLMP.EXE", "HALMPS.DLL", "4.0.1381.33074"},
      {"only the named kernel counts as the kernel",
       StagedSet({{"HAL.DLL", "base/hal.dll"}, {"NTOSKRNL.EXE", "sp/ntoskrnl.exe"}}),
       "ntoskrnl.exe", nullptr, ""},
      {"files without a version pass",
       StagedSet({{"HAL.DLL", "=stand-in"}, {"NTOSKRNL.EXE", "misc/noversion.dll"},
                  {"NTDLL.DLL", "other/ntoskrnl.exe"}}),
       "NTOSKRNL.EXE", "NTDLL.DLL", "4.0.1314.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto mismatch = FindMediaMismatch(installed, c.staged, c.kernel);
    if (c.mismatch == nullptr) {
      EXPECT_FALSE(mismatch) << mismatch->mediaName;
      continue;
    }
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->mediaName, c.mismatch);
    ASSERT_TRUE(mismatch->comparison.media);
    EXPECT_EQ(mismatch->comparison.media->ToString(), c.mediaVersion);
    EXPECT_EQ(mismatch->comparison.installed->ToString(), "4.0.1381.335");
  }
}

// Before any version is compared, every staged file must be a whole i386 image; the first
// that is not, in staging order, is named with what is wrong with it.
TEST(MediaCheckTest, NamesTheFirstFileThatIsNoWholeI386Image) {
  testing::RecordingUserInterface ui;
  const std::string kernel = StandinBytes("sp/ntkrnlmp.exe");
  const std::string alpha = testing::WithMachine(kernel, 0x184);
  const std::string text = "stand-in WIN32K.SYS\r\n";
  const auto fill = [](unsigned id, std::initializer_list<std::string_view> values) {
    return text::FillIn(strings::BuiltInString(id), values);
  };
  struct Case {
    const char* name;
    Staged staged;
    std::string reason;  // empty: every file is a whole i386 image
  } cases[] = {
      {"whole images, with and without a version",
       {{"HALMPS.DLL", "HAL.DLL", StandinBytes("sp/halmps.dll")},
        {"WINSRV.DLL", "WINSRV.DLL", StandinBytes("misc/noversion.dll")}},
       ""},
      {"a text", {{"WIN32K.SYS", "WIN32K.SYS", text}}, fill(strings::kNotAnImage, {"WIN32K.SYS"})},
      {"a kernel for the Alpha with the installed version", {{"NTKRNLMP.EXE", "NTOSKRNL.EXE", alpha}},
       fill(strings::kImageOtherProcessor, {"NTKRNLMP.EXE", "0x184"})},
      {"a file cut to 700 bytes", {{"WIN32K.SYS", "WIN32K.SYS", kernel.substr(0, 700)}},
       fill(strings::kImageCutOff,
            {"WIN32K.SYS", "700", std::to_string(pe::CheckWholeImage(Span(kernel)).requiredSize)})},
      {"the first of two in staging order",
       {{"HALMPS.DLL", "HAL.DLL", StandinBytes("sp/halmps.dll")},
        {"NTKRNLMP.EXE", "NTOSKRNL.EXE", alpha},
        {"WIN32K.SYS", "WIN32K.SYS", text}},
       fill(strings::kImageOtherProcessor, {"NTKRNLMP.EXE", "0x184"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<UnfitImage> unfit = FindUnfitImage(c.staged);
    if (c.reason.empty()) {
      EXPECT_FALSE(unfit) << unfit->mediaName;
      continue;
    }
    ASSERT_TRUE(unfit);
    EXPECT_EQ(FilesFailureText(ui, *unfit), c.reason);
  }
  // The version rule alone would have let each of them through.
  EXPECT_FALSE(FindMediaMismatch(StandinBytes("sp/ntoskrnl.exe"), cases[2].staged, "NTKRNLMP.EXE"));
}

}  // namespace
}  // namespace halshift::hal
