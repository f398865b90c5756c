// The stand-in PE files built for the tests (tests/fixtures/pe): small images with version
// resources that stand for the HALs and kernels of Windows NT 4.0 media and installations.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace halshift::testing
