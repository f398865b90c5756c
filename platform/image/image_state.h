// The machine image's shared state and the classes that serve each platform service from it.
// Private to platform/image.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/drive_paths.h"
#include "platform/image/ini_file.h"
#include "platform/image/machine_image.h"
#include "platform/image/registry_file.h"
#include "platform/image/volume.h"
#include "platform/image/volume_changes.h"
#include "platform/platform.h"

namespace halshift::image {

namespace host {
enum class WriteResult { kDone, kCannotCreate, kCannotRename };
}  // namespace host

// Win32 status values that platform.h does not name.
inline constexpr long kErrorRegistryIoFailed = 1016;

class ImageSystem : public platform::SystemInfo {
 public:
  explicit ImageSystem(MachineImage::State& state) : state_(state) {}
  std::uint32_t GetVersion() override;
  bool OpenServiceControlManager() override;
  std::string GetSystemDirectory() override;
  std::string GetModuleFileName() override;
  // The disk's snapshot or copy of an offline machine on a disk image (offline_disk.cpp).
  std::string KeptState() override;

 private:
  MachineImage::State& state_;
};

class ImageRegistry : public platform::Registry {
 public:
  explicit ImageRegistry(MachineImage::State& state) : state_(state) {}
  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override;
  long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                std::span<const std::uint8_t> data) override;

 private:
  MachineImage::State& state_;
};

class ImageFiles : public platform::FileSystem {
 public:
  explicit ImageFiles(MachineImage::State& state) : state_(state) {}
  bool FindFirstFile(std::string_view path) override;
  unsigned GetDriveType(std::string_view root) override;
  std::uint32_t GetFileAttributes(std::string_view path) override;
  bool SetFileAttributes(std::string_view path, std::uint32_t attributes) override;
  bool CreateDirectory(std::string_view path) override;
  bool CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) override;
  bool MoveFile(std::string_view existing, std::string_view newPath) override;
  bool MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                  std::uint32_t flags) override;
  bool DeleteFile(std::string_view path) override;
  std::optional<std::string> GetTempFileName(std::string_view directory,
                                             std::string_view prefix) override;
  std::vector<FoundFile> FindFiles(std::string_view pattern) override;
  bool FlushFiles(std::span<const std::string> paths) override;
  bool FlushVolume(std::string_view drive) override;
  std::optional<std::string> ReadFile(std::string_view path) override;
  std::unique_ptr<platform::OutputFile> OpenFile(std::string_view path,
                                                 platform::OpenMode mode) override;
  std::uint32_t GetPrivateProfileSection(std::string_view section, std::span<char> buffer,
                                         std::string_view file) override;
  std::uint32_t VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                               std::string_view destinationName, std::string_view sourceDirectory,
                               std::string_view destinationDirectory,
                               std::string_view currentDirectory, std::string& tempName) override;

 private:
  // A path that an operation works on: the parsed Windows path and its host path.
  struct Resolved {
    WindowsPath windows;
    std::filesystem::path host;
  };
  std::optional<Resolved> Resolve(std::string_view path, bool allowWildcard = false) const;
  // The same for a path that an operation changes: nothing also on a read-only drive.
  std::optional<Resolved> ResolveForChange(std::string_view path) const;
  // What a path names, on a host folder or a volume: its kind, attributes and size.
  struct Found {
    bool directory = false;
    std::uint32_t attributes = 0;  // as GetFileAttributes reports them
    std::uint64_t size = 0;
  };
  std::optional<Found> Look(const WindowsPath& path) const;
  // The bytes of a file on a host folder or a volume; nothing when it cannot be read.
  std::optional<std::string> ReadBytes(std::string_view path) const;
  bool Rename(const Resolved& from, const Resolved& to, bool replaceExisting);
  // Rename's steps: a rename to the same name in another case, and the taking back of a move
  // whose marks could not be stored (with the replaced target's kept link, if any).
  bool RenameCase(const Resolved& from, const Resolved& to);
  void UndoRename(const Resolved& from, const Resolved& to, const std::string& keptTarget);
  bool SchedulePending(std::string_view first, std::string_view second);
  // Replaces or creates a drive file whole (host::ReplaceWhole), noting the change for the
  // next flush of its drive.
  host::WriteResult ReplaceOnDrive(const Resolved& target, std::string_view bytes, unsigned mode,
                                   std::string_view dosAttributes = {});
  void NoteCreated(char drive, const std::filesystem::path& entry);

  // The operations on a drive that a writable volume serves (files_volume.cpp): a path on it
  // without wildcards, and each change as the host folder's operation makes it.
  struct OnVolume {
    Volume* volume = nullptr;
    WindowsPath windows;
  };
  std::optional<OnVolume> ChangeOnVolume(std::string_view path) const;
  bool VolumeSetAttributes(const OnVolume& at, std::uint32_t attributes);
  bool VolumeCreateDirectory(const OnVolume& at);
  bool VolumeCopy(const OnVolume& to, std::string_view bytes, std::uint32_t attributes,
                  bool failIfExists);
  bool VolumeRename(const OnVolume& from, const OnVolume& to, bool replaceExisting);
  bool VolumeDelete(const OnVolume& at);
  std::unique_ptr<platform::OutputFile> VolumeOpen(const OnVolume& at, platform::OpenMode mode);
  std::uint32_t VolumeInstall(const OnVolume& to, std::string_view bytes, bool readOnly);

  MachineImage::State& state_;
};

