// The stand-in PE files built for the tests (tests/fixtures/pe): small images with version
// resources that stand for the HALs and kernels of Windows NT 4.0 media and installations.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace halshift::testing {

// The bytes of a stand-in, by its path under the fixture directory ("sp/ntoskrnl.exe"); fails
// the current test when it is not there.
inline std::string StandinBytes(const std::string& relative) {
  const std::string directory = HALSHIFT_PE_FIXTURES;
  if (directory.empty()) {
    ADD_FAILURE() << "HALSHIFT_PE_FIXTURES is empty: the stand-in PE files were not built "
                     "(mingw-w64, its windres or python3 was missing at configuration)";
    return {};
  }
  std::ifstream in(directory + "/" + relative, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (bytes.str().empty()) ADD_FAILURE() << "no stand-in " << relative << " in " << directory;
  return bytes.str();
}

// A whole i386 image without a version resource, followed by tag: bytes after the last
// section (an overlay) are no part of the image, so every tag gives another file that the
// media check takes as it takes the stand-in. For tests that tell media files apart by their
// contents.
inline std::string TaggedImage(std::string_view tag) {
  return StandinBytes("misc/noversion.dll") + std::string(tag);
}

// The image with its COFF header's Machine field set to machine (0x184 for the Alpha), as a
// build for another processor carries it; everything else, the version resource included,
// stays. Unchanged when the bytes hold no PE header.
inline std::string WithMachine(std::string image, std::uint16_t machine) {
  constexpr std::size_t kNewHeaderField = 0x3C;
  if (image.size() < kNewHeaderField + 4) return image;
  std::uint32_t peHeader = 0;
  for (int i = 3; i >= 0; --i) peHeader = (peHeader << 8) | static_cast<std::uint8_t>(image[kNewHeaderField + i]);
  const std::size_t field = std::size_t{peHeader} + 4;  // after "PE\0\0"
  if (image.size() < field + 2 || image.compare(peHeader, 4, std::string("PE\0\0", 4)) != 0) {
    ADD_FAILURE() << "no PE header to give another machine";
    return image;
  }
  image[field] = static_cast<char>(machine & 0xFF);
  image[field + 1] = static_cast<char>(machine >> 8);
  return image;
}

}  // namespace halshift::testing
