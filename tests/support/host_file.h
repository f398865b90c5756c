// Reading a whole host file in the tests, in one piece of the file's size: GCC 12 at -O3 sees
// null stream buffers in an istreambuf_iterator copy (a false -Wnull-dereference).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace halshift::testing {

// The file's bytes; empty when it cannot be read.
inline std::string ReadHostFile(const std::filesystem::path& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return {};
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount() < 0 ? 0 : in.gcount()));
  return bytes;
}

}  // namespace halshift::testing
