// Fuzzes the MP configuration: the base table's checks and entry walk, and the reader that
// follows the floating pointer to it. The input is feature byte 1 of the pointer, then the
// memory at the table's address; a read past the input fails.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "fuzz/check.h"
#include "inspect/firmware.h"
#include "platform/platform.h"

using halshift::fuzzing::Check;

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace halshift::inspect;

constexpr std::uint32_t kTableAddress = 0x000E1230;

// Serves a BIOS area that holds the pointer, and the table memory at kTableAddress.
class FuzzMemory : public halshift::platform::PhysicalMemory {
 public:
  FuzzMemory(const Bytes& bios, const Bytes& table) : bios_(bios), table_(table) {}
  bool ReadPhysical(std::uint32_t address, std::span<std::uint8_t> destination) override {
    const Bytes* source = address == firmware::kBiosAreaAddress ? &bios_
                          : address == kTableAddress            ? &table_
                                                                : nullptr;
    if (source == nullptr || destination.size() > source->size()) return false;
    std::copy_n(source->begin(), destination.size(), destination.begin());
    return true;
  }
  void Lock(std::span<std::uint8_t>) override {}
  void Unlock(std::span<std::uint8_t>) override {}

 private:
  const Bytes& bios_;
  const Bytes& table_;
};

std::uint16_t Le16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// The count as the format reads, one entry after another.
std::optional<std::int32_t> CountByDefinition(const Bytes& table) {
  if (table.size() < 44 || table[0] != 'P' || table[1] != 'C' || table[2] != 'M' || table[3] != 'P') {
    return std::nullopt;
  }
  if (Le16(table, 4) < 44 || Le16(table, 4) != table.size()) return std::nullopt;
  unsigned sum = 0;
  for (std::uint8_t b : table) sum += b;
  if ((sum & 0xFF) != 0) return std::nullopt;
  std::int32_t enabled = 0;
  std::size_t at = 44;
  for (unsigned entry = 0; entry < Le16(table, 0x22); ++entry) {
    if (at >= table.size() || table[at] > 4) break;
    const std::size_t length = table[at] == 0 ? 20 : 8;
    if (at + length > table.size()) break;
    if (table[at] == 0 && (table[at + 3] & 1) != 0) ++enabled;
    at += length;
  }
  return enabled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t feature1 = data[0];
  // A copy of exactly its size, so that any read past it is caught.
  const Bytes memoryAtTable(data + 1, data + size);
  Check(firmware::CountMpProcessors(memoryAtTable) == CountByDefinition(memoryAtTable));

  Bytes pointer(firmware::kMpPointerLength, 0);
  pointer[0] = '_';
  pointer[1] = 'M';
  pointer[2] = 'P';
  pointer[3] = '_';
  for (int i = 0; i < 4; ++i) pointer[4 + i] = static_cast<std::uint8_t>(kTableAddress >> (8 * i));
  pointer[8] = 1;
  pointer[9] = 4;
  pointer[firmware::kMpPointerFeature1] = feature1;
  unsigned sum = 0;
  for (std::uint8_t b : pointer) sum += b;
  pointer[10] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
  Bytes bios(firmware::kBiosSearchLength, 0);
  std::copy(pointer.begin(), pointer.end(), bios.begin() + 0x5BA0);

  FuzzMemory memory(bios, memoryAtTable);
  const MpConfiguration mp = ReadMpConfiguration(memory);
  Check(mp.pointerFound);
  std::optional<std::int32_t> expected;
  if (feature1 >= 1 && feature1 <= 7) {
    expected = 2;
  } else if (feature1 == 0 && memoryAtTable.size() >= 44) {
    const std::size_t length = Le16(memoryAtTable, 4);
    if (length <= memoryAtTable.size()) {
      const auto counted = CountByDefinition(Bytes(memoryAtTable.begin(),
                                                   memoryAtTable.begin() + static_cast<std::ptrdiff_t>(length)));
      if (counted && *counted > 0) expected = counted;
    }
  }
  Check(mp.processors == expected);
  return 0;
}
