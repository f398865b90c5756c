// A FAT16 file system on a block device, read and changed in place: the system or boot
// partition of a Windows NT 4.0 disk.
//
// May contain: C++ standard library, POSIX time (fat16_volume.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/fat_boot_sector.h"

namespace halshift::image {

namespace fat {
inline constexpr std::uint8_t kReadOnly = 0x01;
inline constexpr std::uint8_t kHidden = 0x02;
inline constexpr std::uint8_t kSystem = 0x04;
inline constexpr std::uint8_t kVolumeLabel = 0x08;
inline constexpr std::uint8_t kDirectory = 0x10;
inline constexpr std::uint8_t kArchive = 0x20;
// The attributes that SetAttributes changes; the others stay as they are.
inline constexpr std::uint8_t kChangeableAttributes = kReadOnly | kHidden | kSystem | kArchive;
}  // namespace fat

// One entry of a folder as listed.
struct FatEntry {
  std::string name;      // the short name as "NAME.EXT" (or "NAME"), as stored
  std::string longName;  // the long name in UTF-8 where a valid one goes with it, else empty
  std::uint8_t attributes = 0;
  std::uint32_t size = 0;
  std::uint16_t firstCluster = 0;
  bool IsDirectory() const { return (attributes & fat::kDirectory) != 0; }
};

// Whether a name is a valid short name in upper-cased form: one to eight characters, an
// optional dot and one to three more, none of them a lower-case letter, a blank, a control
// character or one of "*?<>|\"/\\:+,;=[].", and not "." or "..". halshift creates files only
// under such names where it can (NTLDR reads the short names); a name that is none (the log's
// folder "orvsystem") gets long-name entries before a short alias ("ORVSYS~1"), all written in
// one sector with the short entry.
bool IsValidShortName(std::string_view name);
// Whether halshift writes a name as a long name: printable ASCII without the characters that
// no Windows name holds, at most 255 of them, not ending in a blank or a dot.
bool IsValidLongName(std::string_view name);

// A mounted FAT16 volume. Paths are relative to the volume's root, their parts split at "\"
// or "/". A part matches an entry whose short name or long name it equals without regard to
// (ASCII) case; existing long-name entries are kept as they are, except that a rename or
// delete of their file removes them with it (a renamed file keeps only its new short name).
//
// Changes are ordered so that a cut at any write leaves a volume that a checker finds
// consistent apart from lost clusters: new data clusters first, then the FAT copies (each
// changed FAT sector of the first copy, then of the second), then the directory entry, and a
// replaced or deleted chain is freed last. After a failed write the volume takes no more
// changes (what its FAT holds on disk is then not known). Flush() is the durability call.
class Fat16Volume {
 public:
  // Nothing, with a one-line reason in error, when the device holds no FAT16 volume (a FAT12
  // or FAT32 volume, a damaged boot sector, a volume larger than the device) or the volume's
  // dirty flag is set: the Windows NT flag in the boot sector, or the "clean shutdown" bit 15
  // of FAT entry 1 cleared (Windows 95 and later keep it). Nothing is written then.
  static std::unique_ptr<Fat16Volume> Mount(BlockDevice& device, std::string& error);

  // Why the last call failed.
  const std::string& LastError() const { return error_; }
  const fat::Geometry& Geometry() const { return geometry_; }

  // The entries of a folder ("" is the root) without "." and "..", volume labels and
  // long-name entries; nothing when the path is not a folder or cannot be read.
  std::optional<std::vector<FatEntry>> List(std::string_view folder);
  std::optional<FatEntry> Find(std::string_view path);
  std::optional<std::vector<std::uint8_t>> ReadFile(std::string_view path);

  // Replaces the data of a file, or creates it (with the archive attribute) when its folder
  // has none of that name; a new name is a valid short name or a long name as above.
  // Refuses a folder.
  bool WriteFile(std::string_view path, std::span<const std::uint8_t> data);
  // Creates a folder (a valid short name, with its "." and ".." entries): its cluster first,
  // then the FAT, then its entry.
  bool CreateFolder(std::string_view path);
  // Renames a file or folder within its folder. An existing file of the new name is replaced:
  // its entry is rewritten to point at the renamed file's data, in the same sector write that
  // removes the old entry when both lie in one sector; otherwise the old entry is removed
  // first (the data is then lost clusters for a moment, never referenced twice), then the
  // target's rewritten. The replaced data is freed last.
  bool Rename(std::string_view path, std::string_view newName);
  // Deletes a file (not a folder).
  bool Delete(std::string_view path);
  // Sets the read-only, hidden, system and archive attributes; others are kept.
  bool SetAttributes(std::string_view path, std::uint8_t attributes);
  bool Flush();

