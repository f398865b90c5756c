// Expansion of the compressed files found on Windows NT installation media.
//
// May contain: libmspack and the C++ standard library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halshift::image {

// The largest expansion accepted. No file of a system's media comes near it; a header that
// declares more is treated as damaged rather than allocated.
inline constexpr std::size_t kMaxExpandedBytes = std::size_t{64} * 1024 * 1024;

enum class ExpandStatus {
  kPlain,     // not a compressed file: the bytes are the file itself
  kExpanded,  // an SZDD (compress.exe) file or a single-file cabinet, expanded
  kDamaged,   // looks compressed but cannot be expanded whole
};

struct ExpandResult {
  ExpandStatus status = ExpandStatus::kPlain;
  std::string bytes;  // the file's contents: the input (plain), the expansion, or empty (damaged)
};

// Expands the contents of a media file held in memory. Never reads past contents and never
// returns part of an expansion.
//
// Contents that begin with the SZDD magic "SZDD\x88\xF0\x27\x33" or the cabinet magic "MSCF"
// are compressed; anything else is plain and comes back unchanged. A compressed file is
// expanded only when it expands whole to exactly the length its header declares, at most
// kMaxExpandedBytes; a cabinet must hold exactly one file, in no cabinet set. Otherwise
// (truncated, bad header or checksum, wrong length, no file or several) it is damaged.
// SZDD carries no checksum: a corruption that keeps the declared length goes unnoticed.
ExpandResult ExpandMediaFile(std::string_view contents);

}  // namespace halshift::image
