// Test helpers for offline runs on disk images: the generated installation tree put into a
// FAT16 volume with mkfs.fat and mcopy (on a partitioned raw disk or as a bare partition), and
// the volume read back with mtools and hivex to compare with the same run on the folder tree.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "base/text.h"
#include "platform/image/block_device.h"
#include "platform/image/disk_drives.h"
#include "platform/image/fat16_volume.h"
#include "tests/disk/disk_tools.h"
#include "tests/support/offline_tree.h"

namespace halshift::testing {

// Where the FAT16 volume of a generated disk lies.
struct DiskImage {
  std::filesystem::path path;
  std::uint64_t offset = 0;  // of the volume in the raw image; 0 for a bare partition
};

inline constexpr std::uint64_t kPartitionStart = 1 << 20;

// Copies the tree's system drive (drives/C) into a new FAT16 volume: a 64 MiB raw disk with
// one active partition of type 0x06 from 1 MiB on, or with bare a partition image alone.
inline DiskImage MakeDiskFromTree(const TempImage& tree, const std::filesystem::path& path,
                                  bool bare = false, const std::string& mkfs = "-F 16") {
  using disk::Quoted;
  using disk::Shell;
  DiskImage image{path, bare ? 0 : kPartitionStart};
  const std::string made =
      bare ? "truncate -s 63M " + Quoted(path) + " && mkfs.fat " + mkfs + " " + Quoted(path)
           : "truncate -s 64M " + Quoted(path) + " && echo 'start=2048, type=6, bootable' | "
             "sfdisk -q " + Quoted(path) + " && mkfs.fat " + mkfs + " --offset 2048 " +
                 Quoted(path) + " 64512";
  EXPECT_EQ(Shell(made).status, 0) << made;
  const std::string copy = "cd " + Quoted(DriveFolder(tree, 'C')) + " && mcopy -s -Q -i " +
                           disk::MtoolsImage(path, image.offset) + " * ::/";
  const auto copied = Shell(copy);
  EXPECT_EQ(copied.status, 0) << copied.output;
  return image;
}

// A file of the volume ("WINNT/System32/HAL.DLL"); nothing when mtools cannot read it.
inline std::optional<std::string> ReadDiskFile(const DiskImage& image, const std::string& name) {
  const std::filesystem::path out = image.path.string() + ".read";
  const auto run = disk::Shell("mcopy -n -o -i " + disk::MtoolsImage(image.path, image.offset) +
                               " '::/" + name + "' " + disk::Quoted(out));
  std::optional<std::string> bytes;
  if (run.status == 0) {
    const auto read = disk::ReadBytes(out);
    bytes = std::string(read.begin(), read.end());
  }
  std::error_code ignored;
  std::filesystem::remove(out, ignored);
  return bytes;
}

// The files of a folder of the volume by upper-cased name, with their bytes.
inline std::map<std::string, std::string> ReadDiskFolder(const DiskImage& image,
                                                         const std::string& folder) {
  std::map<std::string, std::string> files;
  const auto listed = disk::Shell("mdir -b -i " + disk::MtoolsImage(image.path, image.offset) +
                                  " '::/" + folder + "'");
  std::size_t start = 0;
  while (start < listed.output.size()) {
    const std::size_t end = listed.output.find('\n', start);
    std::string line = listed.output.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? listed.output.size() : end + 1;
    if (line.empty() || line.back() == '/') continue;
    const std::string name = line.substr(line.find_last_of('/') + 1);
    files[text::ToUpper(name)] = ReadDiskFile(image, folder + "/" + name).value_or("<unreadable>");
  }
  return files;
}

// The checks after a typical run on a disk: the volume is clean, and its system directory,
// BOOT.INI, setup.log and CurrentType are what the same run leaves on the folder tree.
inline void ExpectSwitchedAsFolder(const DiskImage& image, const EndState& folderRun) {
  std::string report;
  EXPECT_EQ(disk::Fsck(image.path, &report, image.offset), disk::FsckVerdict::kClean) << report;
  std::map<std::string, std::string> expected;
  for (const auto& [name, file] : folderRun.raw) expected[text::ToUpper(name)] = file.bytes;
  const auto found = ReadDiskFolder(image, "WINNT/System32");
  std::string names;
  for (const auto& [name, bytes] : found) names += name + " ";
  EXPECT_EQ(found.size(), expected.size()) << names;
  for (const auto& [name, bytes] : expected) {
    EXPECT_TRUE(found.count(name) != 0 && found.at(name) == bytes) << name << " differs";
  }
  EXPECT_EQ(ReadDiskFile(image, "BOOT.INI"), folderRun.bootDrive.at("BOOT.INI").bytes);
  EXPECT_EQ(ReadDiskFile(image, "WINNT/repair/setup.log").value_or("<missing>"), folderRun.setupLog);
  const std::filesystem::path software = image.path.string() + ".SOFTWARE";
  const std::filesystem::path system = image.path.string() + ".SYSTEM";
  disk::WriteBytes(software, disk::BytesOf(ReadDiskFile(image, "WINNT/System32/config/SOFTWARE").value_or("")));
  disk::WriteBytes(system, disk::BytesOf(ReadDiskFile(image, "WINNT/System32/config/SYSTEM").value_or("")));
  EXPECT_TRUE(IsNt4Hive(software));
  image::FaultInjector faults;
  std::string error;
  const auto hives = image::HiveRegistry::Open(software, system, faults, error);
  ASSERT_NE(hives, nullptr) << error;
  EXPECT_EQ(ReadRegistryText(*hives, kCurrentVersionKeyPath, "CurrentType").text, folderRun.currentType);
}

// The halshift program's typical offline run on a disk (or another path) with the tree's media.
inline ProgramRun RunOnDisk(const TempImage& tree, const std::filesystem::path& disk,
                            std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"--offline", disk.string(), "--cpus", "2", "--media",
                                        DriveFolder(tree, 'D')};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  arguments.push_back("upgrade_hal");
  arguments.push_back("enable_recovery");
  return RunProgram(arguments);
}

}  // namespace halshift::testing

