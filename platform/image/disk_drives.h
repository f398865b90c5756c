// The drives of a disk image file for the offline machine: the disk opened by its content (in
// place, or through qemu-nbd for a container), its FAT16 volumes mounted, the hives of an
// installation on one of them served through private host copies, and the way back (a qcow2
// snapshot or a copy beside the disk). Private to platform/image.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/run_folder.h"
#include "platform/image/disk_format.h"
#include "platform/image/hive_registry.h"
#include "platform/image/partition_table.h"
#include "platform/image/volume.h"

namespace halshift::image {

class FaultInjector;

// A disk file opened, with a volume for each partition that halshift can serve.
struct MountedDisk {
  DiskFormat format = DiskFormat::kUnknown;
  std::shared_ptr<BlockDevice> device;
  struct Part {
    std::optional<Partition> partition;  // none for a bare partition image
    std::unique_ptr<Volume> volume;      // none when it is not a volume halshift serves
    std::string problem;                 // why a FAT partition could not be mounted
  };
  std::vector<Part> parts;  // primary partitions, then the logical drives
};

// Whether an open looks for the disk's other users first. The scan of every process costs
// about a millisecond per few thousand open files, so it is made once per open that decides
// whether the run may go on; the read-back open right after this process let go of the disk
// skips it.
enum class DiskUsers { kRefuseInUse, kAlreadyRefused };

// Opens a disk file by its content and mounts its FAT partitions (FAT16 served; FAT12, FAT32
// and a dirty FAT16 volume kept with their problem). Nothing, with error, when the file is no
// disk halshift knows or cannot be opened (another program holds it or has it open, a lock
// file says a virtual machine runs: DiskInUse, unless users is kAlreadyRefused).
std::optional<MountedDisk> MountDisk(const std::filesystem::path& path, bool writable,
                                     DiskUsers users, std::string& error);

// How messages name a part of the disk: "partition 2 (type 0x06)", or the partition image.
std::string PartName(const MountedDisk::Part& part);

// What the offline machine keeps of its disk: how to open it again, the private folder of the
// hive copies, and what the session changed on each drive (for the read-back).
struct DiskSession {
  std::filesystem::path path;
  DiskFormat format = DiskFormat::kUnknown;
  std::shared_ptr<BlockDevice> device;
  std::map<char, std::size_t> partOfDrive;  // drive letter to MountedDisk::parts index
  std::map<char, std::set<std::vector<std::string>>> changed;  // upper-cased components
  std::string backup;
  PrivateFolder folder{"halshift-run-hives"};
};

// A volume whose changes are recorded in session.changed for its letter.
std::unique_ptr<Volume> TrackChanges(std::unique_ptr<Volume> volume, DiskSession& session,
                                     char letter);

// HKEY_LOCAL_MACHINE from hive copies on the host, with each change of SOFTWARE committed back
// into the volume before SetValue returns: the new hive under a name of its own, a flush, the
// rename over the hive, a flush. Where the commit fails, the copy is put back as the volume
// holds it and the call fails with ERROR_REGISTRY_IO_FAILED.
std::unique_ptr<platform::Registry> VolumeHives(Volume& volume, std::vector<std::string> softwareHive,
                                                std::filesystem::path softwareCopy,
                                                std::filesystem::path systemCopy,
                                                FaultInjector& faults, std::string& error);
// The name beside a hive that its new data has on the volume until it replaces the hive.
std::string NewHiveName(std::string_view hive);

// Makes the way back before a disk's first change: "qemu-img snapshot -c" for qcow2, else a
// copy beside the disk (cp --reflink=auto --sparse=always). What was made, or nothing with
// error.
std::optional<std::string> BackUpDisk(const std::filesystem::path& disk, DiskFormat format,
                                      std::string& error);

}  // namespace halshift::image
