// Fuzzes the MP floating pointer search. The input is the segment word at 0x40E, then the
// extended BIOS data area's first KiB, then the BIOS area; a part the input does not reach
// cannot be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/check.h"
#include "inspect/firmware.h"
#include "platform/platform.h"

using halshift::fuzzing::Check;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Part(const std::uint8_t* data, std::size_t size, std::size_t from, std::size_t length) {
  if (from >= size) return {};
  return Bytes(data + from, data + from + std::min(length, size - from));
}

class FuzzMemory : public halshift::platform::PhysicalMemory {
 public:
  FuzzMemory(const Bytes& word, const Bytes& ebda, const Bytes& bios) : word_(word), ebda_(ebda), bios_(bios) {}
  bool ReadPhysical(std::uint32_t address, std::span<std::uint8_t> destination) override {
    using namespace halshift::inspect::firmware;
    const Bytes* source = nullptr;
    if (address == kEbdaSegmentAddress && destination.size() == 2) source = &word_;
    else if (destination.size() == kEbdaSearchLength) source = &ebda_;
    else if (address == kBiosAreaAddress && destination.size() == kBiosSearchLength) source = &bios_;
    if (source == nullptr || source->size() < destination.size()) return false;
    std::copy_n(source->begin(), destination.size(), destination.begin());
    ++reads;
    return true;
  }
  void Lock(std::span<std::uint8_t>) override {}
  void Unlock(std::span<std::uint8_t>) override {}
  int reads = 0;

 private:
  const Bytes& word_;
  const Bytes& ebda_;
  const Bytes& bios_;
};

// The search as the definition reads, one paragraph after another.
bool PointerByDefinition(const Bytes& area) {
  using namespace halshift::inspect::firmware;
  for (std::size_t offset = 0; offset + kMpPointerLength <= area.size(); offset += kMpPointerStep) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < kMpPointerLength; ++i) sum += area[offset + i];
    if (area[offset] == '_' && area[offset + 1] == 'M' && area[offset + 2] == 'P' &&
        area[offset + 3] == '_' && (sum & 0xFF) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::inspect;
  // The whole input as one area, in a copy of exactly its size, so that any read past it
  // is caught.
  const Bytes whole(data, data + size);
  Check(firmware::ContainsMpFloatingPointer(whole) == PointerByDefinition(whole));

  const Bytes word = Part(data, size, 0, 2);
  const Bytes ebda = Part(data, size, 2, firmware::kEbdaSearchLength);
  Bytes bios = Part(data, size, 2 + firmware::kEbdaSearchLength, firmware::kBiosSearchLength);
  // A short BIOS part is padded, so that the search always has an area to examine there.
  if (!bios.empty()) bios.resize(firmware::kBiosSearchLength, 0);
  FuzzMemory memory(word, ebda, bios);
  const bool found = FindMpFloatingPointer(memory);
  const bool inEbda = ebda.size() == firmware::kEbdaSearchLength && firmware::ContainsMpFloatingPointer(ebda);
  Check(found == (inEbda || (!bios.empty() && firmware::ContainsMpFloatingPointer(bios))));
  // The BIOS area is read only when the first KiB gave nothing.
  const int expectedReads = (word.size() == 2 ? 1 : 0) +
                            (ebda.size() == firmware::kEbdaSearchLength ? 1 : 0) +
                            (!inEbda && !bios.empty() ? 1 : 0);
  Check(memory.reads == expectedReads);
  return 0;
}
