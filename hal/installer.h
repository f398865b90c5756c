// The system file installer: copies files from the installation media into the system
// directory, moving files in use aside for deletion at the next start, and keeps what it
// replaces until the caller has decided that the whole change stands.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/state.h"
#include "platform/platform.h"

namespace halshift::hal {

// A file-pair list half: bare file names (no directory part). Entry i of a source list pairs
// with entry i of a destination list; a walk stops at the end of the source list, so the
// destination list may be longer.
using FileNames = std::span<const std::string_view>;

// FindFirstFileA, closed at once: a file, a directory or any match of a wildcard pattern.
bool FileExists(platform::FileSystem& files, std::string_view path);

// True when the path exists, or exists in its compressed form: the last character of the
// name replaced by "_" ("HAL.DL_" for "HAL.DLL").
bool SourceFileExists(platform::FileSystem& files, std::string_view path);

// Installs files from sourceDirectory into systemDirectory, joining names with a single "\".
//
// Everything a pair replaces is kept until Commit: an existing destination as a copy under a
// temporary name in the system directory, a destination in use as the file that was moved
// aside. Rollback (also run by the destructor when Commit was not called) puts back every
// replaced file, bytes and attributes, and removes files that did not exist before, so that a
// change made of several pairs either stands whole or leaves the directory as it was.
class SystemFileInstaller {
 public:
  SystemFileInstaller(platform::FileSystem& files, std::string sourceDirectory,
                      std::string systemDirectory);
  // The directories that the installation holds at the moment of the call.
  explicit SystemFileInstaller(const HalInstallation& installation);
  ~SystemFileInstaller();
  SystemFileInstaller(const SystemFileInstaller&) = delete;
  SystemFileInstaller& operator=(const SystemFileInstaller&) = delete;

  // Installs one file under the destination name: attributes reset, then up to three
  // VerInstallFile attempts, switching to the compressed source name on a failure other than
  // "in use", and moving the destination aside on "in use". On failure this pair's
  // destination is as it was before the call.
  bool InstallFile(std::string_view sourceName, std::string_view destinationName);

  // Installs the pairs in order. False, with every pair of this call put back, when the source
  // list is empty, a source exists under neither name, the destination list is shorter than
  // the source list, or a pair cannot be installed. Pairs of earlier calls stay as they are
  // until Commit or Rollback.
  bool InstallFiles(FileNames sourceNames, FileNames destinationNames);

  // The change stands: the kept copies are removed (files moved aside stay scheduled for
  // deletion at the next start).
  void Commit();
  // Puts back everything replaced since construction or the last Commit, latest first.
  void Rollback();

 private:
  // What one installed pair replaced.
  struct Replacement {
    std::string destinationPath;
    bool existed = false;
    std::uint32_t originalAttributes = platform::kFileAttributeNormal;
    std::string keptCopyPath;     // copy of the old file; empty when there was none
    std::string movedAsidePath;   // the old file itself, moved aside because it is in use
    bool installed = false;       // the new file is in place under the destination name
  };

  bool KeepOldFile(Replacement& replacement);
  void MoveAside(Replacement& replacement);
  void DiscardTemporaryCopy(std::uint32_t result, const std::string& tempName);
  bool PutKeptCopyBack(const Replacement& replacement);
  void Restore(const Replacement& replacement);
  void DropKeptCopy(const Replacement& replacement);

  platform::FileSystem& files_;
  std::string sourceDirectory_;
  std::string systemDirectory_;
  std::vector<Replacement> replacements_;
};

// Installs the pairs from installation.sourceDirectory into installation.systemDirectory;
// true when every pair was installed, which then stands. On false the system directory holds
// what it held before.
bool InstallFiles(const HalInstallation& installation, FileNames sourceNames,
                  FileNames destinationNames);

}  // namespace halshift::hal
