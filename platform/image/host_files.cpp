// Host file helpers of the machine image: kinds, the read-only bit, whole reads and
// replacement through a temporary file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/image/image_state.h"

namespace halshift::image::host {

Kind KindOf(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return Kind::kMissing;
  if (S_ISREG(st.st_mode)) return Kind::kFile;
  if (S_ISDIR(st.st_mode)) return Kind::kDirectory;
  return Kind::kOther;
}

bool IsReadOnly(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & 0222) == 0;
}

std::optional<std::string> ReadWhole(const std::filesystem::path& path) {
  if (KindOf(path) != Kind::kFile) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  // Read straight into a string of the size the file has now; a file that grows meanwhile
  // is read on to its end.
  struct stat st {};
  const bool sized = fstat(fd, &st) == 0 && st.st_size > 0;
  std::string bytes(sized ? static_cast<std::size_t>(st.st_size) : 0, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(filled + 65536);
    const ssize_t got = read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  bytes.resize(filled);
  return bytes;
}

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

constexpr const char* kDosAttributeName = "user.DOSATTRIB";

std::uint32_t ParseDosAttributes(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  std::uint32_t bits = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) break;
    bits = (bits << 4) | static_cast<std::uint32_t>(digit);
    if (bits > 0xFFFF) break;
  }
  return bits & (platform::kFileAttributeHidden | platform::kFileAttributeSystem);
}

std::string ReadDosAttributes(const std::filesystem::path& path) {
  char value[64];
  const ssize_t length = lgetxattr(path.c_str(), kDosAttributeName, value, sizeof(value));
  if (length <= 0) return {};
  return std::string(value, static_cast<std::size_t>(length));
}

bool WriteDosAttributes(const std::filesystem::path& path, std::uint32_t hiddenSystem,
                        FaultInjector& faults) {
  faults.Step();
  if (hiddenSystem == 0) {
    return lremovexattr(path.c_str(), kDosAttributeName) == 0 || errno == ENODATA ||
           errno == ENOTSUP;
  }
  constexpr std::string_view kDigits = "0123456789abcdef";
  const std::string value = std::string("0x") + kDigits[hiddenSystem & 0xF];
  return lsetxattr(path.c_str(), kDosAttributeName, value.data(), value.size(), 0) == 0;
}

std::string PrivateTemplate(const std::filesystem::path& folder, std::string_view stem) {
  std::string name(kPrivatePrefix);
  name += stem;
  name += ".XXXXXX";
  return (folder / name).string();
}

int SweepPrivateFiles(const std::filesystem::path& root) {
  int removed = 0;
  std::error_code ec;
  std::vector<std::filesystem::path> leftovers;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, kPrivatePrefix.size(), kPrivatePrefix) != 0) continue;
    if (KindOf(it->path()) == Kind::kFile) leftovers.push_back(it->path());
  }
  for (const auto& leftover : leftovers) {
    if (unlink(leftover.c_str()) == 0) ++removed;
  }
  return removed;
}

WriteResult ReplaceWhole(const std::filesystem::path& target, std::string_view bytes,
                         unsigned mode, FaultInjector& faults, Durability durability,
                         std::string_view dosAttributes) {
  std::string pattern = PrivateTemplate(target.parent_path(), target.filename().string());
  faults.Step();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return WriteResult::kCannotCreate;
  const auto written = [&] {
    faults.Step();
    if (!WriteAll(fd, bytes)) return false;
    faults.Step();
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) return false;
    if (!dosAttributes.empty()) {
      faults.Step();
      if (fsetxattr(fd, kDosAttributeName, dosAttributes.data(), dosAttributes.size(), 0) != 0) {
        return false;
      }
    }
    if (durability == Durability::kLazy) return true;
    faults.Step();
    return fsync(fd) == 0;
  }();
  faults.Step();
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    faults.Step();
    unlink(pattern.c_str());
    return WriteResult::kCannotCreate;
  }
  if (faults.ShouldFail(Call::kRenameTemporary)) {
    faults.Step();
    unlink(pattern.c_str());
    return WriteResult::kCannotRename;
  }
  faults.Step();
  if (rename(pattern.c_str(), target.c_str()) != 0) {
    faults.Step();
    unlink(pattern.c_str());
    return WriteResult::kCannotRename;
  }
  return WriteResult::kDone;
}

}  // namespace halshift::image::host
