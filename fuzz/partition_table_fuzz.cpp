// Fuzzes the master boot record and extended boot record reader over the input as a disk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/block_device.h"
#include "platform/image/partition_table.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  MemoryDevice disk(std::vector<std::uint8_t>(data, data + size), false);
  const DiskLayout layout = DetectLayout(disk);
  std::string error;
  const auto table = ReadPartitionTable(disk, error);
  if (size < kDiskSectorLength) Check(!table && layout == DiskLayout::kUnknown);
  if (!table) return 0;
  Check(table->partitions.size() <= 4 + kMaxLogicalDrives);
  bool seenLogical = false;
  for (std::size_t i = 0; i < table->partitions.size(); ++i) {
    const Partition& p = table->partitions[i];
    // Numbered from 1 in order, the primaries before the logical drives, no container or
    // empty entry among them.
    Check(p.arcNumber == static_cast<int>(i) + 1);
    Check(!(seenLogical && !p.logical));
    seenLogical = seenLogical || p.logical;
    Check(p.type != kPartitionEmpty && p.type != kPartitionExtended && p.type != kPartitionExtendedLba);
    if (p.withinDisk) Check(RangeWithin(p.Offset(), p.Length(), disk.Size()) && p.sectorCount > 0);
    PartitionDevice view(disk, p.Offset(), p.Length());
    Check(view.Size() <= disk.Size());
  }
  return 0;
}