class ImageMemory : public platform::PhysicalMemory {
 public:
  explicit ImageMemory(MachineImage::State& state) : state_(state) {}
  bool ReadPhysical(std::uint32_t physicalAddress, std::span<std::uint8_t> destination) override;
  void Lock(std::span<std::uint8_t>) override {}
  void Unlock(std::span<std::uint8_t>) override {}

 private:
  MachineImage::State& state_;
};

class ImageLinks : public platform::NativeLinks {
 public:
  explicit ImageLinks(MachineImage::State& state) : state_(state) {}
  std::optional<std::string> QuerySymbolicLink(std::string_view linkName) override;
  std::optional<std::string> QueryDosDevice(std::string_view drive) override;

 private:
  MachineImage::State& state_;
};

// A range of physical memory: read from a file, or, when there is no file, held in bytes.
struct MemoryRegion {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::filesystem::path file;
  std::vector<std::uint8_t> bytes;
};

// A file the running system holds: the [InUse] entry's line in machine.ini and its path.
struct InUseMark {
  std::size_t line = 0;
  WindowsPath path;
  std::string value;  // the entry's value, kept when the mark is moved
};

namespace host {

// How the image keeps what it writes across a power cut. File data is flushed where the
// platform asks for it (OutputFile::Close, FlushFiles, Registry::SetValue). Creations, renames
// and removals are flushed with their folders where FlushVolume asks for it; on a file system
// that journals its metadata in order (ext4, xfs), the journal keeps them in order even before,
// so that a power cut there leaves the state after some prefix of the image's steps, as a kill
// does. The fault injector's power cut stands for a disk that keeps no such order.
enum class Durability {
  kFlushed,  // the data is on the disk before the new file takes the target's name
  kLazy,     // as CopyFileA and VerInstallFile: the caller flushes when it needs to
};

}  // namespace host

struct MachineImage::State {
  explicit State(std::filesystem::path dir)
      : directory(std::move(dir)),
        drives(directory / "drives"),
        system(*this),
        registry(*this),
        files(*this),
        memory(*this),
        links(*this) {
    TakeBackOnPowerCut();
  }
  // A machine without an image directory (machine.ini, registry.reg, memory/): its drives are
  // the given folders, and what machine.ini would say is set by whoever makes it.
  State(std::vector<DriveMap::DriveFolder> driveFolders, std::filesystem::path scratchFolder)
      : drives(std::move(driveFolders), std::move(scratchFolder)),
        system(*this),
        registry(*this),
        files(*this),
        memory(*this),
        links(*this) {
    TakeBackOnPowerCut();
  }
  // At a power cut of the fault injector, the folder changes that no flush made durable are
  // taken back, all of them or as the cut asks.
  void TakeBackOnPowerCut() {
    faults.OnPowerCut([this](std::optional<std::uint32_t> seed, bool anyOrder) {
      if (seed && anyOrder) {
        changes.TakeBackSome(*seed, MachineIniPath());
      } else {
        changes.TakeBack(seed ? *seed % (changes.JournaledCount() + 1) : 0, MachineIniPath());
      }
    });
  }

  std::filesystem::path directory;
  DriveMap drives;
  IniFile ini;
  RegistryFile registryFile = RegistryFile::Empty();

