// A drive served from a volume instead of a host folder: an ISO 9660 CD image, read-only, or a
// file system inside a disk image (FAT16, NTFS), read and changed in place. The image's file
// operations (files.cpp) do everything a drive's files need through this seam, so that a file
// system plugs in with a small adapter of its own library's calls.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::image {

// The DOS attributes that a volume reports and sets: the same bits as Windows' own
// FILE_ATTRIBUTE_* values (FAT keeps them in its entries, NTFS as the low bits of its file
// attributes).
namespace volume {
inline constexpr std::uint32_t kReadOnly = 0x01;
inline constexpr std::uint32_t kHidden = 0x02;
inline constexpr std::uint32_t kSystem = 0x04;
inline constexpr std::uint32_t kDirectory = 0x10;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kChangeable = kReadOnly | kHidden | kSystem | kArchive;
}  // namespace volume

// The contents of a volume, by path components from its root ("I386", "HAL.DLL"; none for the
// root), matched without regard to case (on FAT against the short and the long name).
//
// A read-only volume implements Find, List and Read; every change then fails, as on a CD. A
// writable one answers Writable() and implements the changes. Each change is whole or fails
// (the adapter reports why through LastError()); Flush is the durability call: what was
// changed before it survives a power cut after it. A change that fails may leave the volume
// refusing every further one (a FAT16 volume after a failed disk write).
class Volume {
 public:
  virtual ~Volume() = default;
  struct Entry {
    std::string name;  // as the volume spells it: the long name where there is one
    bool directory = false;
    std::uint64_t size = 0;
    // volume:: bits; a read-only volume reports kReadOnly for everything.
    std::uint32_t attributes = volume::kReadOnly;
    // The 8.3 name where the volume keeps one apart from name (FAT's short name of a file with
    // a long name); empty otherwise. FindFirstFile patterns match either name.
    std::string shortName;
  };
  // The entry a path names; nothing when there is none. The root is a directory.
  virtual std::optional<Entry> Find(std::span<const std::string> components) const = 0;
  // The entries of a directory; empty when the path names no directory.
  virtual std::vector<Entry> List(std::span<const std::string> components) const = 0;
  // The bytes of a file; nothing when the path names no file or it cannot be read.
  virtual std::optional<std::string> Read(std::span<const std::string> components) const = 0;

  // Whether the volume takes changes at all.
  virtual bool Writable() const { return false; }
  // Whether a file or folder may be created under this name (FAT16: a valid upper-case 8.3
  // name, since halshift writes no long-name entries).
  virtual bool CanCreate(std::string_view /*name*/) const { return Writable(); }
  // Replaces a file's data whole, or creates the file (with the archive attribute) when its
  // folder has none of that name; a folder is refused.
  virtual bool Write(std::span<const std::string> /*components*/, std::string_view /*bytes*/) {
    return false;
  }
  // Creates a folder; an existing name is refused.
  virtual bool CreateFolder(std::span<const std::string> /*components*/) { return false; }
  // Renames a file within its folder; an existing file of the new name is replaced, so that the
  // name names the old or the new file at every moment.
  virtual bool Rename(std::span<const std::string> /*components*/, std::string_view /*newName*/) {
    return false;
  }
  // Deletes a file (not a folder).
  virtual bool Delete(std::span<const std::string> /*components*/) { return false; }
  // Sets the volume::kChangeable attributes; the others stay.
  virtual bool SetAttributes(std::span<const std::string> /*components*/,
                             std::uint32_t /*attributes*/) {
    return false;
  }
  // Makes every change before it durable: the file system's own state, then the disk's flush.
  virtual bool Flush() { return true; }
  // Why the last change failed; empty when the volume does not say.
  virtual std::string LastError() const { return {}; }
};

// The path of components as a volume library takes it ("I386\HAL.DLL").
inline std::string JoinComponents(std::span<const std::string> components) {
  std::string path;
  for (const std::string& component : components) {
    if (!path.empty()) path += '\\';
    path += component;
  }
  return path;
}

// The reads of a volume served by a file system library whose Find, List and ReadFile take a
// joined path (FAT16, NTFS); entryOf turns the library's entry into a Volume::Entry.
namespace volume {

template <typename Library, typename EntryOf>
std::optional<Volume::Entry> FindIn(Library& library, std::span<const std::string> components,
                                    EntryOf entryOf) {
  if (components.empty()) {
    Volume::Entry root;
    root.directory = true;
    root.attributes = kDirectory;
    return root;
  }
  const auto found = library.Find(JoinComponents(components));
  if (!found) return std::nullopt;
  return entryOf(*found);
}

template <typename Library, typename EntryOf>
std::vector<Volume::Entry> ListIn(Library& library, std::span<const std::string> components,
                                  EntryOf entryOf) {
  std::vector<Volume::Entry> entries;
  const auto listed = library.List(JoinComponents(components));
  if (!listed) return entries;
  for (const auto& entry : *listed) entries.push_back(entryOf(entry));
  return entries;
}

template <typename Library>
std::optional<std::string> ReadIn(Library& library, std::span<const std::string> components) {
  const auto bytes = library.ReadFile(JoinComponents(components));
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

}  // namespace volume

}  // namespace halshift::image
