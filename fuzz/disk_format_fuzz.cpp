// Fuzzes the disk format detection over the input as a disk file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/block_device.h"
#include "platform/image/disk_format.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  MemoryDevice file(std::vector<std::uint8_t>(data, data + size), false);
  const DiskFormat format = DetectDiskFormat(file);
  Check(!NameOf(format).empty());
  if (size < 512) Check(format == DiskFormat::kUnknown);
  // A container is never taken for raw data: its signature decides first.
  if (size >= 8 && data[0] == 'Q' && data[1] == 'F' && data[2] == 'I' && data[3] == 0xFB) Check(!IsRaw(format));
  if (size >= 8 && data[0] == 'K' && data[1] == 'D' && data[2] == 'M' && data[3] == 'V') Check(!IsRaw(format));
  Check(RawDataSize(file, format) <= file.Size());
  return 0;
}
