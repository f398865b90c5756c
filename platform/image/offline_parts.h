// The steps of opening an offline machine that a system drive in a host folder and one inside
// a disk image share (offline.cpp), and the disk's own opening (offline_disk.cpp). Private to
// platform/image.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/image/image_state.h"
#include "platform/image/offline.h"

namespace halshift::image::offline {

// Where a system root's folder holds an installation's hives, as host files (on a disk, the
// private copies read out of its volume).
struct Installation {
  std::string folder;  // the system root's folder as the drive names it ("WINNT")
  std::filesystem::path software;
  std::filesystem::path system;
};

// The letters of the offline machine's drives that host folders serve, each with its folder;
// the media's letter is the next one after every drive.
struct DriveLayout {
  std::vector<DriveMap::DriveFolder> folders;
  // The --drive disks: each the volume of a disk file, read only, under its letter.
  struct DiskDrive {
    char letter;
    std::unique_ptr<Volume> volume;
  };
  std::vector<DiskDrive> disks;
  std::optional<char> mediaLetter;
  // Every letter that a folder or a disk of the layout serves.
  std::set<char> Letters() const;
};

std::optional<std::filesystem::path> RealFolder(const std::filesystem::path& path);
std::optional<WindowsPath> DrivePath(char drive, std::string_view rest);

// The one installation whose SOFTWARE hive's SystemRoot names its own folder, with that
// system root ("C:\WINNT"); nothing, with error naming where, when none or several do or a
// hive cannot be opened.
const Installation* ChooseInstallation(const std::vector<Installation>& installations,
                                       const std::string& where, std::string& systemRoot,
                                       std::string& error);
// Adds the --drive folders and disk files to the layout. A disk file is opened read only by its
// content, as --offline opens one, and gives the letter its one FAT16 or NTFS volume (the active
// partition's when it has several); a disk that cannot be opened, one with a FAT volume that
// cannot be served (FAT12, FAT32, a dirty FAT16) and one with no such volume are refused.
bool PlaceNamedDrives(const OfflineMachine& machine, char systemLetter,
                      const std::string& systemRoot, DriveLayout& layout, std::string& error);
// Gives the --media the letter after lastLetter and the layout's letters: a folder in the
// layout, or an ISO image in mediaVolume.
bool PlaceMedia(const OfflineMachine& machine, char lastLetter, DriveLayout& layout,
                std::unique_ptr<Volume>& mediaVolume, std::string& error);
// The machine's state over the layout's folders, scratch being where the drive map tries the
// host file system's times.
// The layout's disk volumes move into the state.
std::unique_ptr<MachineImage::State> MakeState(const OfflineMachine& machine,
                                               DriveLayout& layout,
                                               const std::filesystem::path& scratch,
                                               const std::string& systemRoot,
                                               std::unique_ptr<Volume> mediaVolume);
// Once the registry is in place: the kernel's version, the boot drives' paths, the devices, and
// the folders' leftovers swept.
bool CompleteState(MachineImage::State& state, const DriveLayout& layout,
                   const std::string& systemRoot, std::string& error);

// The machine of an installation inside a disk image file (offline_disk.cpp).
std::unique_ptr<MachineImage::State> OpenOfflineDisk(const OfflineMachine& machine,
                                                     std::string& error);

}  // namespace halshift::image::offline