namespace halshift::testing {

// The disk opened in this process as the program opens it (no backup), with recording
// stand-ins of the services that talk to a person; nothing when it does not open.
inline std::unique_ptr<OpenedMachine> OpenOfflineDisk(const TempImage& tree,
                                                      const std::filesystem::path& disk) {
  return OpenOfflineWords({"--offline", disk.string(), "--no-backup", "--cpus", "2", "--media",
                           DriveFolder(tree, 'D')});
}

// Gives the entries below folder the case of their namesakes below model (FAT keeps the 8.3
// names of new files in upper case; the host's checks look names up as the tree has them).
inline void MatchCase(const std::filesystem::path& folder, const std::filesystem::path& model) {
  std::error_code ec;
  std::vector<std::filesystem::path> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) entries.push_back(entry.path());
  for (std::filesystem::path entry : entries) {
    for (const auto& known : std::filesystem::directory_iterator(model, ec)) {
      const std::string name = known.path().filename().string();
      if (name != entry.filename().string() &&
          text::EqualsIgnoreCase(name, entry.filename().string())) {
        std::filesystem::rename(entry, folder / name, ec);
        entry = folder / name;
        break;
      }
    }
    if (std::filesystem::is_directory(entry)) MatchCase(entry, model / entry.filename());
  }
}

// Copies the files below the folder of the volume into target, each under the name the volume
// gives it; false when a folder or file cannot be read.
inline bool CopyVolumeFolder(const image::Volume& volume, std::vector<std::string> folder,
                             const std::filesystem::path& target) {
  if (!volume.Find(folder)) return false;
  std::filesystem::create_directories(target);
  for (const image::Volume::Entry& entry : volume.List(folder)) {
    folder.push_back(entry.name);
    if (entry.directory) {
      if (!CopyVolumeFolder(volume, folder, target / entry.name)) return false;
    } else if (const auto bytes = volume.Read(folder)) {
      disk::WriteBytes(target / entry.name, disk::BytesOf(*bytes));
    } else {
      return false;
    }
    folder.pop_back();
  }
  return true;
}

// The files of the disk's first served volume (FAT16 or NTFS) copied into the drives/C folder
// of a new tree, named as in model's, for the checks of a tree; read in this process through
// the program's own volume layers, far cheaper than mtools or ntfscat for a sweep that reads
// the volume after every cut.
inline void ReadOutDisk(const std::filesystem::path& disk, const TempImage& tree, const TempImage& model) {
  std::string error;
  const auto mounted = image::MountDisk(disk, false, image::DiskUsers::kRefuseInUse, error);
  ASSERT_TRUE(mounted) << error;
  const image::Volume* volume = nullptr;
  for (const auto& part : mounted->parts) {
    if (volume == nullptr && part.volume) volume = part.volume.get();
  }
  ASSERT_NE(volume, nullptr) << "no volume served on the disk";
  EXPECT_TRUE(CopyVolumeFolder(*volume, {}, DriveFolder(tree, 'C')));
  MatchCase(DriveFolder(tree, 'C'), DriveFolder(model, 'C'));
}

}  // namespace halshift::testing