 private:
  struct Folder {
    bool root = true;
    std::uint16_t cluster = 0;
  };
  struct Located {
    FatEntry entry;
    std::uint64_t offset = 0;                // of the short entry on the device
    std::vector<std::uint64_t> longOffsets;  // of its long-name entries
  };
  struct Listing {
    std::vector<Located> entries;
    std::vector<std::uint64_t> freeSlots;  // deleted or unused slots, in folder order
    std::optional<std::uint64_t> endSlot;  // the first 0x00 slot
    std::uint64_t lastSlot = 0;
  };

  Fat16Volume(BlockDevice& device, const fat::Geometry& geometry)
      : device_(device), geometry_(geometry) {}

  bool Fail(std::string reason);
  std::optional<std::vector<std::uint16_t>> Chain(std::uint16_t first);
  std::optional<std::vector<std::uint64_t>> FolderSectors(const Folder& folder);
  // A folder's listing, parsed once and kept until the volume next writes anything or changes
  // its FAT; a listing a caller holds stays as it was read.
  std::shared_ptr<const Listing> ReadFolder(const Folder& folder);
  // Every write to the device goes through here: the kept listings are let go first.
  bool WriteDevice(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  std::optional<Folder> FolderAt(std::string_view path);
  // The folder that holds the last part of path, that part, and the entry when it exists.
  bool Locate(std::string_view path, Folder& parent, std::string& name,
              std::optional<Located>& found);
  std::uint64_t ClusterOffset(std::uint16_t cluster) const;
  bool CanChange();
  void SetFat(std::uint16_t cluster, std::uint16_t value);
  bool CommitFat();
  std::optional<std::vector<std::uint16_t>> Allocate(std::size_t count);
  // Patches 32-byte entries of one sector and writes the sector once.
  bool PatchSector(std::uint64_t sector,
                   const std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>& patches);
  bool MarkDeleted(const std::vector<std::uint64_t>& offsets, std::uint64_t lastSector,
                   std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>& inLast);
  bool FreeChain(std::uint16_t first);
  // The first of count free slots in one sector of parent for a new name's entries, the folder
  // grown by a cluster when it has none; with clearAfter the slot after them, to be marked
  // unused so that the folder still ends.
  bool NewSlots(const Folder& parent, std::size_t count, std::uint64_t& slot,
                std::optional<std::uint64_t>& clearAfter);
  // Marks the unused slots of a listing before its free slot index as deleted, so that the
  // folder does not end before that slot; first sector first.
  bool EndBefore(const Listing& listing, std::size_t index);
  // The entries that name a new file of parent: its short entry alone for a valid 8.3 name,
  // else the long-name entries before a short alias; the short entry's name only is set.
  bool NameEntries(const Folder& parent, std::string_view name, std::vector<std::uint8_t>& entries);
  // Writes data to free clusters (each run of consecutive ones in one write), then their chain
  // to the FAT; the first cluster (0 for none).
  std::optional<std::uint16_t> WriteClusters(std::span<const std::uint8_t> data);
  // Writes 32-byte entries (all in one sector) from offset on, with clearAfter's end mark.
  bool PutEntry(std::span<const std::uint8_t> entry, std::uint64_t offset,
                std::optional<std::uint64_t> clearAfter);
  std::uint64_t SectorOf(std::uint64_t offset) const {
    return offset - offset % geometry_.bytesPerSector;
  }

  BlockDevice& device_;
  fat::Geometry geometry_;
  std::vector<std::uint8_t> fat_;  // the first FAT copy's sectors that hold cluster entries
  std::set<std::size_t> dirtyFatSectors_;
  std::map<std::pair<bool, std::uint16_t>, std::shared_ptr<const Listing>> listings_;
  bool broken_ = false;
  std::string error_;
};

}  // namespace halshift::image
