// The registry of an offline NT 4.0 installation: its SOFTWARE and SYSTEM hives through hivex.
#include "platform/image/hive_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/byte_cursor.h"
#include "base/text.h"
#include "platform/image/image_state.h"

namespace halshift::image {

namespace hive {

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return ByteCursor(bytes, offset).U32();
}

namespace {

// The UTF-16 units of bytes 0x80 to 0x9F of code page 1252; the five bytes it leaves unused
// stand for the unit of the same number, as MultiByteToWideChar maps them.
constexpr std::array<std::uint16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::uint16_t UnitOfAnsi(std::uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

char AnsiOfUnit(std::uint16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

std::uint32_t HeaderChecksum(std::span<const std::uint8_t> header) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset + 4 <= kChecksumOffset && offset + 4 <= header.size();
       offset += 4) {
    sum ^= ReadLe32(header, offset);
  }
  return sum;
}

HeaderProblem CheckHeader(std::span<const std::uint8_t> bytes, std::uint64_t fileSize,
                          Header* header) {
  if (bytes.size() < 4 || std::memcmp(bytes.data(), "regf", 4) != 0) {
    return HeaderProblem::kNotAHive;
  }
  if (bytes.size() < kHeaderSize || fileSize < kHeaderSize) return HeaderProblem::kTruncated;
  Header read;
  read.sequence1 = ReadLe32(bytes, kSequence1Offset);
  read.sequence2 = ReadLe32(bytes, kSequence2Offset);
  read.major = ReadLe32(bytes, kMajorOffset);
  read.minor = ReadLe32(bytes, kMinorOffset);
  read.fileType = ReadLe32(bytes, kFileTypeOffset);
  read.binsSize = ReadLe32(bytes, kBinsSizeOffset);
  read.checksum = ReadLe32(bytes, kChecksumOffset);
  if (header != nullptr) *header = read;
  if (read.fileType != 0) return HeaderProblem::kNotAHive;
  if (read.major != 1 || read.minor < 1 || read.minor > kNewestMinor) {
    return HeaderProblem::kFormat;
  }
  if (read.checksum != HeaderChecksum(bytes.first(kHeaderSize))) return HeaderProblem::kChecksum;
  if (read.sequence1 != read.sequence2) return HeaderProblem::kDirty;
  // The bins declared must be there, and there must be at least one.
  if (read.binsSize == 0 || read.binsSize % 4096 != 0 || fileSize - kHeaderSize < read.binsSize) {
    return HeaderProblem::kTruncated;
  }
  return HeaderProblem::kNone;
}

std::string DescribeProblem(HeaderProblem problem, const Header& header) {
  switch (problem) {
    case HeaderProblem::kNone:
      return "is a registry hive that can be read";
    case HeaderProblem::kNotAHive:
      return "is not a registry hive; restore the installation's hive from a backup";
    case HeaderProblem::kTruncated:
      return "is cut short (it is smaller than its header says); restore the installation's "
             "hive from a backup";
    case HeaderProblem::kDirty:
      return "was not saved completely (its two sequence numbers differ, and Windows NT would "
             "first replay its .LOG file); start the machine once and shut it down properly, "
             "then try again";
    case HeaderProblem::kFormat:
      return "is a registry hive of format " + std::to_string(header.major) + "." +
             std::to_string(header.minor) +
             ", not one of Windows NT 4.0 (1.3); only Windows NT 4.0 installations can be "
             "changed";
    case HeaderProblem::kChecksum:
      return "has a damaged header (its checksum does not match); start the machine once and "
             "shut it down properly, or restore the hive from a backup";
  }
  return "cannot be read";
}

std::optional<KeyPath> SplitKeyPath(std::string_view keyPath) {
  KeyPath split;
  bool first = true;
  for (;;) {
    const std::size_t slash = keyPath.find('\\');
    const std::string_view component = keyPath.substr(0, slash);
    if (component.empty()) return std::nullopt;
    if (first) {
      if (text::EqualsIgnoreCase(component, "Software")) {
        split.root = Root::kSoftware;
      } else if (text::EqualsIgnoreCase(component, "System")) {
        split.root = Root::kSystem;
      } else {
        return std::nullopt;
      }
      first = false;
    } else {
      split.components.push_back(component);
    }
    if (slash == std::string_view::npos) break;
    keyPath.remove_prefix(slash + 1);
  }
  return split;
}

std::optional<std::string> ControlSetName(std::uint32_t current) {
  if (current < 1 || current > 999) return std::nullopt;
  std::string name = "ControlSet000";
  name[10] = static_cast<char>('0' + current / 100);
  name[11] = static_cast<char>('0' + current / 10 % 10);
  name[12] = static_cast<char>('0' + current % 10);
  return name;
}

std::string AnsiFromUtf16(std::span<const std::uint8_t> utf16) {
  std::string ansi;
  ansi.reserve(utf16.size() / 2);
  ByteCursor units(utf16);
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) ansi.push_back(AnsiOfUnit(units.U16()));
  return ansi;
}

std::string Utf16FromAnsi(std::span<const std::uint8_t> ansi) {
  std::string utf16;
  utf16.reserve(ansi.size() * 2);
  for (std::uint8_t byte : ansi) {
    const std::uint16_t unit = UnitOfAnsi(byte);
    utf16.push_back(static_cast<char>(unit & 0xFF));
    utf16.push_back(static_cast<char>(unit >> 8));
  }
  return utf16;
}

std::string Utf8FromAnsi(std::string_view ansi) {
  std::string utf8;
  utf8.reserve(ansi.size());
  for (char c : ansi) {
    const std::uint16_t unit = UnitOfAnsi(static_cast<std::uint8_t>(c));
    if (unit < 0x80) {
      utf8.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | unit >> 6));
      utf8.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xE0 | unit >> 12));
      utf8.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return utf8;
}

}  // namespace hive

