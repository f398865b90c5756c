// An NTFS file system on a block device, read and changed in place through libntfs-3g: the
// system partition of a Windows NT 4.0 installation that setup converted to NTFS (version 1.2),
// or one of a later Windows (3.x).
//
// May contain: C++ standard library, libntfs-3g (ntfs_volume.cpp only).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/block_device.h"

namespace halshift::image {

namespace ntfs {
// The DOS attributes, which NTFS keeps as the low bits of its file attributes.
inline constexpr std::uint32_t kReadOnly = 0x01;
inline constexpr std::uint32_t kHidden = 0x02;
inline constexpr std::uint32_t kSystem = 0x04;
inline constexpr std::uint32_t kDirectory = 0x10;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kSparse = 0x200;
inline constexpr std::uint32_t kCompressed = 0x800;
inline constexpr std::uint32_t kEncrypted = 0x4000;
// The attributes that SetAttributes changes; the others stay as they are.
inline constexpr std::uint32_t kChangeableAttributes = kReadOnly | kHidden | kSystem | kArchive;
}  // namespace ntfs

// One entry of a folder as listed.
struct NtfsEntry {
  std::string name;  // the long (Win32 or POSIX) name in UTF-8, as stored
  std::uint32_t attributes = 0;  // NTFS file attributes, kDirectory added for a folder
  std::uint64_t size = 0;        // of the unnamed data stream; 0 for a folder
  std::string shortName;         // List only: the 8.3 name of an entry that has one apart
  bool IsDirectory() const { return (attributes & ntfs::kDirectory) != 0; }
};

struct NtfsDevice;  // the libntfs-3g device's private state (ntfs_volume.cpp)

// A mounted NTFS volume. Paths are relative to the volume's root, their parts split at "\" or
// "/". A part matches an entry whose long or 8.3 name it equals without regard to case (the
// volume's own upcase table); a file is created under the name given, in the case given, with
// no 8.3 name (NTLDR reads the system files from NTFS by their long names).
//
// Mount refuses, before it writes anything, a volume marked dirty, one whose $LogFile is not
// clean (Windows did not shut down properly: libntfs-3g is never asked to throw the log away),
// and a version other than 1.x or 3.x. ReadFile and WriteFile refuse a file whose data is
// compressed, encrypted or sparse (libntfs-3g cannot read compressed data on a 1.x volume,
// and NT's own files are never stored so); IsPlainFile answers the same question beforehand.
//
// libntfs-3g keeps no journal: each change is a short run of record writes in its own order
// (an MFT record and its index entries, the bitmaps), and a cut between them leaves $MFT and
// $MFTMirr apart or an index entry without its record. Each change that succeeds therefore
// ends with a commit: the inodes libntfs-3g holds open are written, then the device flushed.
// Over an UndoJournalDevice (undo_journal.h) each commit ends a group, so that the rw mount
// and each WriteFile, CreateFolder, Rename, Delete and SetAttributes are all or nothing on the disk; after a
// cut, the journal's playback at the next open leaves the volume as before the change. A
// failed change leaves its group open, and the volume takes no more changes. Flush() commits
// too (the durability call).
class NtfsVolume {
 public:
  // Nothing, with a one-line reason in error, when the device holds no NTFS volume that can
  // be changed safely. Nothing is written then. writable false mounts for reading only.
  static std::unique_ptr<NtfsVolume> Mount(BlockDevice& device, std::string& error,
                                           bool writable = true);
  ~NtfsVolume();
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  const std::string& LastError() const { return error_; }
  // The version from $Volume's information attribute, as 1 and 2 for NT 4.0's 1.2.
  int MajorVersion() const;
  int MinorVersion() const;

  // The entries of a folder ("" is the root) without "." and "..", the 8.3 names of entries
  // that have a long one and the volume's own metadata files; nothing when the path is not a
  // folder or cannot be read.
  std::optional<std::vector<NtfsEntry>> List(std::string_view folder);
  std::optional<NtfsEntry> Find(std::string_view path);
  // Whether path is a file whose data halshift can read and replace; reason says why not.
  bool IsPlainFile(std::string_view path, std::string& reason);
  std::optional<std::vector<std::uint8_t>> ReadFile(std::string_view path);
  // Replaces the data of a file, or creates it (with the archive attribute) when its folder
  // has none of that name. Refuses a folder and a file that is not plain.
  bool WriteFile(std::string_view path, std::span<const std::uint8_t> data);
  // Creates a folder under the name given; an existing name is refused.
  bool CreateFolder(std::string_view path);
  // Renames a file within its folder. An existing file of the new name is replaced: its name
  // is removed first, then the renamed file gets the new name, then loses the old one.
  bool Rename(std::string_view path, std::string_view newName);
  // Deletes a file (not a folder).
  bool Delete(std::string_view path);
  // Sets the read-only, hidden, system and archive attributes; others are kept.
  bool SetAttributes(std::string_view path, std::uint32_t attributes);
  bool Flush();

 private:
  struct Name;
  struct Located;
  NtfsVolume() = default;

  bool Fail(std::string reason);
  bool CanChange();
  // Writes the inodes libntfs-3g holds open and flushes the device; false marks the volume
  // broken.
  bool Commit();
  std::optional<std::vector<Name>> ReadFolder(std::uint64_t folder);
  std::optional<std::uint64_t> FolderAt(std::string_view path);
  // The folder that holds the last part of path, that part, and the entry when it exists.
  bool Locate(std::string_view path, std::uint64_t& folder, std::string& name,
              std::optional<Located>& found);
  bool Plain(std::uint64_t file, std::string_view path, std::string& reason);

  std::unique_ptr<NtfsDevice> device_;
  void* volume_ = nullptr;  // ntfs_volume*
  bool writable_ = false;
  bool broken_ = false;
  std::string error_;
};

}  // namespace halshift::image
