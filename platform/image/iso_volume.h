// Installation media in an ISO 9660 image, read-only, through libiso9660 (libcdio).
//
// May contain: the C++ standard library and libiso9660. Reads the one image file it opens and
// writes nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::image {

// The largest directory and the largest file the volume reads: a directory of the NT 4.0
// media is well under 256 KiB, its largest file a few MiB. Larger ones (which only a damaged
// image claims) are treated as unreadable rather than allocated.
inline constexpr std::uint64_t kMaxIsoDirectorySize = 16u << 20;
inline constexpr std::uint64_t kMaxIsoFileSize = 512u << 20;

class IsoVolume {
 public:
  // Opens an ISO 9660 image read-only; nothing, with error set to a one-line reason that does
  // not repeat the path, when it cannot be read or is not one.
  static std::unique_ptr<IsoVolume> Open(const std::filesystem::path& image, std::string& error);
  ~IsoVolume();
  IsoVolume(const IsoVolume&) = delete;
  IsoVolume& operator=(const IsoVolume&) = delete;

  struct Entry {
    std::string name;
    bool directory = false;
    std::uint64_t size = 0;
  };

  // Path components from the root ("I386", "HAL.DL_"), matched without regard to case and
  // without the ";1" version suffix (nor the "." that ends a name without an extension).
  // The names served are the ones libiso9660 gives: Rock Ridge names where the image has
  // them, else Joliet names where it has a Joliet directory tree, else the ISO 9660 names.
  // An empty span is the root directory. "." and ".." components, and symbolic links, are
  // never found.
  std::optional<Entry> Find(std::span<const std::string> components) const;
  // The entries of a directory ("." and ".." left out), names without ";1", in the image's
  // order, each name once (the first record of a name, as Find gives it); empty when it is
  // not a directory.
  std::vector<Entry> List(std::span<const std::string> components) const;
  // A whole file's bytes; nothing when it is not a file or cannot be read.
  std::optional<std::string> Read(std::span<const std::string> components) const;

 private:
  struct Record {
    Entry entry;
    std::string path;        // the path libiso9660 knows it by, "/" for the root
    std::uint32_t lsn = 0;   // its first logical block
  };
  struct Handle;

  IsoVolume(std::unique_ptr<Handle> handle, std::uint64_t imageSize);
  std::optional<Record> Lookup(std::span<const std::string> components) const;
  // The records of a directory, read once and then kept; nothing when it cannot be read.
  const std::vector<Record>* Directory(const Record& directory) const;

  std::unique_ptr<Handle> handle_;
  std::uint64_t imageSize_ = 0;
  mutable std::map<std::string, std::optional<std::vector<Record>>> directories_;
};

// A name as the volume compares it: without its ";N" version suffix and without the "." that
// ends a name without an extension ("README.;1" is "README").
std::string IsoDisplayName(std::string_view recorded);

}  // namespace halshift::image
