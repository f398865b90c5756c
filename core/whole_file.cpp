// Whole-file replacement through a flushed temporary file, and temporary-file removal.
#include "core/whole_file.h"

#include <array>
#include <optional>
#include <string>

#include "base/winpath.h"

namespace halshift {
namespace {

constexpr std::uint32_t kRestorableAttributes =
    platform::kFileAttributeReadOnly | platform::kFileAttributeHidden |
    platform::kFileAttributeSystem | platform::kFileAttributeArchive;

// Moves the complete temporary file over the target, flushing it first unless its writer did;
// the temporary file is removed when that fails.
bool ReplaceWith(platform::FileSystem& files, const std::string& temp, std::string_view target,
                 bool flush) {
  // A copy carries its source's attributes, read-only among them, which a flush cannot open.
  files.SetFileAttributes(temp, platform::kFileAttributeNormal);
  bool replaced = !flush || files.FlushFiles(std::array{temp});
  if (replaced) {
    files.SetFileAttributes(target, platform::kFileAttributeNormal);
    replaced = files.MoveFileEx(temp, target, platform::kMoveFileReplaceExisting);
  }
  if (!replaced) RemoveFile(files, temp);
  return replaced;
}

}  // namespace

std::uint32_t RestorableAttributes(std::uint32_t attributes) {
  if (attributes == platform::kInvalidFileAttributes) return platform::kFileAttributeNormal;
  const std::uint32_t restorable = attributes & kRestorableAttributes;
  return restorable != 0 ? restorable : platform::kFileAttributeNormal;
}

void RemoveFile(platform::FileSystem& files, std::string_view path) {
  if (!files.FindFirstFile(path)) return;
  files.SetFileAttributes(path, platform::kFileAttributeNormal);
  files.DeleteFile(path);
}

void RemoveTemporaryFiles(platform::FileSystem& files, std::string_view folder,
                          std::string_view prefix, bool onlyEmpty) {
  const std::string pattern = std::string(prefix) + "*.TMP";
  // The pattern narrows the search; the long name decides.
  for (const auto& found : files.FindFiles(winpath::Join(folder, pattern))) {
    if ((found.attributes & platform::kFileAttributeDirectory) != 0) continue;
    if (!winpath::IsTempFileName(found.name, prefix)) continue;
    if (onlyEmpty && found.size != 0) continue;
    RemoveFile(files, winpath::Join(folder, found.name));
  }
}

bool CopyWhole(platform::FileSystem& files, std::string_view source, std::string_view target,
               std::string_view folder, std::string_view prefix) {
  const auto temp = files.GetTempFileName(folder, prefix);
  if (!temp) return false;
  if (!files.CopyFile(source, *temp, false)) {
    RemoveFile(files, *temp);
    return false;
  }
  return ReplaceWith(files, *temp, target, true);
}

bool WriteWhole(platform::FileSystem& files, std::string_view target, std::string_view bytes,
                std::string_view folder, std::string_view prefix) {
  const auto temp = files.GetTempFileName(folder, prefix);
  if (!temp) return false;
  bool written = false;
  if (auto out = files.OpenFile(*temp, platform::OpenMode::kCreateTruncate)) {
    const bool wrote = out->Write(bytes);
    const bool closed = out->Close();
    written = wrote && closed;
  }
  if (!written) {
    RemoveFile(files, *temp);
    return false;
  }
  // Closing the file flushed it.
  return ReplaceWith(files, *temp, target, false);
}

}  // namespace halshift
