// Fuzzes the "!SIT" table over arbitrary BIOS-area bytes: the signature scan, record lookups
// through the reader's cache, the processor slot count and the APIC flag.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/check.h"
#include "inspect/firmware.h"
#include "tests/support/region_memory.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::inspect;
  // A copy of exactly the input's size, so that any read past it is caught.
  const std::vector<std::uint8_t> image(data, data + size);

  if (const auto first = firmware::FindSitTable(image)) {
    Check(*first >= firmware::kSitSignatureLength && *first <= image.size());
    for (int type : {13, 192, 1, size > 0 ? image[0] : 7}) {
      const auto record = firmware::FindSitRecord(image, *first, static_cast<std::uint8_t>(type));
      if (!record) continue;
      Check(type != 0 && *record >= *first && *record < image.size() && image[*record] == type);
      const std::int32_t slots = firmware::CountSitProcessorSlots(image, *record);
      Check(slots >= 0 && slots <= 8);
      firmware::ReadSitApicFlag(image, *record);
    }
  }

  // The reader over the same bytes at 0xF0000, cut or padded to 64 KiB, agrees with the
  // functions applied to the 65,535 bytes it reads.
  std::vector<std::uint8_t> area(0x10000, 0);
  std::copy_n(image.begin(), std::min(image.size(), area.size()), area.begin());
  const std::vector<std::uint8_t> read(area.begin(), area.begin() + firmware::kSitImageLength);
  halshift::testing::RegionMemory memory;
  memory.AddRegion(firmware::kBiosAreaAddress, area);
  SitTableReader reader(memory);
  const auto first = firmware::FindSitTable(read);
  Check(reader.Found() == first.has_value());
  for (int round = 0; round < 2; ++round) {  // the second round answers from the cache
    const auto processors = reader.FindRecord(13);
    const auto apic = reader.FindRecord(192);
    Check(processors == (first ? firmware::FindSitRecord(read, *first, 13) : std::nullopt));
    Check(apic == (first ? firmware::FindSitRecord(read, *first, 192) : std::nullopt));
    Check(reader.CountProcessors() == (processors ? firmware::CountSitProcessorSlots(read, *processors) : 0));
    Check(reader.ApicPresent() == (apic && firmware::ReadSitApicFlag(read, *apic)));
  }
  const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
  Check(info.installedProcessors >= 0);
  if (first) Check(info.installedProcessors == reader.CountProcessors());
  return 0;
}
