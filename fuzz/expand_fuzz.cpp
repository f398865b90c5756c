// Fuzzes the media-file expansion over arbitrary bytes: the SZDD and cabinet paths through
// libmspack, with the memory-backed file system beneath them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/check.h"
#include "platform/image/expand.h"

using halshift::fuzzing::Check;

namespace {

constexpr std::string_view kSzddMagic{"SZDD\x88\xF0\x27\x33", 8};
constexpr std::string_view kCabinetMagic{"MSCF", 4};
constexpr std::size_t kSzddLengthOffset = 0x0A;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool compressed = bytes.starts_with(kSzddMagic) || bytes.starts_with(kCabinetMagic);

  const ExpandResult result = ExpandMediaFile(bytes);
  switch (result.status) {
    case ExpandStatus::kPlain:
      Check(!compressed);
      Check(result.bytes == bytes);
      break;
    case ExpandStatus::kDamaged:
      Check(compressed);
      Check(result.bytes.empty());
      break;
    case ExpandStatus::kExpanded:
      Check(compressed);
      Check(result.bytes.size() <= kMaxExpandedBytes);
      if (bytes.starts_with(kSzddMagic)) {
        // An SZDD expansion is exactly as long as its header declares.
        Check(bytes.size() >= kSzddLengthOffset + 4);
        std::uint32_t declared = 0;
        for (int i = 3; i >= 0; --i) {
          declared = declared << 8 | data[kSzddLengthOffset + static_cast<std::size_t>(i)];
        }
        Check(result.bytes.size() == declared);
      }
      break;
  }

  // No state survives a call.
  const ExpandResult again = ExpandMediaFile(bytes);
  Check(again.status == result.status && again.bytes == result.bytes);
  return 0;
}
