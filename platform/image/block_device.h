// A disk or a part of one as a run of bytes: the raw image file of a virtual machine's disk,
// a partition inside it, or bytes in memory.
//
// May contain: C++ standard library, POSIX (block_device.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace halshift::image {

class FaultInjector;

// The operations of a disk. None throws; each answers whether it did all it was asked.
class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  // The size in bytes; it does not change while the device is open.
  virtual std::uint64_t Size() const = 0;
  // Fills destination with the bytes from offset on. False, with destination's content then
  // unspecified, when the range reaches past Size() or the read fails.
  virtual bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) = 0;
  // Writes source at offset. False when the range reaches past Size(), the device was opened
  // for reading only or the write fails; the bytes of the range may then be old, new or mixed.
  // A write is durable only after a successful Flush().
  virtual bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) = 0;
  // Makes every write before it durable (fdatasync of the image file).
  virtual bool Flush() = 0;
  // The fault injector that a disk file's writes and flushes ask from now on (a device opened
  // before the machine whose injector it is); devices in memory and views have none.
  virtual void SetFaultInjector(FaultInjector* /*faults*/) {}
};

// A disk image file on the host, read and written in place. Opening does not follow a
// symbolic link as the last part of the path and takes an advisory lock on the file (flock):
// exclusive when writable, shared when not, so that a second halshift run cannot write the
// disk while another reads or writes it. The lock goes with the device. A file on which
// another program holds a POSIX record lock (QEMU locks the images it has open so) is
// refused too.
//
// Every Write asks the fault injector for Call::kWriteDisk and every Flush for
// Call::kFlushDisk (a failed call changes nothing), and each counts as a step of the injector
// just before it reaches the file.
class RawDevice final : public BlockDevice {
 public:
  // Nothing, with the reason in error, when the file cannot be opened or locked, or is
  // neither a regular file nor a block device. faults may be null.
  static std::unique_ptr<RawDevice> Open(const std::filesystem::path& path, bool writable,
                                         FaultInjector* faults, std::string& error);
  ~RawDevice() override;
  RawDevice(const RawDevice&) = delete;
  RawDevice& operator=(const RawDevice&) = delete;

  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override;
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override;
  bool Flush() override;
  void SetFaultInjector(FaultInjector* faults) override { faults_ = faults; }

 private:
  RawDevice(int fd, std::uint64_t size, bool writable, FaultInjector* faults)
      : fd_(fd), size_(size), writable_(writable), faults_(faults) {}
  int fd_;
  std::uint64_t size_;
  bool writable_;
  FaultInjector* faults_;
};

// The bytes [offset, offset + length) of another device, as a device of its own: every access
// is checked against the partition's bounds before it reaches the disk. A partition that
// reaches past the disk is cut to the disk's end.
class PartitionDevice final : public BlockDevice {
 public:
  PartitionDevice(BlockDevice& disk, std::uint64_t offset, std::uint64_t length);
  std::uint64_t Size() const override { return length_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override;
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override;
  bool Flush() override { return disk_.Flush(); }

 private:
  BlockDevice& disk_;
  std::uint64_t offset_;
  std::uint64_t length_;
};

// Bytes in memory as a device, for parsers fed from a buffer (the fuzz targets).
class MemoryDevice final : public BlockDevice {
 public:
  explicit MemoryDevice(std::vector<std::uint8_t> bytes, bool writable = true)
      : bytes_(std::move(bytes)), writable_(writable) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override;
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override;
  bool Flush() override { return true; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  bool writable_;
};

// Whether [offset, offset + length) lies within a device of the given size, without overflow.
constexpr bool RangeWithin(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace halshift::image
