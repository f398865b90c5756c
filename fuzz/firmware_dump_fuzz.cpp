// Fuzzes the reading of a firmware dump, and builds the firmware area of a machine described
// by the first bytes: a dump that is taken is the area's size and holds a table; a built area
// is always taken back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "fuzz/check.h"
#include "platform/image/firmware_area.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  const std::span<const std::uint8_t> file(data, size);
  std::string error;
  const auto area = ReadFirmwareDump(file, error);
  if (area) {
    Check(area->size() == kFirmwareAreaSize);
    Check(size == kFirmwareAreaSize || size >= kFirmwareAreaBase + kFirmwareAreaSize);
  } else {
    Check(!error.empty() && error.find('\n') == std::string::npos);
  }
  // Short inputs are small dumps; the fuzzer also describes a machine with their first bytes.
  if (size >= 2) {
    MachineDescription machine;
    machine.processors = data[0];
    machine.apic = (data[1] & 1) != 0;
    const auto built = BuildFirmwareArea(machine);
    Check(built.size() == kFirmwareAreaSize);
    const auto back = ReadFirmwareDump(built, error);
    Check(back.has_value() && *back == built);
  }
  return 0;
}
