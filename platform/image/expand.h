// Expansion of the compressed files found on Windows NT installation media.
//
// May contain: libmspack and the C++ standard library.
#pragma once

#include <string>
#include <string_view>

namespace halshift::image {

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
ExpandResult ExpandMediaFile(std::string_view contents);

}  // namespace halshift::image
