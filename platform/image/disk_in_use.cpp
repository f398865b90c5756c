// A disk file's users: VMware's lock folders beside it, and the processes that have it open.
#include "platform/image/disk_in_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <optional>

#include "base/text.h"

namespace halshift::image {

namespace {

namespace fs = std::filesystem;

// The parent of a process from /proc/<pid>/stat: the fourth field, after the name in
// parentheses (which may itself hold spaces and parentheses).
std::optional<pid_t> ParentOf(const fs::path& process) {
  std::ifstream in(process / "stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::size_t at = close + 1;
  // " S <ppid> ..."
  for (int field = 0; field < 2; ++field) {
    at = line.find(' ', at);
    if (at == std::string::npos) return std::nullopt;
    ++at;
  }
  pid_t parent = 0;
  for (; at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])); ++at) {
    parent = parent * 10 + (line[at] - '0');
  }
  return parent;
}

// Whether the process has the file open among its descriptors; false for a process of
// another user or one gone meanwhile. Plain POSIX calls: the scan of every process runs at
// each disk open, and stays well under a millisecond on a busy host.
bool HasOpen(int processes, const char* process, const struct stat& file) {
  const std::string fdFolder = std::string(process) + "/fd";
  const int folder = ::openat(processes, fdFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return false;
  DIR* descriptors = ::fdopendir(folder);
  if (descriptors == nullptr) {
    ::close(folder);
    return false;
  }
  bool found = false;
  while (const dirent* descriptor = ::readdir(descriptors)) {
    struct stat target {};
    if (descriptor->d_name[0] != '.' && ::fstatat(folder, descriptor->d_name, &target, 0) == 0 &&
        target.st_dev == file.st_dev && target.st_ino == file.st_ino) {
      found = true;
      break;
    }
  }
  ::closedir(descriptors);
  return found;
}

// Whether no process at all has the file open: a write lease is granted only on a file that
// has no other open descriptor (nor a mapping), whoever's it is. One call instead of a look at
// every descriptor of every process, which on a busy host is thousands of calls; false when
// the lease cannot be had for another reason (a file of another user, leases switched off, a
// file system without them), and the scan then decides.
bool OpenNowhere(const fs::path& disk) {
  const int fd = ::open(disk.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool leased = ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (leased) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  ::close(fd);
  return leased;
}

// "VBoxHeadless (process 4242)" for the first other process that has the file open, or empty.
std::string ProcessHolding(const fs::path& disk) {
  struct stat file {};
  if (::stat(disk.c_str(), &file) != 0) return "";
  const std::string self = std::to_string(::getpid());
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return "";
  std::string holder;
  while (const dirent* entry = ::readdir(processes)) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos || name == self) continue;
    if (!HasOpen(::dirfd(processes), entry->d_name, file)) continue;
    const fs::path process = fs::path("/proc") / entry->d_name;
    const auto parent = ParentOf(process);
    if (!parent || *parent == ::getpid()) continue;
    std::ifstream in(process / "comm");
    std::string command;
    std::getline(in, command);
    holder = (command.empty() ? std::string("a program") : command) + " (process " + std::string(name) + ")";
    break;
  }
  ::closedir(processes);
  return holder;
}

}  // namespace

std::string VmdkDescriptorOf(std::string_view name) {
  static constexpr std::string_view kExtension = ".vmdk";
  if (name.size() <= kExtension.size() ||
      !text::EqualsIgnoreCase(name.substr(name.size() - kExtension.size()), kExtension)) {
    return "";
  }
  const std::string_view stem = name.substr(0, name.size() - kExtension.size());
  const std::size_t dash = stem.rfind('-');
  if (dash == std::string_view::npos || dash == 0) return "";
  const std::string_view suffix = stem.substr(dash + 1);
  const bool flat = text::EqualsIgnoreCase(suffix, "flat");
  const bool split = suffix.size() == 4 && (suffix[0] == 's' || suffix[0] == 'f') &&
                     suffix.find_first_not_of("0123456789", 1) == std::string_view::npos;
  if (!flat && !split) return "";
  return std::string(stem.substr(0, dash)) + std::string(kExtension);
}

std::string DiskInUse(const fs::path& disk) {
  std::error_code error;
  std::vector<fs::path> locks = {fs::path(disk) += ".lck"};
  if (const std::string descriptor = VmdkDescriptorOf(disk.filename().string()); !descriptor.empty()) {
    locks.push_back(disk.parent_path() / (descriptor + ".lck"));
  }
  for (const fs::path& lock : locks) {
    if (fs::exists(lock, error)) {
      return "a VMware lock (" + lock.filename().string() + ") says a running virtual machine has it open";
    }
  }
  if (OpenNowhere(disk)) return "";
  if (const std::string holder = ProcessHolding(disk); !holder.empty()) {
    return "is in use by another program: " + holder + " has it open";
  }
  return "";
}

}  // namespace halshift::image
