// Fuzzes the SMBIOS entry-point scan and structure walk. The input is a 16-bit little-endian
// image length, that many bytes of BIOS-area image, and the structure table after them.
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

// Serves the image, padded to 64 KiB, at 0xF0000 and the table at any other address; a read
// longer than the table fails.
class FuzzMemory : public halshift::platform::PhysicalMemory {
 public:
  FuzzMemory(const Bytes& area, const Bytes& table) : area_(area), table_(table) {}
  bool ReadPhysical(std::uint32_t address, std::span<std::uint8_t> destination) override {
    const Bytes& source = address == halshift::inspect::firmware::kBiosAreaAddress ? area_ : table_;
    if (destination.size() > source.size()) return false;
    std::copy_n(source.begin(), destination.size(), destination.begin());
    return true;
  }
  void Lock(std::span<std::uint8_t>) override {}
  void Unlock(std::span<std::uint8_t>) override {}

 private:
  const Bytes& area_;
  const Bytes& table_;
};

// The entry-point scan as the definition reads, one paragraph after another.
std::optional<std::size_t> EntryPointByDefinition(const Bytes& image) {
  using namespace halshift::inspect::firmware;
  for (std::size_t offset = 0; offset + kSmbiosAnchorLength <= image.size();
       offset += kSmbiosAnchorStep) {
    const std::size_t left = image.size() - offset;
    if (image[offset] != '_' || image[offset + 1] != 'S' || image[offset + 2] != 'M' ||
        image[offset + 3] != '_' || left < kSmbiosEntryPointCopyLength) {
      continue;
    }
    const std::size_t checksumLength = image[offset + kSmbiosEntryPointLength];
    if (checksumLength > left) continue;
    unsigned sum = 0;
    for (std::size_t i = 0; i < checksumLength; ++i) sum += image[offset + i];
    const unsigned version =
        image[offset + kSmbiosMajorVersion] * 256u + image[offset + kSmbiosMinorVersion];
    if ((sum & 0xFF) == 0 && version >= kSmbiosMinimumVersion) return offset;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::inspect;
  if (size < 2) return 0;
  const std::size_t imageLength = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
  // Copies of exactly their sizes, so that any read past them is caught.
  const Bytes image(data + 2, data + 2 + imageLength);
  const Bytes table(data + 2 + imageLength, data + size);

  Check(firmware::FindSmbiosEntryPoint(image) == EntryPointByDefinition(image));
  if (const auto entryPoint = firmware::FindSmbiosEntryPoint(image)) {
    Check(*entryPoint % firmware::kSmbiosAnchorStep == 0);
    Check(*entryPoint + firmware::kSmbiosEntryPointCopyLength <= image.size());
    Check(*entryPoint + image[*entryPoint + firmware::kSmbiosEntryPointLength] <= image.size());
  }
  // Any count of structures over the table: a longer walk never counts fewer.
  const std::uint16_t declared = static_cast<std::uint16_t>(size > 3 ? data[2] | (data[3] << 8) : 0);
  const std::int32_t some = firmware::CountSmbiosProcessors(table, declared);
  const std::int32_t all = firmware::CountSmbiosProcessors(table, 0xFFFF);
  Check(some >= 0 && some <= declared && some <= all);
  // The cores come from the same populated sockets, at most 255 each.
  const std::int32_t cores = firmware::CountSmbiosEnabledCores(table, declared);
  Check(cores >= 0 && cores <= 255 * some);
  // Every structure visited moves the walk on by two bytes at least.
  Check(static_cast<std::size_t>(all) * 2 <= table.size());

  // The reader over the same bytes agrees with the functions over what it read.
  Bytes area(firmware::kSmbiosImageLength, 0);
  std::copy_n(image.begin(), std::min(image.size(), area.size()), area.begin());
  FuzzMemory memory(area, table);
  const SmbiosTableReader reader(memory);
  const auto entryPoint = firmware::FindSmbiosEntryPoint(area);
  Check(reader.Available() == entryPoint.has_value());
  if (entryPoint) {
    std::array<std::uint8_t, firmware::kSmbiosEntryPointCopyLength> copy{};
    std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(*entryPoint), copy.size(), copy.begin());
    const auto fields = firmware::ReadSmbiosStructureTable(copy);
    // A table that the entry point places at the BIOS area itself is read from there.
    const Bytes& served = fields.address == firmware::kBiosAreaAddress ? area : table;
    const std::int32_t expected =
        served.size() >= fields.length
            ? firmware::CountSmbiosProcessors(std::span(served).first(fields.length),
                                              fields.structureCount)
            : 0;
    Check(reader.CountProcessors() == expected);
  }
  return 0;
}
