// A folder of one run's own in the host's temporary folder.
//
// May contain: the C++ standard library and POSIX calls.
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

namespace halshift::image {

// "<temporary folder>/<stem>.XXXXXX", removed with everything in it when the run ends. The
// run holds a lock on the folder for as long as it lives, so a folder of that stem whose lock
// can be taken was left by a run that ended without removing it (killed, or the host lost
// power): making a new one removes those first, when they are this user's and older than
// kLeftoverAge (which spares a folder made a moment ago whose lock is not yet taken).
class PrivateFolder {
 public:
  static constexpr std::chrono::seconds kLeftoverAge{60};

  explicit PrivateFolder(std::string_view stem);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  // Empty when no folder could be made.
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  int lock_ = -1;
};

// Removes the folders "<stem>.*" in parent that runs left behind, as described above; how many.
int RemoveLeftoverFolders(const std::filesystem::path& parent, std::string_view stem);

}  // namespace halshift::image
