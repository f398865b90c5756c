// Throw-away NTFS partition images made with mkntfs and ntfscp and checked with ntfsfix,
// ntfscat and ntfsls; what those tools cannot do (folders, the version field of an NT 4.0
// volume, the dirty flag, a compressed file) is done through libntfs-3g directly, by the
// file's name, as a tool of its own would.
#pragma once

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

#include "tests/disk/disk_tools.h"

namespace halshift::testing::disk {

// An NTFS file system (version 3.1) filling a new file of the given size in MiB.
inline bool MakeNtfs(const std::filesystem::path& image, int mebibytes) {
  return Shell("truncate -s " + std::to_string(mebibytes) + "M " + Quoted(image) + " && mkntfs -F -f -Q " +
               Quoted(image))
             .status == 0;
}

// Copies text into the volume as name ("WINNT/SYSTEM32/HAL.DLL"); its folder must exist.
inline bool PutNtfsFile(const std::filesystem::path& image, const std::string& name, const std::string& text,
                        const TempFolder& scratch) {
  const std::filesystem::path source = scratch / "put.tmp";
  WriteBytes(source, BytesOf(text));
  return Shell("ntfscp -f " + Quoted(image) + " " + Quoted(source) + " '" + name + "'").status == 0;
}

inline RunResult CatNtfsFile(const std::filesystem::path& image, const std::string& name) {
  return Shell("ntfscat -f " + Quoted(image) + " '" + name + "'");
}

// ntfsfix -n: true when it finds the volume consistent.
inline bool NtfsConsistent(const std::filesystem::path& image, std::string* report = nullptr) {
  const RunResult result = Shell("ntfsfix -n " + Quoted(image));
  if (report != nullptr) *report = result.output;
  return result.status == 0;
}

// Mounts the image through libntfs-3g itself, runs change and unmounts; false on any failure.
inline bool WithNtfs(const std::filesystem::path& image, const std::function<bool(ntfs_volume*)>& change) {
  ntfs_volume* volume = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
  if (volume == nullptr) return false;
  const bool ok = change(volume);
  return ntfs_umount(volume, FALSE) == 0 && ok;
}

// Creates folder (a path of "/"-separated parts whose parent exists) with a POSIX name.
inline bool MakeNtfsFolder(const std::filesystem::path& image, const std::string& parent, const std::string& name) {
  return WithNtfs(image, [&](ntfs_volume* volume) {
    ntfs_inode* dir = ntfs_pathname_to_inode(volume, nullptr, parent.empty() ? "/" : parent.c_str());
    if (dir == nullptr) return false;
    ntfschar* unicode = nullptr;
    const int length = ntfs_mbstoucs(name.c_str(), &unicode);
    ntfs_inode* made = length > 0 ? ntfs_create(dir, 0, unicode, static_cast<u8>(length), S_IFDIR) : nullptr;
    free(unicode);
    const bool ok = made != nullptr && ntfs_inode_close(made) == 0;
    return ntfs_inode_close(dir) == 0 && ok;
  });
}

// Copies a host folder's files and folders into the volume's root, names as they are.
inline bool CopyTreeIntoNtfs(const std::filesystem::path& image, const std::filesystem::path& host,
                             const std::string& into = "") {
  for (const auto& entry : std::filesystem::directory_iterator(host)) {
    const std::string name = entry.path().filename().string();
    const std::string path = into + "/" + name;
    const bool ok = entry.is_directory()
                        ? MakeNtfsFolder(image, into, name) && CopyTreeIntoNtfs(image, entry.path(), path)
                        : Shell("ntfscp -f " + Quoted(image) + " " + Quoted(entry.path()) + " '" + path + "'").status == 0;
    if (!ok) return false;
  }
  return true;
}

// A raw disk of one NTFS partition (type 0x07, active) at 1 MiB, holding the partition image.
inline bool MakeNtfsDisk(const std::filesystem::path& disk, const std::filesystem::path& partition) {
  const auto sectors = std::filesystem::file_size(partition) / 512;
  return Shell("truncate -s " + std::to_string((sectors + 2048) * 512) + " " + Quoted(disk) +
               " && printf 'label: dos\nstart=2048, size=" + std::to_string(sectors) +
               ", type=7, bootable\n' | sfdisk -q " + Quoted(disk) + " && dd if=" + Quoted(partition) +
               " of=" + Quoted(disk) + " bs=512 seek=2048 conv=notrunc status=none")
             .status == 0;
}

// The partition of a disk that MakeNtfsDisk made, copied out of it (raw or qcow2).
inline bool ExtractNtfsPartition(const std::filesystem::path& disk, const std::filesystem::path& partition) {
  const std::filesystem::path raw = partition.string() + ".disk";
  return Shell("qemu-img convert -O raw " + Quoted(disk) + " " + Quoted(raw) + " && dd if=" + Quoted(raw) +
               " of=" + Quoted(partition) + " bs=512 skip=2048 status=none && rm -f " + Quoted(raw))
             .status == 0;
}

// Writes the version into $Volume's information attribute: 1.2 is what NT 4.0 writes. The
// rest of the volume stays as mkntfs made it for 3.1 (no volume of NT 4.0's own making can
// be made on Linux); libntfs-3g then treats it as 1.x in what it creates (1.x standard
// information, no security ids), as it would a volume NT 4.0 made.
inline bool SetNtfsVersion(const std::filesystem::path& image, int major, int minor) {
  return WithNtfs(image, [&](ntfs_volume* volume) {
    ntfs_attr* info = ntfs_attr_open(volume->vol_ni, AT_VOLUME_INFORMATION, AT_UNNAMED, 0);
    if (info == nullptr) return false;
    VOLUME_INFORMATION value{};
    bool ok = info->data_size >= static_cast<s64>(sizeof value) &&
              ntfs_attr_pread(info, 0, sizeof value, &value) == static_cast<s64>(sizeof value);
    value.major_ver = static_cast<u8>(major);
    value.minor_ver = static_cast<u8>(minor);
    ok = ok && ntfs_attr_pwrite(info, 0, sizeof value, &value) == static_cast<s64>(sizeof value);
    ntfs_attr_close(info);
    return ok;
  });
}

// Sets the volume's dirty flag, as Windows does while the volume is mounted.
inline bool SetNtfsDirty(const std::filesystem::path& image) {
  return WithNtfs(image, [](ntfs_volume* volume) {
    return ntfs_volume_write_flags(volume, static_cast<le16>(volume->flags | VOLUME_IS_DIRTY)) == 0;
  });
}

// Overwrites the signature of both restart pages of $LogFile (at 0 and at 4096, the page size
// mkntfs uses), as a log that no NT can replay.
inline bool DamageNtfsLogFile(const std::filesystem::path& image) {
  return WithNtfs(image, [](ntfs_volume* volume) {
    ntfs_inode* log = ntfs_inode_open(volume, FILE_LogFile);
    if (log == nullptr) return false;
    ntfs_attr* data = ntfs_attr_open(log, AT_DATA, AT_UNNAMED, 0);
    bool ok = data != nullptr;
    for (const s64 page : {s64{0}, s64{4096}}) {
      ok = ok && ntfs_attr_pwrite(data, page, 4, "BAAD") == 4;
    }
    if (data != nullptr) ntfs_attr_close(data);
    return ntfs_inode_close(log) == 0 && ok;
  });
}

// Marks a file compressed in its standard information, as Windows' compress command does
// before it compresses the data.
inline bool SetNtfsFileFlag(const std::filesystem::path& image, const std::string& path, std::uint32_t flag) {
  return WithNtfs(image, [&](ntfs_volume* volume) {
    ntfs_inode* file = ntfs_pathname_to_inode(volume, nullptr, path.c_str());
    if (file == nullptr) return false;
    file->flags = static_cast<FILE_ATTR_FLAGS>(file->flags | flag);
    NInoSetDirty(file);
    NInoFileNameSetDirty(file);
    return ntfs_inode_close(file) == 0;
  });
}

}  // namespace halshift::testing::disk
