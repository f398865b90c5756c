// Fuzzes the intent record reader over arbitrary bytes: whatever reads as a record writes back
// to the same text, so that finishing a change never acts on a record it misread.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hal/intent_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto record = halshift::hal::ParseIntentRecord(text);
  if (!record) return 0;
  const std::string written = halshift::hal::FormatIntentRecord(*record);
  if (halshift::hal::ParseIntentRecord(written) != record) std::abort();
  return 0;
}
