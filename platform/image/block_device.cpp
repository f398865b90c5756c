// Disk image files through POSIX, partitions and memory as block devices.
#include "platform/image/block_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/image/machine_image.h"

namespace halshift::image {

std::unique_ptr<RawDevice> RawDevice::Open(const std::filesystem::path& path, bool writable,
                                           FaultInjector* faults, std::string& error) {
  const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errno == ELOOP ? "is a symbolic link" : std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))) {
    error = "is neither a regular file nor a block device";
    ::close(fd);
    return nullptr;
  }
  if (::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? "is in use by another program" : std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  // QEMU locks the image files it has open with open-file-description locks on single bytes:
  // any of them means a running virtual machine (or qemu-nbd, qemu-img) holds the disk.
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
    error = "is in use by another program (a running virtual machine holds a lock on it)";
    ::close(fd);
    return nullptr;
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<RawDevice>(
      new RawDevice(fd, static_cast<std::uint64_t>(end), writable, faults));
}

RawDevice::~RawDevice() { ::close(fd_); }

bool RawDevice::Read(std::uint64_t offset, std::span<std::uint8_t> destination) {
  if (!RangeWithin(offset, destination.size(), size_)) return false;
  std::size_t done = 0;
  while (done < destination.size()) {
    const ssize_t got = ::pread(fd_, destination.data() + done, destination.size() - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool RawDevice::Write(std::uint64_t offset, std::span<const std::uint8_t> source) {
  if (!writable_ || !RangeWithin(offset, source.size(), size_)) return false;
  if (faults_ != nullptr) {
    if (faults_->ShouldFail(Call::kWriteDisk)) return false;
    faults_->Step();
  }
  std::size_t done = 0;
  while (done < source.size()) {
    const ssize_t put = ::pwrite(fd_, source.data() + done, source.size() - done,
                                 static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool RawDevice::Flush() {
  if (!writable_) return true;
  if (faults_ != nullptr) {
    if (faults_->ShouldFail(Call::kFlushDisk)) return false;
    faults_->Step();
  }
  // The image keeps its size, so its data and the blocks that hold it are all a restart needs:
  // fdatasync, which does not also wait for the file's times to reach the disk.
  return ::fdatasync(fd_) == 0;
}

PartitionDevice::PartitionDevice(BlockDevice& disk, std::uint64_t offset, std::uint64_t length)
    : disk_(disk),
      offset_(std::min(offset, disk.Size())),
      length_(std::min(length, disk.Size() - std::min(offset, disk.Size()))) {}

bool PartitionDevice::Read(std::uint64_t offset, std::span<std::uint8_t> destination) {
  if (!RangeWithin(offset, destination.size(), length_)) return false;
  return disk_.Read(offset_ + offset, destination);
}

bool PartitionDevice::Write(std::uint64_t offset, std::span<const std::uint8_t> source) {
  if (!RangeWithin(offset, source.size(), length_)) return false;
  return disk_.Write(offset_ + offset, source);
}

bool MemoryDevice::Read(std::uint64_t offset, std::span<std::uint8_t> destination) {
  if (!RangeWithin(offset, destination.size(), bytes_.size())) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), destination.size(),
              destination.begin());
  return true;
}

bool MemoryDevice::Write(std::uint64_t offset, std::span<const std::uint8_t> source) {
  if (!writable_ || !RangeWithin(offset, source.size(), bytes_.size())) return false;
  std::copy(source.begin(), source.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

}  // namespace halshift::image
