// Fuzzes the undo journal's reader: the input is a little-endian dword, the device's size in
// 512-byte units (at most 4 MiB), then the journal file's bytes, for a device of identity 0.
// Every range handed out lies within the device and within the input, every written sector
// within the device, the comparison with the device reads only within it, and playing the
// ranges back onto a device of that size succeeds; a lone range then matches what the device
// holds. The seed is a journal of one saved block written twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/block_device.h"
#include "platform/image/undo_journal.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  if (size < 4) return 0;
  const std::uint64_t units = (data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint64_t{data[3]} << 24)) % 8193;
  const std::span<const std::uint8_t> journal(data + 4, size - 4);
  const JournalContents contents = ParseJournal(journal, units * 512, 0);
  Check(contents.error.empty() || contents.ranges.empty());
  if (contents.ranges.empty()) return 0;
  MemoryDevice device(std::vector<std::uint8_t>(static_cast<std::size_t>(units * 512)));
  for (const auto& [sector, checksum] : contents.written) Check(sector < units);
  Check(CompareWithDisk(contents, device) != DiskSince::kUnreadable);
  for (const SavedRange& range : contents.ranges) {
    Check(!range.bytes.empty() && range.bytes.size() <= undo::kMaxSavedLength);
    Check(range.bytes.data() >= journal.data() && range.bytes.data() + range.bytes.size() <= journal.data() + journal.size());
    Check(device.Write(range.offset, range.bytes));
  }
  Check(contents.ranges.size() != 1 || CompareWithDisk(contents, device) == DiskSince::kAsLeft);
  return 0;
}
