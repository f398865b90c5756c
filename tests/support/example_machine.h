// Test helpers over whole machine images: copies of the shipped examples, snapshots of a
// drive folder, and the registry values the HAL and recovery operations change.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "inspect/pe_file.h"
#include "platform/image/expand.h"
#include "platform/platform.h"
#include "tests/support/image_builder.h"

namespace halshift::testing {

inline constexpr const char* kSessionManagerKey =
    "System\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const char* kCurrentVersionKeyPath =
    "Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kSystem32 = "C:\\WINNT\\System32";
inline constexpr const char* kSetupLog = "C:\\WINNT\\repair\\setup.log";
inline constexpr const char* kSetupLogBackup = "C:\\WINNT\\repair\\setup.orv";

// Copies the complete example image <name> (examples/<name> with the system files, the CD's
// files and setup.log that the build adds) into the (empty) image directory.
inline void CopyExample(const TempImage& image, const std::string& name) {
  const std::string examples = HALSHIFT_EXAMPLES;
  ASSERT_FALSE(examples.empty())
      << "HALSHIFT_EXAMPLES is empty: the example images were not built (mingw-w64, windres, "
         "python3 or mscompress was missing at configuration)";
  const std::filesystem::path example = std::filesystem::path(examples) / name;
  ASSERT_TRUE(std::filesystem::is_directory(example)) << example;
  std::filesystem::copy(example, image.Root(), std::filesystem::copy_options::recursive |
                                                   std::filesystem::copy_options::overwrite_existing);
}

struct FileState {
  std::string bytes;
  std::uint32_t attributes = 0;
  friend bool operator==(const FileState&, const FileState&) = default;
};

// The files directly in a drive folder, by upper-cased name.
using FolderSnapshot = std::map<std::string, FileState>;

inline FolderSnapshot SnapshotFolder(const TempImage& image, const std::string& windowsFolder) {
  FolderSnapshot snapshot;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(image.DrivePath(windowsFolder), ec)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    const std::string windowsPath = windowsFolder + "\\" + name;
    snapshot[text::ToUpper(name)] = {image.ReadDriveFile(windowsPath).value_or(""),
                                     image.DriveFileAttributes(windowsPath)};
  }
  return snapshot;
}

inline std::string Describe(const FolderSnapshot& snapshot) {
  std::string out;
  for (const auto& [name, state] : snapshot) {
    out += "  " + name + " (" + std::to_string(state.bytes.size()) + " bytes, attributes " +
           std::to_string(state.attributes) + ")\n";
  }
  return out;
}

// The strings of a REG_MULTI_SZ value; empty when it is missing.
inline std::vector<std::string> MultiString(platform::Registry& registry, std::string_view key,
                                            std::string_view value) {
  std::vector<std::uint8_t> buffer(65536);
  const auto result = registry.QueryValue(key, value, buffer);
  std::vector<std::string> strings;
  if (result.status != platform::kErrorSuccess) return strings;
  std::string current;
  for (std::size_t i = 0; i < result.size && i < buffer.size(); ++i) {
    if (buffer[i] == 0) {
      strings.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(buffer[i]));
    }
  }
  // Drop the empty strings that end the list.
  while (!strings.empty() && strings.back().empty() && strings.size() % 2 != 0) strings.pop_back();
  return strings;
}

// The paths that the next start deletes: the first string of each pair whose second is empty,
// without its "\??\" prefix.
inline std::vector<std::string> PendingDeletions(platform::Registry& registry) {
  const std::vector<std::string> strings =
      MultiString(registry, kSessionManagerKey, "PendingFileRenameOperations");
  std::vector<std::string> paths;
  for (std::size_t i = 0; i + 1 < strings.size(); i += 2) {
    if (!strings[i + 1].empty()) continue;
    std::string path = strings[i];
    if (path.rfind("\\??\\", 0) == 0) path.erase(0, 4);
    paths.push_back(path);
  }
  return paths;
}

struct RegistryText {
  long status = platform::kErrorFileNotFound;
  std::uint32_t type = 0;
  std::size_t size = 0;
  std::string text;  // up to the first zero
};

inline RegistryText ReadRegistryText(platform::Registry& registry, std::string_view key,
                                     std::string_view value) {
  std::vector<std::uint8_t> buffer(1024);
  const auto result = registry.QueryValue(key, value, buffer);
  RegistryText out{result.status, result.type, result.size, {}};
  if (result.status != platform::kErrorSuccess) return out;
  for (std::size_t i = 0; i < result.size && i < buffer.size() && buffer[i] != 0; ++i) {
    out.text.push_back(static_cast<char>(buffer[i]));
  }
  return out;
}

// The contents a media file gives once installed: expanded when it is compressed.
inline std::string InstalledContents(const TempImage& image, const std::string& mediaPath) {
  const std::optional<std::string> bytes = image.ReadDriveFile(mediaPath);
  if (!bytes) {
    ADD_FAILURE() << "missing media file " << mediaPath;
    return {};
  }
  return image::ExpandMediaFile(*bytes).bytes;
}

// The checksum a PE file's header records, as setup.log writes it: written by the fixture tool,
// not by the program, so a second implementation beside the program's own computation.
inline std::string HeaderCheckSum(const std::string& bytes) {
  const pe::PeHeadersRead read = pe::ReadPeHeaders(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_EQ(read.fault, pe::PeFault::kNone);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", read.headers.headerCheckSum);
  return hex;
}

}  // namespace halshift::testing
