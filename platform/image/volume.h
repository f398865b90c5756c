// A drive served from a volume image (an ISO 9660 CD image) instead of a host folder: the seam
// through which the image's file operations read such a drive. Every change on it fails, as on
// a CD.
//
// May contain: C++ standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halshift::image {

// The contents of a read-only volume, by path components from its root ("I386", "HAL.DLL";
// none for the root), matched without regard to case.
class Volume {
 public:
  virtual ~Volume() = default;
  struct Entry {
    std::string name;  // as the volume spells it
    bool directory = false;
    std::uint64_t size = 0;
  };
  // The entry a path names; nothing when there is none. The root is a directory.
  virtual std::optional<Entry> Find(std::span<const std::string> components) const = 0;
  // The entries of a directory; empty when the path names no directory.
  virtual std::vector<Entry> List(std::span<const std::string> components) const = 0;
  // The bytes of a file; nothing when the path names no file or it cannot be read.
  virtual std::optional<std::string> Read(std::span<const std::string> components) const = 0;
};

}  // namespace halshift::image
