// Whether a disk file is in use by a running virtual machine, as far as this host shows it.
#ifndef HALSHIFT_PLATFORM_IMAGE_DISK_IN_USE_H_
#define HALSHIFT_PLATFORM_IMAGE_DISK_IN_USE_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace halshift::image {

// Why the disk is in use, or empty:
// - VMware keeps a "<disk>.lck" folder beside each disk that a running machine has open; the
//   lock of a disk kept as a descriptor and extents ("nt4.vmdk" with "nt4-flat.vmdk" or
//   "nt4-s001.vmdk") is the descriptor's, "nt4.vmdk.lck".
// - Any other program that has the file open: a VirtualBox machine keeps no lock file and
//   holds its disks only through its running process, as QEMU and VMware's do. Processes of
//   other users are seen only by root. This program and the servers it started are not
//   counted. A file that no process has open is known as such by one lease on it, without
//   the look through every process.
std::string DiskInUse(const std::filesystem::path& disk);

// The descriptor of a VMware extent's name ("nt4-flat.vmdk", "nt4-s003.vmdk": "nt4.vmdk"), or
// empty for a name that is no extent's.
std::string VmdkDescriptorOf(std::string_view name);

}  // namespace halshift::image

#endif  // HALSHIFT_PLATFORM_IMAGE_DISK_IN_USE_H_
