// Private run folders: made locked, and those of ended runs swept away.
#include "platform/image/run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

namespace halshift::image {
namespace {

// A descriptor of the folder with its lock taken, or -1 (another run holds it, or the folder
// cannot be opened as one).
int LockFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int RemoveLeftoverFolders(const std::filesystem::path& parent, std::string_view stem) {
  const std::string prefix = std::string(stem) + ".";
  // Plain readdir: the temporary folder of a busy host holds thousands of entries, and each run
  // looks through it once.
  std::vector<std::filesystem::path> candidates;
  if (DIR* entries = ::opendir(parent.c_str())) {
    while (const dirent* entry = ::readdir(entries)) {
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 && entry->d_name[prefix.size()] != '\0') {
        candidates.push_back(parent / entry->d_name);
      }
    }
    ::closedir(entries);
  }
  std::error_code error;
  const std::time_t now = std::time(nullptr);
  int removed = 0;
  for (const auto& folder : candidates) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        now - st.st_mtime < PrivateFolder::kLeftoverAge.count()) {
      continue;
    }
    const int fd = LockFolder(folder);
    if (fd < 0) continue;
    std::filesystem::remove_all(folder, error);
    ::close(fd);
    if (!error) ++removed;
  }
  return removed;
}

PrivateFolder::PrivateFolder(std::string_view stem) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::temp_directory_path(ignored);
  RemoveLeftoverFolders(parent, stem);
  std::string pattern = (parent / (std::string(stem) + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return;
  lock_ = LockFolder(pattern);
  path_ = pattern;
}

PrivateFolder::~PrivateFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  if (lock_ >= 0) ::close(lock_);
}

}  // namespace halshift::image
