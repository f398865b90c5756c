// An NTFS volume through libntfs-3g, over a BlockDevice of its own device operations.
#include "platform/image/ntfs_volume.h"
#include "base/winpath.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <utility>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// libntfs-3g's headers define these as macros.
#undef min
#undef max

namespace halshift::image {

// The state behind one libntfs-3g device: the block device and the position of read, write
// and seek. libntfs-3g's own sync calls flush the disk only at the unmount, and not after a
// failed change: the disk's Flush ends a group of the undo journal beneath, and a group ends
// only where the volume is whole (NtfsVolume::Commit).
struct NtfsDevice {
  BlockDevice* disk = nullptr;
  bool writable = false;
  bool unmounting = false;
  bool broken = false;
  s64 position = 0;
};

struct NtfsVolume::Name {
  std::vector<ntfschar> unicode;
  std::string utf8;
  std::uint64_t file = 0;  // the MFT reference without its sequence number
  int type = 0;            // FILE_NAME_POSIX, _WIN32, _DOS or _WIN32_AND_DOS
  bool folder = false;
};

struct NtfsVolume::Located {
  Name name;  // the long name where the file has one
};

namespace {

// The largest file read into memory: far above any file halshift reads.
constexpr s64 kLargestRead = 256 * 1024 * 1024;

NtfsDevice& StateOf(struct ntfs_device* dev) { return *static_cast<NtfsDevice*>(dev->d_private); }

int DeviceOpen(struct ntfs_device* dev, int flags) {
  NtfsDevice& state = StateOf(dev);
  const bool readWrite = (flags & O_ACCMODE) == O_RDWR || (flags & O_ACCMODE) == O_WRONLY;
  if (readWrite && !state.writable) {
    errno = EROFS;
    return -1;
  }
  state.position = 0;
  if (!readWrite) NDevSetReadOnly(dev);
  NDevSetOpen(dev);
  return 0;
}

int DeviceClose(struct ntfs_device* dev) {
  NDevClearOpen(dev);
  return 0;
}

s64 DevicePread(struct ntfs_device* dev, void* buffer, s64 count, s64 offset) {
  NtfsDevice& state = StateOf(dev);
  const auto size = static_cast<s64>(state.disk->Size());
  if (offset < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  if (offset >= size) return 0;
  count = std::min(count, size - offset);
  if (!state.disk->Read(static_cast<std::uint64_t>(offset),
                        std::span(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(count)))) {
    errno = EIO;
    return -1;
  }
  return count;
}

s64 DevicePwrite(struct ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
  NtfsDevice& state = StateOf(dev);
  if (!state.writable || NDevReadOnly(dev)) {
    errno = EROFS;
    return -1;
  }
  if (offset < 0 || count < 0 ||
      !RangeWithin(static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(count), state.disk->Size())) {
    errno = ENOSPC;
    return -1;
  }
  if (!state.disk->Write(static_cast<std::uint64_t>(offset),
                         std::span(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)))) {
    errno = EIO;
    return -1;
  }
  NDevSetDirty(dev);
  return count;
}

s64 DeviceSeek(struct ntfs_device* dev, s64 offset, int whence) {
  NtfsDevice& state = StateOf(dev);
  const auto size = static_cast<s64>(state.disk->Size());
  s64 base = 0;
  if (whence == SEEK_CUR) base = state.position;
  else if (whence == SEEK_END) base = size;
  else if (whence != SEEK_SET) base = -1;
  if (base < 0 || (offset > 0 && base > std::numeric_limits<s64>::max() - offset) || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  state.position = base + offset;
  return state.position;
}

s64 DeviceRead(struct ntfs_device* dev, void* buffer, s64 count) {
  const s64 done = DevicePread(dev, buffer, count, StateOf(dev).position);
  if (done > 0) StateOf(dev).position += done;
  return done;
}

s64 DeviceWrite(struct ntfs_device* dev, const void* buffer, s64 count) {
  const s64 done = DevicePwrite(dev, buffer, count, StateOf(dev).position);
  if (done > 0) StateOf(dev).position += done;
  return done;
}

int DeviceSync(struct ntfs_device* dev) {
  NtfsDevice& state = StateOf(dev);
  if (!state.writable || NDevReadOnly(dev)) return 0;
  if (state.broken) {
    errno = EIO;
    return -1;
  }
  if (!state.unmounting) return 0;
  if (!state.disk->Flush()) {
    errno = EIO;
    return -1;
  }
  NDevClearDirty(dev);
  return 0;
}

int DeviceStat(struct ntfs_device* dev, struct stat* buffer) {
  memset(buffer, 0, sizeof *buffer);
  buffer->st_mode = S_IFREG | 0600;
  buffer->st_size = static_cast<off_t>(StateOf(dev).disk->Size());
  return 0;
}

int DeviceIoctl(struct ntfs_device*, unsigned long, void*) {
  errno = ENOTTY;
  return -1;
}

struct ntfs_device_operations kOperations = {
    DeviceOpen, DeviceClose, DeviceSeek, DeviceRead, DeviceWrite,
    DevicePread, DevicePwrite, DeviceSync, DeviceStat, DeviceIoctl,
};

ntfs_volume* Vol(void* volume) { return static_cast<ntfs_volume*>(volume); }

std::string Why(const char* what) {
  const int code = errno;
  return std::string(what) + ": " + (code != 0 ? strerror(code) : "unknown error");
}

std::optional<std::vector<ntfschar>> Unicode(std::string_view name) {
  const std::string text(name);
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  ntfschar* converted = nullptr;
  const int length = ntfs_mbstoucs(text.c_str(), &converted);
  if (length <= 0 || length > 255) {
    free(converted);
    return std::nullopt;
  }
  std::vector<ntfschar> result(converted, converted + length);
  free(converted);
  return result;
}

struct Collector {
  std::vector<std::pair<std::vector<ntfschar>, std::pair<int, std::pair<std::uint64_t, bool>>>> names;
  std::size_t budget = 100000;
};

int Collect(void* context, const ntfschar* name, const int length, const int type, const s64, const MFT_REF reference,
            const unsigned kind) {
  auto& collector = *static_cast<Collector*>(context);
  if (collector.budget == 0) return -1;
  --collector.budget;
  if (length <= 0) return 0;
  collector.names.push_back({std::vector<ntfschar>(name, name + length),
                             {type, {MREF(reference), kind == NTFS_DT_DIR}}});
  return 0;
}

// Closes an inode when it goes out of scope unless released.
class InodeHolder {
 public:
  explicit InodeHolder(ntfs_inode* inode) : inode_(inode) {}
  ~InodeHolder() {
    if (inode_ != nullptr) ntfs_inode_close(inode_);
  }
  InodeHolder(const InodeHolder&) = delete;
  InodeHolder& operator=(const InodeHolder&) = delete;
  ntfs_inode* get() const { return inode_; }
  ntfs_inode* release() { return std::exchange(inode_, nullptr); }
  // Closes now; false when libntfs-3g could not write the inode back.
  bool Close() { return ntfs_inode_close(release()) == 0; }

 private:
  ntfs_inode* inode_;
};

class AttrHolder {
 public:
  explicit AttrHolder(ntfs_attr* attr) : attr_(attr) {}
  ~AttrHolder() {
    if (attr_ != nullptr) ntfs_attr_close(attr_);
  }
  AttrHolder(const AttrHolder&) = delete;
  AttrHolder& operator=(const AttrHolder&) = delete;
  ntfs_attr* get() const { return attr_; }

 private:
  ntfs_attr* attr_;
};

// Why a mounted volume cannot be changed safely, or empty.
std::string Refusal(ntfs_volume* volume) {
  if ((volume->flags & VOLUME_IS_DIRTY) != 0) {
    return "The NTFS volume is marked dirty: start the virtual machine once and shut it down properly";
  }
  if (volume->major_ver != 1 && volume->major_ver != 3) {
    return "The NTFS volume has version " + std::to_string(volume->major_ver) + "." +
           std::to_string(volume->minor_ver) + ", neither 1.x nor 3.x";
  }
  InodeHolder log(ntfs_inode_open(volume, FILE_LogFile));
  if (log.get() == nullptr) return Why("The NTFS volume's $LogFile cannot be opened");
  AttrHolder data(ntfs_attr_open(log.get(), AT_DATA, AT_UNNAMED, 0));
  if (data.get() == nullptr) return Why("The NTFS volume's $LogFile cannot be read");
  RESTART_PAGE_HEADER* restart = nullptr;
  if (!ntfs_check_logfile(data.get(), &restart)) {
    free(restart);
    return "The NTFS volume's $LogFile is damaged or not clean: start the virtual machine once and shut it "
           "down properly";
  }
  const bool clean = restart == nullptr || ntfs_is_logfile_clean(data.get(), restart);
  free(restart);
  if (!clean) {
    return "The NTFS volume's $LogFile is not clean: start the virtual machine once and shut it down properly";
  }
  return {};
}

// Mounts, or nothing with the reason; the device is freed on failure.
ntfs_volume* MountDevice(NtfsDevice& state, bool writable, std::string& error) {
  state.writable = writable;
  struct ntfs_device* dev = ntfs_device_alloc("halshift-disk", 0, &kOperations, &state);
  if (dev == nullptr) {
    error = Why("The NTFS device cannot be made");
    return nullptr;
  }
  errno = 0;
  ntfs_volume* volume = ntfs_device_mount(dev, writable ? NTFS_MNT_NONE : NTFS_MNT_RDONLY);
  if (volume == nullptr) {
    error = Why("The partition holds no NTFS volume that can be mounted");
    ntfs_device_free(dev);
  }
  return volume;
}

}  // namespace

std::unique_ptr<NtfsVolume> NtfsVolume::Mount(BlockDevice& device, std::string& error, bool writable) {
  std::unique_ptr<NtfsVolume> result(new NtfsVolume());
  result->device_ = std::make_unique<NtfsDevice>();
  result->device_->disk = &device;
  // The checks run over a mount for reading only, which cannot write the disk.
  ntfs_volume* volume = MountDevice(*result->device_, false, error);
  if (volume == nullptr) return nullptr;
  error = Refusal(volume);
  if (!error.empty() || !writable) {
    if (error.empty()) {
      result->volume_ = volume;
      ntfs_set_ignore_case(volume);
      return result;
    }
    ntfs_umount(volume, FALSE);
    return nullptr;
  }
  ntfs_umount(volume, FALSE);
  volume = MountDevice(*result->device_, true, error);
  if (volume == nullptr) return nullptr;
  // What the first mount checked still holds unless the disk changed in between.
  error = Refusal(volume);
  if (!error.empty()) {
    ntfs_umount(volume, FALSE);
    return nullptr;
  }
  ntfs_set_ignore_case(volume);
  result->volume_ = volume;
  result->writable_ = true;
  // What the mount itself wrote is one group.
  if (!result->Commit()) {
    error = result->LastError();
    return nullptr;
  }
  return result;
}

NtfsVolume::~NtfsVolume() {
  if (volume_ == nullptr) return;
  device_->broken = broken_;
  device_->unmounting = true;
  ntfs_umount(Vol(volume_), FALSE);
}

int NtfsVolume::MajorVersion() const { return Vol(volume_)->major_ver; }
int NtfsVolume::MinorVersion() const { return Vol(volume_)->minor_ver; }

bool NtfsVolume::Fail(std::string reason) {
  error_ = std::move(reason);
  return false;
}

bool NtfsVolume::CanChange() {
  if (!writable_) return Fail("The NTFS volume is mounted for reading only");
  if (broken_) return Fail("The NTFS volume takes no more changes after a failed one");
  return true;
}

std::optional<std::vector<NtfsVolume::Name>> NtfsVolume::ReadFolder(std::uint64_t folder) {
  ntfs_volume* volume = Vol(volume_);
  InodeHolder inode(ntfs_inode_open(volume, folder));
  if (inode.get() == nullptr) {
    Fail(Why("A folder cannot be opened"));
    return std::nullopt;
  }
  if ((inode.get()->mrec->flags & MFT_RECORD_IS_DIRECTORY) == 0) {
    Fail("Not a folder");
    return std::nullopt;
  }
  Collector collector;
  s64 position = 0;
  // Under ntfs_set_ignore_case libntfs-3g hands the names out in lower case: they are read
  // as stored, and matched here without regard to case through the volume's upcase table.
  const bool caseSensitive = NVolCaseSensitive(volume);
  NVolSetCaseSensitive(volume);
  const int read = ntfs_readdir(inode.get(), &position, &collector, Collect);
  if (!caseSensitive) NVolClearCaseSensitive(volume);
  if (read != 0 || collector.budget == 0) {
    Fail(Why("A folder cannot be read"));
    return std::nullopt;
  }
  std::vector<Name> names;
  for (auto& [unicode, info] : collector.names) {
    Name name;
    name.type = info.first;
    name.file = info.second.first;
    name.folder = info.second.second;
    if (name.file < FILE_first_user && name.file != FILE_root) continue;  // the metadata files
    char* text = nullptr;
    if (ntfs_ucstombs(unicode.data(), static_cast<int>(unicode.size()), &text, 0) < 0) {
      free(text);
      continue;  // a name that is no valid UTF-16: not reachable by a path either
    }
    name.utf8 = text;
    free(text);
    if (name.utf8 == "." || name.utf8 == "..") continue;
    name.unicode = std::move(unicode);
    names.push_back(std::move(name));
  }
  return names;
}

bool NtfsVolume::Locate(std::string_view path, std::uint64_t& folder, std::string& name,
                        std::optional<Located>& found) {
  const std::vector<std::string_view> parts = winpath::SplitComponents(path);
  if (parts.empty()) return Fail("No name in the path");
  ntfs_volume* volume = Vol(volume_);
  folder = FILE_root;
  found.reset();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto wanted = Unicode(parts[i]);
    if (!wanted) return Fail("Not a valid NTFS name: " + std::string(parts[i]));
    const auto names = ReadFolder(folder);
    if (!names) return false;
    const Name* match = nullptr;
    for (const Name& candidate : *names) {
      if (ntfs_names_are_equal(candidate.unicode.data(), candidate.unicode.size(), wanted->data(), wanted->size(),
                               IGNORE_CASE, volume->upcase, volume->upcase_len)) {
        match = &candidate;
        if (candidate.type != FILE_NAME_DOS) break;
      }
    }
    if (match != nullptr && match->type == FILE_NAME_DOS) {
      // The long name of the same file, which libntfs-3g removes and renames by.
      for (const Name& candidate : *names) {
        if (candidate.file == match->file && candidate.type != FILE_NAME_DOS) match = &candidate;
      }
    }
    if (match != nullptr && match->file == folder) {
      return Fail("A damaged folder lists itself: " + std::string(parts[i]));
    }
    if (i + 1 == parts.size()) {
      name = std::string(parts[i]);
      if (match != nullptr) found = Located{*match};
      return true;
    }
    if (match == nullptr || !match->folder) return Fail("No such folder: " + std::string(parts[i]));
    folder = match->file;
  }
  return true;
}

std::optional<std::uint64_t> NtfsVolume::FolderAt(std::string_view path) {
  if (winpath::SplitComponents(path).empty()) return FILE_root;
  std::uint64_t parent = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return std::nullopt;
  if (!found || !found->name.folder) {
    Fail("No such folder: " + std::string(path));
    return std::nullopt;
  }
  return found->name.file;
}

std::optional<std::vector<NtfsEntry>> NtfsVolume::List(std::string_view folder) {
  const auto at = FolderAt(folder);
  if (!at) return std::nullopt;
  const auto names = ReadFolder(*at);
  if (!names) return std::nullopt;
  std::vector<NtfsEntry> entries;
  for (const Name& name : *names) {
    if (name.type == FILE_NAME_DOS) continue;
    const auto entry = Find(folder.empty() ? name.utf8 : std::string(folder) + "\\" + name.utf8);
    if (!entry) return std::nullopt;
    std::string shortName;
    for (const Name& other : *names) {
      if (other.type == FILE_NAME_DOS && other.file == name.file) shortName = other.utf8;
    }
    entries.push_back(NtfsEntry{name.utf8, entry->attributes, entry->size, shortName});
  }
  return entries;
}

std::optional<NtfsEntry> NtfsVolume::Find(std::string_view path) {
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return std::nullopt;
  if (!found) {
    Fail("No such file: " + std::string(path));
    return std::nullopt;
  }
  InodeHolder inode(ntfs_inode_open(Vol(volume_), found->name.file));
  if (inode.get() == nullptr) {
    Fail(Why("A file cannot be opened"));
    return std::nullopt;
  }
  NtfsEntry entry;
  entry.name = found->name.utf8;
  entry.attributes = le32_to_cpu(inode.get()->flags) & 0xFFFFu & ~ntfs::kDirectory;
  if ((inode.get()->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0) {
    entry.attributes |= ntfs::kDirectory;
  } else {
    AttrHolder data(ntfs_attr_open(inode.get(), AT_DATA, AT_UNNAMED, 0));
    if (data.get() != nullptr) entry.size = static_cast<std::uint64_t>(std::max<s64>(data.get()->data_size, 0));
  }
  return entry;
}

bool NtfsVolume::Plain(std::uint64_t file, std::string_view path, std::string& reason) {
  InodeHolder inode(ntfs_inode_open(Vol(volume_), file));
  if (inode.get() == nullptr) {
    reason = Why("A file cannot be opened");
    return false;
  }
  const std::string name(path);
  if ((inode.get()->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0) {
    reason = name + " is a folder";
    return false;
  }
  const std::uint32_t flags = le32_to_cpu(inode.get()->flags);
  // libntfs-3g refuses to open encrypted data: the file's own flags are looked at first.
  ATTR_FLAGS dataFlags = static_cast<ATTR_FLAGS>(0);
  if ((flags & (ntfs::kCompressed | ntfs::kEncrypted | ntfs::kSparse)) == 0) {
    AttrHolder data(ntfs_attr_open(inode.get(), AT_DATA, AT_UNNAMED, 0));
    if (data.get() == nullptr) {
      reason = Why(("The data of " + name + " cannot be opened").c_str());
      return false;
    }
    dataFlags = data.get()->data_flags;
  }
  if ((flags & ntfs::kCompressed) != 0 || (dataFlags & ATTR_IS_COMPRESSED) != 0) {
    reason = name + " is compressed on the NTFS volume: uncompress it in Windows first";
  } else if ((flags & ntfs::kEncrypted) != 0 || (dataFlags & ATTR_IS_ENCRYPTED) != 0) {
    reason = name + " is encrypted on the NTFS volume";
  } else if ((flags & ntfs::kSparse) != 0 || (dataFlags & ATTR_IS_SPARSE) != 0) {
    reason = name + " is a sparse file on the NTFS volume";
  } else {
    return true;
  }
  return false;
}

bool NtfsVolume::IsPlainFile(std::string_view path, std::string& reason) {
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) {
    reason = error_;
    return false;
  }
  if (!found) {
    reason = "No such file: " + std::string(path);
    return false;
  }
  return Plain(found->name.file, path, reason);
}

std::optional<std::vector<std::uint8_t>> NtfsVolume::ReadFile(std::string_view path) {
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return std::nullopt;
  std::string reason;
  if (!found) reason = "No such file: " + std::string(path);
  if (!found || !Plain(found->name.file, path, reason)) {
    Fail(reason);
    return std::nullopt;
  }
  InodeHolder inode(ntfs_inode_open(Vol(volume_), found->name.file));
  AttrHolder data(inode.get() != nullptr ? ntfs_attr_open(inode.get(), AT_DATA, AT_UNNAMED, 0) : nullptr);
  if (data.get() == nullptr) {
    Fail(Why("A file cannot be opened"));
    return std::nullopt;
  }
  const s64 size = data.get()->data_size;
  if (size < 0 || size > kLargestRead) {
    Fail("The file is too large to read: " + std::string(path));
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  s64 done = 0;
  while (done < size) {
    const s64 got = ntfs_attr_pread(data.get(), done, size - done, bytes.data() + done);
    if (got <= 0) {
      Fail(Why(("The file cannot be read: " + std::string(path)).c_str()));
      return std::nullopt;
    }
    done += got;
  }
  return bytes;
}

bool NtfsVolume::WriteFile(std::string_view path, std::span<const std::uint8_t> bytes) {
  if (!CanChange()) return false;
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return false;
  ntfs_volume* volume = Vol(volume_);
  if (found) {
    std::string reason;
    if (!Plain(found->name.file, path, reason)) return Fail(reason);
  }
  const auto unicode = Unicode(name);
  if (!unicode) return Fail("Not a valid NTFS name: " + name);
  ntfs_inode* opened = nullptr;
  if (found) {
    opened = ntfs_inode_open(volume, found->name.file);
    if (opened == nullptr) return Fail(Why("A file cannot be opened"));
  } else {
    ntfs_inode* parent = ntfs_inode_open(volume, folder);
    if (parent == nullptr) return Fail(Why("A folder cannot be opened"));
    opened = ntfs_create(parent, 0, unicode->data(), static_cast<u8>(unicode->size()), S_IFREG);
    const int saved = errno;
    const bool parentClosed = ntfs_inode_close(parent) == 0;
    errno = saved;
    if (opened == nullptr || !parentClosed) {
      broken_ = true;
      if (opened != nullptr) ntfs_inode_close(opened);
      return Fail(Why(("The file cannot be created: " + name).c_str()));
    }
  }
  InodeHolder file(opened);
  bool ok = true;
  {
    AttrHolder data(ntfs_attr_open(file.get(), AT_DATA, AT_UNNAMED, 0));
    ok = data.get() != nullptr;
    const auto size = static_cast<s64>(bytes.size());
    ok = ok && ntfs_attr_truncate(data.get(), size) == 0;
    s64 done = 0;
    while (ok && done < size) {
      const s64 wrote = ntfs_attr_pwrite(data.get(), done, size - done, bytes.data() + done);
      ok = wrote > 0;
      if (ok) done += wrote;
    }
  }
  const std::string reason = Why(("The file cannot be written: " + name).c_str());
  if (!file.Close()) ok = false;
  if (!ok) {
    broken_ = true;
    return Fail(reason);
  }
  return Commit();
}

bool NtfsVolume::CreateFolder(std::string_view path) {
  if (!CanChange()) return false;
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return false;
  if (found) return Fail("The name exists: " + std::string(path));
  const auto unicode = Unicode(name);
  if (!unicode) return Fail("Not a valid NTFS name: " + name);
  InodeHolder parent(ntfs_inode_open(Vol(volume_), folder));
  if (parent.get() == nullptr) return Fail(Why("A folder cannot be opened"));
  ntfs_inode* made = ntfs_create(parent.get(), 0, unicode->data(), static_cast<u8>(unicode->size()), S_IFDIR);
  const std::string reason = Why(("The folder cannot be created: " + name).c_str());
  const bool madeClosed = made != nullptr && ntfs_inode_close(made) == 0;
  if (!parent.Close() || !madeClosed) {
    broken_ = true;
    return Fail(reason);
  }
  return Commit();
}

bool NtfsVolume::Rename(std::string_view path, std::string_view newName) {
  if (!CanChange()) return false;
  if (newName.empty() || newName.find_first_of("\\/") != std::string_view::npos) {
    return Fail("Not a valid new name: " + std::string(newName));
  }
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> source;
  if (!Locate(path, folder, name, source)) return false;
  if (!source) return Fail("No such file: " + std::string(path));
  if (source->name.folder) return Fail("Only files are renamed: " + std::string(path));
  const auto newUnicode = Unicode(newName);
  if (!newUnicode) return Fail("Not a valid NTFS name: " + std::string(newName));
  const auto names = ReadFolder(folder);
  if (!names) return false;
  ntfs_volume* volume = Vol(volume_);
  const Name* target = nullptr;
  for (const Name& candidate : *names) {
    if (candidate.type != FILE_NAME_DOS &&
        ntfs_names_are_equal(candidate.unicode.data(), candidate.unicode.size(), newUnicode->data(),
                             newUnicode->size(), IGNORE_CASE, volume->upcase, volume->upcase_len)) {
      target = &candidate;
    }
  }
  if (target != nullptr && target->folder) return Fail("A folder of the new name exists: " + std::string(newName));
  if (target != nullptr && target->file != source->name.file) {
    ntfs_inode* replaced = ntfs_inode_open(volume, target->file);
    ntfs_inode* parent = replaced != nullptr ? ntfs_inode_open(volume, folder) : nullptr;
    if (parent == nullptr) {
      if (replaced != nullptr) ntfs_inode_close(replaced);
      return Fail(Why("The file to be replaced cannot be opened"));
    }
    // ntfs_delete closes both inodes.
    if (ntfs_delete(volume, nullptr, replaced, parent, target->unicode.data(),
                    static_cast<u8>(target->unicode.size())) != 0) {
      broken_ = true;
      return Fail(Why(("The file to be replaced cannot be removed: " + std::string(newName)).c_str()));
    }
  }
  ntfs_inode* file = ntfs_inode_open(volume, source->name.file);
  ntfs_inode* parent = file != nullptr ? ntfs_inode_open(volume, folder) : nullptr;
  if (parent == nullptr) {
    if (file != nullptr) ntfs_inode_close(file);
    broken_ = true;
    return Fail(Why("The file to be renamed cannot be opened"));
  }
  if (ntfs_link(file, parent, newUnicode->data(), static_cast<u8>(newUnicode->size())) != 0) {
    const std::string reason = Why(("The file cannot get its new name: " + std::string(newName)).c_str());
    ntfs_inode_close(parent);
    ntfs_inode_close(file);
    broken_ = true;
    return Fail(reason);
  }
  if (ntfs_delete(volume, nullptr, file, parent, source->name.unicode.data(),
                  static_cast<u8>(source->name.unicode.size())) != 0) {
    broken_ = true;
    return Fail(Why(("The file's old name cannot be removed: " + std::string(path)).c_str()));
  }
  return Commit();
}

bool NtfsVolume::Delete(std::string_view path) {
  if (!CanChange()) return false;
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return false;
  if (!found) return Fail("No such file: " + std::string(path));
  if (found->name.folder) return Fail("Only files are deleted: " + std::string(path));
  ntfs_volume* volume = Vol(volume_);
  ntfs_inode* file = ntfs_inode_open(volume, found->name.file);
  ntfs_inode* parent = file != nullptr ? ntfs_inode_open(volume, folder) : nullptr;
  if (parent == nullptr) {
    if (file != nullptr) ntfs_inode_close(file);
    return Fail(Why("The file cannot be opened"));
  }
  if (ntfs_delete(volume, nullptr, file, parent, found->name.unicode.data(),
                  static_cast<u8>(found->name.unicode.size())) != 0) {
    broken_ = true;
    return Fail(Why(("The file cannot be deleted: " + std::string(path)).c_str()));
  }
  return Commit();
}

bool NtfsVolume::SetAttributes(std::string_view path, std::uint32_t attributes) {
  if (!CanChange()) return false;
  std::uint64_t folder = 0;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, folder, name, found)) return false;
  if (!found) return Fail("No such file: " + std::string(path));
  InodeHolder file(ntfs_inode_open(Vol(volume_), found->name.file));
  if (file.get() == nullptr) return Fail(Why("The file cannot be opened"));
  const std::uint32_t flags = le32_to_cpu(file.get()->flags);
  file.get()->flags = static_cast<FILE_ATTR_FLAGS>(cpu_to_le32((flags & ~ntfs::kChangeableAttributes) |
                                  (attributes & ntfs::kChangeableAttributes)));
  // The attributes live in the standard information and, duplicated, in the folder's index.
  NInoSetDirty(file.get());
  NInoFileNameSetDirty(file.get());
  if (!file.Close()) {
    broken_ = true;
    return Fail(Why(("The attributes cannot be written: " + std::string(path)).c_str()));
  }
  return Commit();
}

bool NtfsVolume::Flush() {
  if (!writable_) return true;
  if (broken_) return Fail("The NTFS volume takes no more changes after a failed one");
  return Commit();
}

bool NtfsVolume::Commit() {
  ntfs_volume* volume = Vol(volume_);
  for (ntfs_inode* inode : {volume->mft_ni, volume->mftmirr_ni, volume->lcnbmp_ni, volume->vol_ni}) {
    // Only those changed: libntfs-3g writes an inode it is asked to sync even when it is not.
    if (inode != nullptr && (NInoDirty(inode) || NInoAttrListDirty(inode)) && ntfs_inode_sync(inode) != 0) {
      broken_ = true;
      return Fail(Why("The NTFS volume's metadata cannot be written"));
    }
  }
  if (!device_->disk->Flush()) {
    broken_ = true;
    return Fail(Why("The disk cannot be flushed"));
  }
  return true;
}

}  // namespace halshift::image
