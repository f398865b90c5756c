// Fuzzes the REGEDIT4 reader over arbitrary bytes: a file that parses is written back byte for
// byte, and a value set in it reads back after a further parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/image/registry_file.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using halshift::image::RegistryFile;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto file = RegistryFile::Parse(bytes, error);
  if (!file) {
    Check(!error.empty());
    return 0;
  }
  Check(file->Text() == bytes);

  // Set a value whose data only hex can hold into the first local-machine key, or a new one.
  const std::string value("line\r\nwith zero\0", 16);
  file->Set("Software\\Fuzz", "Value", 1, value);
  file->Set("Software\\Fuzz", "Dword", 4, std::string("\x01\x02\x03\x04", 4));
  auto again = RegistryFile::Parse(file->Text(), error);
  Check(again.has_value());
  const auto* stored = again->Find("Software\\Fuzz", "value");
  Check(stored != nullptr && stored->type == 1 && stored->data == value);
  const auto* dword = again->Find("software\\fuzz", "DWORD");
  Check(dword != nullptr && dword->type == 4 && dword->data == std::string("\x01\x02\x03\x04", 4));
  Check(again->Keys().size() >= file->Keys().size());
  return 0;
}
