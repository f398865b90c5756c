// A file system for the installer's staging tests that answers VerInstallFile from a script
// (with the results a machine image cannot give: a full disk, access denied) and records its
// arguments, and fails the test on any operation staging has no business calling.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace halshift::testing {

class ScriptedFiles : public platform::FileSystem {
 public:
  struct Install {
    std::string sourceName, destinationName, sourceDirectory, destinationDirectory,
        currentDirectory;
    std::uint32_t flags;
  };

  // Paths that exist, compared exactly.
  std::set<std::string> existing;
  // Results of successive VerInstallFile calls; the test fails when the script runs out.
  std::deque<std::uint32_t> installResults;
  std::vector<Install> installs;

  bool FindFirstFile(std::string_view path) override {
    return existing.contains(std::string(path));
  }
  std::uint32_t GetFileAttributes(std::string_view path) override {
    return existing.contains(std::string(path)) ? platform::kFileAttributeArchive
                                                : platform::kInvalidFileAttributes;
  }
  bool SetFileAttributes(std::string_view, std::uint32_t) override { return true; }
  // Staging copies nothing and moves nothing: what exists stays as it is.
  bool CopyFile(std::string_view, std::string_view, bool) override { return Unexpected("CopyFile"); }
  bool MoveFile(std::string_view, std::string_view) override { return Unexpected("MoveFile"); }
  bool MoveFileEx(std::string_view, std::optional<std::string_view>, std::uint32_t) override {
    return Unexpected("MoveFileEx");
  }
  bool DeleteFile(std::string_view path) override {
    return existing.erase(std::string(path)) != 0;
  }
  std::optional<std::string> GetTempFileName(std::string_view directory,
                                             std::string_view prefix) override {
    std::string path = std::string(directory) + "\\" + std::string(prefix) +
                       std::to_string(++tempCounter_) + ".TMP";
    existing.insert(path);
    return path;
  }
  std::uint32_t VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                               std::string_view destinationName, std::string_view sourceDirectory,
                               std::string_view destinationDirectory,
                               std::string_view currentDirectory, std::string&) override {
    installs.push_back({std::string(sourceName), std::string(destinationName),
                        std::string(sourceDirectory), std::string(destinationDirectory),
                        std::string(currentDirectory), flags});
    if (installResults.empty()) {
      ADD_FAILURE() << "VerInstallFile called more often than scripted";
      return platform::kVifCannotReadSrc;
    }
    const std::uint32_t result = installResults.front();
    installResults.pop_front();
    if (result == 0) existing.insert(std::string(destinationDirectory) + "\\" + std::string(destinationName));
    return result;
  }

  // Staged files read back as this.
  std::string stagedBytes = "new";
  std::optional<std::string> ReadFile(std::string_view path) override {
    if (!existing.contains(std::string(path))) return std::nullopt;
    return stagedBytes;
  }
  bool FlushFiles(std::span<const std::string> paths) override {
    bool all = true;
    for (const std::string& path : paths) {
      all = existing.contains(path) && all;
    }
    return all;
  }
  std::vector<FoundFile> FindFiles(std::string_view path) override {
    if (!existing.contains(std::string(path))) return {};
    return {FoundFile{std::string(path.substr(path.rfind('\\') + 1)), 0, platform::kFileAttributeNormal}};
  }

  unsigned GetDriveType(std::string_view) override { return Unexpected("GetDriveType"), 0; }
  bool CreateDirectory(std::string_view) override { return Unexpected("CreateDirectory"); }
  // Staging changes nothing that exists, so it has nothing to make durable beyond its files.
  bool FlushVolume(std::string_view) override { return Unexpected("FlushVolume"); }
  std::unique_ptr<platform::OutputFile> OpenFile(std::string_view, platform::OpenMode) override {
    Unexpected("OpenFile");
    return nullptr;
  }
  std::uint32_t GetPrivateProfileSection(std::string_view, std::span<char>,
                                         std::string_view) override {
    return Unexpected("GetPrivateProfileSection"), 0;
  }

 private:
  bool Unexpected(const char* operation) {
    ADD_FAILURE() << "the installer called " << operation;
    return false;
  }
  int tempCounter_ = 0;
};

}  // namespace halshift::testing