  unsigned versionMajor = 4;
  unsigned versionMinor = 0;
  unsigned build = 1381;
  bool windowsPlatform = false;
  bool administrator = true;
  std::string systemDirectory = "C:\\WINNT\\System32";
  char systemDrive = 'C';
  std::uint32_t pageSize = 4096;  // GetSystemInfo's; 0 fails every physical read
  unsigned driveTypes[26] = {};  // by letter; 0 = not listed
  std::vector<std::pair<std::string, std::string>> arcNames;
  std::vector<std::pair<std::string, std::string>> dosDevices;
  std::vector<InUseMark> inUse;
  std::vector<MemoryRegion> regions;
  std::uint32_t nextTempNumber = 0;  // where GetTempFileName starts looking for a free name
  FaultInjector faults;
  VolumeChanges changes{faults};
  // Drives that nothing may change (a CD-ROM drive's folder), and drives served from a volume
  // image rather than a folder; by letter.
  std::array<bool, 26> readOnlyDrives{};
  std::array<std::unique_ptr<Volume>, 26> volumes;
  // The registry when it is not registry.reg (an installation's own hives); it then records
  // no delayed operations, since nothing of such a machine is in use.
  std::unique_ptr<platform::Registry> otherRegistry;
  // The disk image whose volumes serve drives, for an offline machine on one (offline_disk.cpp).
  std::shared_ptr<struct DiskSession> disk;

  ImageSystem system;
  ImageRegistry registry;
  ImageFiles files;
  ImageMemory memory;
  ImageLinks links;

  std::filesystem::path MachineIniPath() const { return directory / "machine.ini"; }
  std::filesystem::path RegistryPath() const { return directory / "registry.reg"; }
  bool IsInUse(const WindowsPath& path) const;
  const Volume* VolumeOf(char drive) const { return volumes[static_cast<std::size_t>(drive - 'A')].get(); }
  // The volume of a drive when it takes changes.
  Volume* WritableVolumeOf(char drive) const {
    Volume* volume = volumes[static_cast<std::size_t>(drive - 'A')].get();
    return volume != nullptr && volume->Writable() ? volume : nullptr;
  }
  bool IsReadOnlyDrive(char drive) const {
    return readOnlyDrives[static_cast<std::size_t>(drive - 'A')] ||
           (VolumeOf(drive) != nullptr && WritableVolumeOf(drive) == nullptr);
  }
  // Writes registry.reg with one value set; the in-memory registry changes only when the file
  // was replaced.
  long WriteRegistryValue(std::string_view keyPath, std::string_view valueName,
                          std::uint32_t type, std::string_view data, bool createKey,
                          host::Durability durability);
};

// Host file helpers shared by the services.
namespace host {

enum class Kind { kMissing, kFile, kDirectory, kOther };
Kind KindOf(const std::filesystem::path& path);
// Whether a file has no write permission bits (the Windows read-only attribute).
bool IsReadOnly(const std::filesystem::path& path);
std::optional<std::string> ReadWhole(const std::filesystem::path& path);

// The image's own temporary files begin with this; no Windows program names a file so. A
// process ended between creating one and renaming it into place leaves it behind, and the next
// open of the image removes it (SweepPrivateFiles).
inline constexpr std::string_view kPrivatePrefix = ".halshift~";
// A mkstemp template for a private temporary file in folder, named after stem.
std::string PrivateTemplate(const std::filesystem::path& folder, std::string_view stem);
// Removes the private temporary files below root; how many.
int SweepPrivateFiles(const std::filesystem::path& root);

// Writes bytes to a new private temporary file in the target's folder and renames it over the
// target only when it is complete, so the target is either the old or the new file, and no
// temporary file is left behind. The new file gets the given permission bits and, when
// dosAttributes is not empty, that user.DOSATTRIB text. Asks the injector about
// kRenameTemporary just before the rename.
WriteResult ReplaceWhole(const std::filesystem::path& target, std::string_view bytes,
                         unsigned mode, FaultInjector& faults, Durability durability,
                         std::string_view dosAttributes = {});

// The user.DOSATTRIB text of a file ("0x6"), empty when it has none.
std::string ReadDosAttributes(const std::filesystem::path& path);
// Sets or, for zero, removes user.DOSATTRIB so that it holds exactly these hidden and system
// bits.
bool WriteDosAttributes(const std::filesystem::path& path, std::uint32_t hiddenSystem,
                        FaultInjector& faults);
// Hidden and system bits of a user.DOSATTRIB text.
std::uint32_t ParseDosAttributes(std::string_view text);

}  // namespace host

}  // namespace halshift::image
