// A virtual machine's container disk (qcow2, VDI, sparse VMDK, dynamic VHD, VHDX) as a block
// device, through QEMU's own block layer: a private qemu-nbd on a Unix socket, spoken to
// in-process with libnbd. No root, no /dev/nbd device, no kernel module.
//
// May contain: C++ standard library, POSIX, libnbd (nbd_device.cpp).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/image/block_device.h"
#include "platform/image/disk_format.h"
#include "platform/image/run_folder.h"

struct nbd_handle;

namespace halshift::image {

class FaultInjector;

// The disk of a container file. Open starts "qemu-nbd --socket=<private socket> --format=<f>"
// in a new folder that only this user can enter, and connects to it; QEMU's image lock then
// refuses a disk that a running machine (or another halshift) holds, and that refusal comes
// back as the error. The server ends when the device is closed. Writes and flushes ask the
// fault injector for Call::kWriteDisk and Call::kFlushDisk and count as steps, as a raw
// device's do; Flush is the NBD flush, which QEMU turns into an fsync of the container.
class NbdDevice final : public BlockDevice {
 public:
  static std::unique_ptr<NbdDevice> Open(const std::filesystem::path& path, DiskFormat format, bool writable,
                                         FaultInjector* faults, std::string& error);
  ~NbdDevice() override;
  NbdDevice(const NbdDevice&) = delete;
  NbdDevice& operator=(const NbdDevice&) = delete;

  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override;
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override;
  bool Flush() override;
  void SetFaultInjector(FaultInjector* faults) override { faults_ = faults; }

 private:
  NbdDevice() = default;
  nbd_handle* handle_ = nullptr;
  pid_t server_ = -1;
  std::unique_ptr<PrivateFolder> folder_;  // the socket's, gone after the server
  std::uint64_t size_ = 0;
  bool writable_ = false;
  FaultInjector* faults_ = nullptr;
};

// qemu-img's name of a container format ("qcow2", "vdi", "vmdk", "vpc", "vhdx"); empty for
// the raw formats.
std::string QemuFormatName(DiskFormat format);

}  // namespace halshift::image