namespace {

constexpr long kErrorRegistryCorrupt = 1015;

bool IsStringType(std::uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz ||
         type == platform::kRegMultiSz;
}

struct HiveCloser {
  void operator()(hive_h* handle) const { hivex_close(handle); }
};
using HiveHandle = std::unique_ptr<hive_h, HiveCloser>;

struct FileCloser {
  int fd = -1;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool ReadHeaderBlock(int fd, std::array<std::uint8_t, hive::kHeaderSize>& block,
                     std::size_t& got) {
  got = 0;
  while (got < block.size()) {
    const ssize_t n = pread(fd, block.data() + got, block.size() - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Checks the header of the open hive file fd and opens it with hivex; on failure, problem
// holds what comes after the file's name in the message.
HiveHandle OpenChecked(int fd, int flags, std::string& problem) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    problem = "is not a regular file; give the installation's own hive";
    return nullptr;
  }
  std::array<std::uint8_t, hive::kHeaderSize> block{};
  std::size_t got = 0;
  if (!ReadHeaderBlock(fd, block, got)) {
    problem = std::string("cannot be read (") + std::strerror(errno) +
              "); check the file and its permissions";
    return nullptr;
  }
  hive::Header header;
  const hive::HeaderProblem check =
      hive::CheckHeader(std::span(block).first(got), static_cast<std::uint64_t>(st.st_size),
                        &header);
  if (check != hive::HeaderProblem::kNone) {
    problem = hive::DescribeProblem(check, header);
    return nullptr;
  }
  HiveHandle handle(hivex_open(ProcPath(fd).c_str(), flags));
  if (!handle) {
    problem = std::string("cannot be read by hivex (") + std::strerror(errno) +
              "); restore the installation's hive from a backup";
    return nullptr;
  }
  return handle;
}

// Opens a hive file by its host path, not following a symbolic link in its last component
// (and not waiting for a writer when it is a pipe: only a regular file passes).
HiveHandle OpenHivePath(const std::filesystem::path& path, int flags, std::string& problem) {
  FileCloser file{open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) {
    if (errno == ELOOP) {
      problem = "is a symbolic link; give the installation's own hive";
    } else {
      problem = std::string("cannot be opened (") + std::strerror(errno) +
                "); check the path and its permissions";
    }
    return nullptr;
  }
  return OpenChecked(file.fd, flags, problem);
}

// The node at components below the root; 0 when a key is missing.
hive_node_h FindNode(hive_h* handle, const std::vector<std::string>& components) {
  hive_node_h node = hivex_root(handle);
  for (const std::string& name : components) {
    if (node == 0) return 0;
    node = hivex_node_get_child(handle, node, name.c_str());
  }
  return node;
}

// The data of a value as RegQueryValueExA gives it: strings in the ANSI code page.
struct ValueData {
  std::uint32_t type = 0;
  std::string bytes;
};

// A value's type is any 32-bit number, more than hivex's enumeration names: it is kept in
// storage of the enumeration's size and never read as the enumeration.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));

std::optional<ValueData> ReadValue(hive_h* handle, hive_value_h value) {
  std::uint32_t type = 0;
  std::size_t length = 0;
  char* raw = hivex_value_value(handle, value, reinterpret_cast<hive_type*>(&type), &length);
  if (raw == nullptr) return std::nullopt;
  ValueData data;
  data.type = type;
  const std::span<const std::uint8_t> stored(reinterpret_cast<const std::uint8_t*>(raw), length);
  if (IsStringType(data.type)) {
    data.bytes = hive::AnsiFromUtf16(stored);
  } else {
    data.bytes.assign(stored.begin(), stored.end());
  }
  std::free(raw);
  return data;
}

std::string FileName(const std::filesystem::path& path) { return path.filename().string(); }

// The leftovers of a rewrite of this hive: private temporary files named after it.
std::vector<std::filesystem::path> LeftoversOf(const std::filesystem::path& hivePath) {
  std::vector<std::filesystem::path> found;
  const std::filesystem::path folder = hivePath.parent_path();
  const std::string prefix = std::string(host::kPrivatePrefix) + FileName(hivePath) + ".";
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return found;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    const std::filesystem::path leftover = folder / std::string(name);
    if (host::KindOf(leftover) == host::Kind::kFile) found.push_back(leftover);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

// Sets the header fields that a commit must leave right: both sequence numbers equal, the
// time of the last write, the checksum. hivex_commit already does the first and the last; a
// header written by an older hivex is mended here. Returns false when it cannot be read or
// written.
bool SealHeader(int fd, FaultInjector& faults) {
  std::array<std::uint8_t, hive::kHeaderSize> block{};
  std::size_t got = 0;
  if (!ReadHeaderBlock(fd, block, got) || got != block.size()) return false;
  const auto put = [&](std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  const std::uint32_t sequence = std::max(hive::ReadLe32(block, hive::kSequence1Offset),
                                          hive::ReadLe32(block, hive::kSequence2Offset));
  put(hive::kSequence1Offset, sequence);
  put(hive::kSequence2Offset, sequence);
  // FILETIME: 100 ns units since 1601.
  const std::uint64_t now =
      (static_cast<std::uint64_t>(std::time(nullptr)) + 11644473600ULL) * 10000000ULL;
  put(hive::kWriteTimeOffset, static_cast<std::uint32_t>(now));
  put(hive::kWriteTimeOffset + 4, static_cast<std::uint32_t>(now >> 32));
  put(hive::kChecksumOffset, hive::HeaderChecksum(block));
  if (faults.StepFails()) return false;
  return pwrite(fd, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
}

// A value as hivex is given it: an existing value keeps the spelling of its name, as
// RegSetValueEx keeps it, and a string type is held as UTF-16LE.
struct StagedValue {
  std::string name;
  std::uint32_t type = 0;
  std::string stored;
};

StagedValue StageValue(hive_h* handle, hive_node_h node, std::string_view valueName,
                       std::uint32_t type, std::span<const std::uint8_t> data) {
  StagedValue value;
  value.name = hive::Utf8FromAnsi(valueName);
  if (const hive_value_h existing = hivex_node_get_value(handle, node, value.name.c_str())) {
    if (char* stored = hivex_value_key(handle, existing)) {
      value.name = stored;
      std::free(stored);
    }
  }
  value.type = type;
  value.stored = IsStringType(type) ? hive::Utf16FromAnsi(data)
                                    : std::string(data.begin(), data.end());
  return value;
}

bool SetStaged(hive_h* handle, hive_node_h node, const StagedValue& value) {
  hive_set_value set{};
  set.key = const_cast<char*>(value.name.c_str());
  std::memcpy(&set.t, &value.type, sizeof(set.t));
  set.len = value.stored.size();
  set.value = const_cast<char*>(value.stored.data());
  return hivex_node_set_value(handle, node, &set, 0) == 0;
}

// Gives the new file the old one's mode, owner and DOS attributes.
bool TakeOverFileState(int fd, const struct stat& old, const std::string& dosAttributes,
                       FaultInjector& faults) {
  if (faults.StepFails() || fchmod(fd, old.st_mode & 07777) != 0) return false;
  if (old.st_uid != geteuid() || old.st_gid != getegid()) {
    // Running as root over a tree of another owner: the hive keeps its owner.
    if (faults.StepFails() || (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)) {
      return false;
    }
  }
  if (!dosAttributes.empty()) {
    if (faults.StepFails() || fsetxattr(fd, "user.DOSATTRIB", dosAttributes.data(),
                                        dosAttributes.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Commits the hive into the open file fd, seals its header, gives it the old file's state and
// flushes it.
bool WriteReplacement(hive_h* writable, int fd, const struct stat& old,
                      const std::string& dosAttributes, bool flush, FaultInjector& faults) {
  // hivex writes the file through the descriptor's own name, so that nothing can put another
  // file at the temporary name in between.
  if (faults.StepFails() || hivex_commit(writable, ProcPath(fd).c_str(), 0) != 0) return false;
  if (!SealHeader(fd, faults)) return false;
  if (!TakeOverFileState(fd, old, dosAttributes, faults)) return false;
  return !flush || (!faults.StepFails() && fsync(fd) == 0);
}

// Reads the new file back as the next start would and finds the value as it was set; nothing
// when it cannot.
HiveHandle ReadBackChecked(int fd, const std::vector<std::string>& components,
                           const StagedValue& value) {
  std::string problem;
  HiveHandle written = OpenChecked(fd, 0, problem);
  if (!written) return nullptr;
  const hive_node_h writtenNode = FindNode(written.get(), components);
  const hive_value_h writtenValue =
      writtenNode == 0 ? 0 : hivex_node_get_value(written.get(), writtenNode, value.name.c_str());
  const auto readBack = writtenValue == 0 ? std::nullopt : ReadValue(written.get(), writtenValue);
  const std::string expected =
      IsStringType(value.type)
          ? hive::AnsiFromUtf16(std::span(
                reinterpret_cast<const std::uint8_t*>(value.stored.data()), value.stored.size()))
          : value.stored;
  if (!readBack || readBack->type != value.type || readBack->bytes != expected) return nullptr;
  return written;
}

// Writes the changed hive to a private file beside path, checks it and renames it over path;
// current then reads the new file. Each host step counts as a step of the injector and can be
// made to fail there, as the host call itself can fail.
long ReplaceHive(const std::filesystem::path& path, hive_h* writable,
                 const std::vector<std::string>& components, const StagedValue& value,
                 bool flush, FaultInjector& faults, HiveHandle& current) {
  struct stat old {};
  if (lstat(path.c_str(), &old) != 0) return kErrorRegistryIoFailed;
  const std::string dosAttributes = host::ReadDosAttributes(path);
  const std::filesystem::path folder = path.parent_path();
  std::string temporary = host::PrivateTemplate(folder, FileName(path));
  if (faults.StepFails()) return kErrorRegistryIoFailed;
  FileCloser file{mkostemp(temporary.data(), O_CLOEXEC)};
  if (file.fd < 0) return kErrorRegistryIoFailed;
  const auto remove = [&] {
    if (!faults.StepFails()) unlink(temporary.c_str());
    return kErrorRegistryIoFailed;
  };
  const auto discard = [&] {
    faults.StepFails();  // a close that fails still lets the descriptor go
    close(file.fd);
    file.fd = -1;
    return remove();
  };
  if (!WriteReplacement(writable, file.fd, old, dosAttributes, flush, faults)) return discard();
  HiveHandle written = ReadBackChecked(file.fd, components, value);
  if (!written) return discard();

  const bool closeFails = faults.StepFails();
  const bool closed = close(file.fd) == 0 && !closeFails;
  file.fd = -1;
  if (!closed) return remove();
  if (faults.ShouldFail(Call::kRenameTemporary)) return remove();
  if (faults.StepFails() || rename(temporary.c_str(), path.c_str()) != 0) return remove();
  current = std::move(written);
  if (!flush) return platform::kErrorSuccess;
  // The rename itself survives a power cut only once the folder is written out. The hive is
  // the new one from here on, whatever the flush answers.
  FileCloser dir{open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (faults.StepFails() || dir.fd < 0 || fsync(dir.fd) != 0) return kErrorRegistryIoFailed;
  return platform::kErrorSuccess;
}

}  // namespace

struct HiveRegistry::Hive {
  std::filesystem::path path;
  HiveHandle handle;  // read-only, over the file as it is now
};

HiveRegistry::HiveRegistry(std::unique_ptr<Hive> software, std::unique_ptr<Hive> system,
                           FaultInjector& faults, Hives hives)
    : software_(std::move(software)), system_(std::move(system)), faults_(faults), hives_(hives) {}

HiveRegistry::~HiveRegistry() = default;

std::unique_ptr<HiveRegistry> HiveRegistry::Open(const std::filesystem::path& softwareHive,
                                                 const std::filesystem::path& systemHive,
                                                 FaultInjector& faults, std::string& error,
                                                 Leftovers leftovers, Hives hives) {
  std::unique_ptr<Hive> opened[2];
  const std::filesystem::path* paths[2] = {&softwareHive, &systemHive};
  for (int i = 0; i < 2; ++i) {
    std::string problem;
    HiveHandle handle = OpenHivePath(*paths[i], 0, problem);
    if (!handle) {
      error = paths[i]->string() + " " + problem;
      return nullptr;
    }
    opened[i] = std::make_unique<Hive>(Hive{*paths[i], std::move(handle)});
  }
  // Only now, with both hives found good, the remains of a cut rewrite go.
  for (const auto* path : paths) {
    if (leftovers == Leftovers::kKeep) break;
    for (const auto& leftover : LeftoversOf(*path)) {
      if (!faults.StepFails()) unlink(leftover.c_str());
    }
  }
  return std::unique_ptr<HiveRegistry>(
      new HiveRegistry(std::move(opened[0]), std::move(opened[1]), faults, hives));
}

HiveRegistry::Hive* HiveRegistry::Locate(std::string_view keyPath,
                                         std::vector<std::string>& components) {
  const auto split = hive::SplitKeyPath(keyPath);
  if (!split) return nullptr;
  components.clear();
  for (std::string_view component : split->components) {
    components.push_back(hive::Utf8FromAnsi(component));
  }
  if (split->root == hive::Root::kSoftware) return software_.get();
  // CurrentControlSet is the link that the running system makes to the control set that
  // Select\Current names; offline, the same set is read.
  if (!components.empty() && text::EqualsIgnoreCase(components.front(), "CurrentControlSet")) {
    hive_h* handle = system_->handle.get();
    const hive_node_h select = FindNode(handle, {"Select"});
    const hive_value_h current =
        select == 0 ? 0 : hivex_node_get_value(handle, select, "Current");
    const auto data = current == 0 ? std::nullopt : ReadValue(handle, current);
    if (!data || data->type != platform::kRegDword || data->bytes.size() != 4) return nullptr;
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(data->bytes.data()), 4);
    const auto name = hive::ControlSetName(hive::ReadLe32(bytes, 0));
    if (!name) return nullptr;
    components.front() = *name;
  }
  return system_.get();
}

platform::Registry::QueryResult HiveRegistry::QueryValue(std::string_view keyPath,
                                                         std::string_view valueName,
                                                         std::span<std::uint8_t> buffer) {
  QueryResult result;
  if (faults_.ShouldFail(Call::kRegQueryValue)) {
    result.status = platform::kErrorAccessDenied;
    return result;
  }
  std::vector<std::string> components;
  Hive* hive = Locate(keyPath, components);
  if (hive == nullptr) return result;
  hive_h* handle = hive->handle.get();
  const hive_node_h node = FindNode(handle, components);
  if (node == 0) return result;
  const hive_value_h value =
      hivex_node_get_value(handle, node, hive::Utf8FromAnsi(valueName).c_str());
  if (value == 0) return result;
  const auto data = ReadValue(handle, value);
  if (!data) {
    result.status = kErrorRegistryCorrupt;
    return result;
  }
  result.size = data->bytes.size();
  if (data->bytes.size() > buffer.size()) {
    result.status = platform::kErrorMoreData;
    return result;
  }
  std::copy(data->bytes.begin(), data->bytes.end(), buffer.begin());
  result.status = platform::kErrorSuccess;
  result.type = data->type;
  return result;
}

long HiveRegistry::SetValue(std::string_view keyPath, std::string_view valueName,
                            std::uint32_t type, std::span<const std::uint8_t> data) {
  if (faults_.ShouldFail(Call::kRegSetValue)) return platform::kErrorAccessDenied;
  std::vector<std::string> components;
  Hive* hive = Locate(keyPath, components);
  if (hive == nullptr) return platform::kErrorFileNotFound;
  if (FindNode(hive->handle.get(), components) == 0) return platform::kErrorFileNotFound;
  // The SYSTEM hive is never written: NT 4.0 writes SYSTEM.ALT, the copy its loader falls
  // back to when SYSTEM cannot be loaded, in step with every write of SYSTEM, and a write of
  // SYSTEM alone would leave the two apart. Offline, nothing needs a value there: no file is
  // in use, so no rename waits for the next start.
  if (hive == system_.get()) return platform::kErrorAccessDenied;

  // A fresh writable copy of the hive as it is on the disk, so that a failure below leaves
  // both the file and what is read from it as they were.
  std::string problem;
  HiveHandle writable = OpenHivePath(hive->path, HIVEX_OPEN_WRITE, problem);
  if (!writable) return kErrorRegistryCorrupt;
  const hive_node_h node = FindNode(writable.get(), components);
  if (node == 0) return platform::kErrorFileNotFound;
  const StagedValue value = StageValue(writable.get(), node, valueName, type, data);
  if (!SetStaged(writable.get(), node, value)) return kErrorRegistryIoFailed;
  return ReplaceHive(hive->path, writable.get(), components, value, hives_ == Hives::kInstallation,
                     faults_, hive->handle);
}

}  // namespace halshift::image
