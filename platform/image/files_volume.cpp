// The image's file operations on a drive that a writable volume serves (a FAT16 or NTFS file
// system inside a disk image): the same answers as on a host folder, each change made by the
// volume whole or not at all.
//
// Choices where Windows leaves room:
// - A move between two folders of a volume fails, as between two drives (the switch renames
//   only within a folder).
// - A file opened for writing is written to the volume when it is closed: a process ended
//   before finds the old file, or no new one, rather than an empty one.
// - The archive attribute is reported as the volume keeps it.
#include "platform/image/image_state.h"

#include "base/text.h"

namespace halshift::image {

namespace {

// The components of a path's folder.
std::span<const std::string> FolderOf(const WindowsPath& path) {
  return std::span(path.components).first(path.components.size() - 1);
}

bool SameFolder(const WindowsPath& a, const WindowsPath& b) {
  if (a.drive != b.drive || a.components.size() != b.components.size()) return false;
  for (std::size_t i = 0; i + 1 < a.components.size(); ++i) {
    if (!text::EqualsIgnoreCase(a.components[i], b.components[i])) return false;
  }
  return true;
}

bool IsFolder(const Volume& volume, std::span<const std::string> components) {
  const auto entry = volume.Find(components);
  return entry && entry->directory;
}

// A file a program writes on a volume: kept in memory and written whole at Close.
class VolumeOutputFile final : public platform::OutputFile {
 public:
  VolumeOutputFile(Volume& volume, std::vector<std::string> components, std::string data,
                   FaultInjector& faults)
      : volume_(volume), components_(std::move(components)), data_(std::move(data)),
        faults_(faults) {}
  bool Write(std::span<const char> data) override {
    if (closed_ || faults_.ShouldFail(Call::kWriteFile)) return false;
    data_.append(data.data(), data.size());
    return true;
  }
  bool Close() override {
    if (closed_) return true;
    closed_ = true;
    if (faults_.ShouldFail(Call::kCloseFile)) return false;
    // As FlushFileBuffers before CloseHandle: what was written survives a power cut.
    return volume_.Write(components_, data_) && volume_.Flush();
  }

 private:
  Volume& volume_;
  std::vector<std::string> components_;
  std::string data_;
  FaultInjector& faults_;
  bool closed_ = false;
};

}  // namespace

std::optional<ImageFiles::OnVolume> ImageFiles::ChangeOnVolume(std::string_view path) const {
  auto windows = ParseWindowsPath(path, state_.systemDrive);
  if (!windows) return std::nullopt;
  Volume* volume = state_.WritableVolumeOf(windows->drive);
  if (volume == nullptr) return std::nullopt;
  for (const auto& component : windows->components) {
    if (HasWildcard(component)) return std::nullopt;
  }
  return OnVolume{volume, std::move(*windows)};
}

bool ImageFiles::VolumeSetAttributes(const OnVolume& at, std::uint32_t attributes) {
  if (at.windows.IsRoot() || !at.volume->Find(at.windows.components)) return false;
  return at.volume->SetAttributes(at.windows.components, attributes & volume::kChangeable);
}

bool ImageFiles::VolumeCreateDirectory(const OnVolume& at) {
  if (at.windows.IsRoot() || at.volume->Find(at.windows.components)) return false;
  if (!IsFolder(*at.volume, FolderOf(at.windows))) return false;
  if (!at.volume->CanCreate(at.windows.components.back())) return false;
  return at.volume->CreateFolder(at.windows.components);
}

bool ImageFiles::VolumeCopy(const OnVolume& to, std::string_view bytes, std::uint32_t attributes,
                            bool failIfExists) {
  if (to.windows.IsRoot() || !IsFolder(*to.volume, FolderOf(to.windows))) return false;
  if (const auto existing = to.volume->Find(to.windows.components)) {
    if (failIfExists || existing->directory || (existing->attributes & volume::kReadOnly) != 0) {
      return false;
    }
  } else if (!to.volume->CanCreate(to.windows.components.back())) {
    return false;
  }
  if (!to.volume->Write(to.windows.components, bytes)) return false;
  // The copy has its source's attributes, and the archive bit as every new copy.
  const std::uint32_t wanted = (attributes & volume::kChangeable) | volume::kArchive;
  return wanted == volume::kArchive ||
         to.volume->SetAttributes(to.windows.components, wanted);
}

bool ImageFiles::VolumeRename(const OnVolume& from, const OnVolume& to, bool replaceExisting) {
  if (from.volume != to.volume || from.windows.IsRoot() || to.windows.IsRoot()) return false;
  if (!SameFolder(from.windows, to.windows)) return false;
  const auto source = from.volume->Find(from.windows.components);
  if (!source) return false;
  // The same file under another case: FAT keeps the name it has.
  if (from.windows.Key() == to.windows.Key()) return true;
  const std::string& newName = to.windows.components.back();
  if (const auto target = to.volume->Find(to.windows.components)) {
    if (!replaceExisting || target->directory || source->directory ||
        (target->attributes & volume::kReadOnly) != 0) {
      return false;
    }
  } else if (!to.volume->CanCreate(newName)) {
    return false;
  }
  return from.volume->Rename(from.windows.components, newName);
}

bool ImageFiles::VolumeDelete(const OnVolume& at) {
  if (at.windows.IsRoot()) return false;
  const auto entry = at.volume->Find(at.windows.components);
  if (!entry || entry->directory || (entry->attributes & volume::kReadOnly) != 0) return false;
  return at.volume->Delete(at.windows.components);
}

std::unique_ptr<platform::OutputFile> ImageFiles::VolumeOpen(const OnVolume& at,
                                                             platform::OpenMode mode) {
  if (at.windows.IsRoot() || !IsFolder(*at.volume, FolderOf(at.windows))) return nullptr;
  std::string data;
  if (const auto existing = at.volume->Find(at.windows.components)) {
    if (existing->directory || (existing->attributes & volume::kReadOnly) != 0) return nullptr;
    if (mode == platform::OpenMode::kAppendExclusive) {
      auto bytes = at.volume->Read(at.windows.components);
      if (!bytes) return nullptr;
      data = std::move(*bytes);
    }
  } else {
    // The file exists from the open on, as on Windows.
    if (!at.volume->CanCreate(at.windows.components.back())) return nullptr;
    if (!at.volume->Write(at.windows.components, {})) return nullptr;
  }
  return std::make_unique<VolumeOutputFile>(*at.volume, at.windows.components, std::move(data),
                                            state_.faults);
}

std::uint32_t ImageFiles::VolumeInstall(const OnVolume& to, std::string_view bytes,
                                        bool readOnly) {
  if (to.windows.IsRoot()) return platform::kVifCannotCreate;
  if (const auto existing = to.volume->Find(to.windows.components)) {
    if (existing->directory) return platform::kVifCannotRename;
    if ((existing->attributes & volume::kReadOnly) != 0) return platform::kVifWriteProt;
  } else if (!IsFolder(*to.volume, FolderOf(to.windows)) ||
             !to.volume->CanCreate(to.windows.components.back())) {
    return platform::kVifCannotCreate;
  }
  if (!to.volume->Write(to.windows.components, bytes)) return platform::kVifCannotCreate;
  if (readOnly &&
      !to.volume->SetAttributes(to.windows.components, volume::kReadOnly | volume::kArchive)) {
    return platform::kVifCannotCreate;
  }
  return 0;
}

}  // namespace halshift::image
