// The bounded little-endian cursor.
#include "base/byte_cursor.h"

namespace halshift {

bool ByteCursor::Take(std::uint64_t count) {
  if (!ok_ || count > bytes_.size() - position_) {
    ok_ = false;
    return false;
  }
  return true;
}

std::uint8_t ByteCursor::U8() {
  if (!Take(1)) return 0;
  return bytes_[position_++];
}

std::uint16_t ByteCursor::U16() {
  if (!Take(2)) return 0;
  const auto value = static_cast<std::uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
  position_ += 2;
  return value;
}

std::uint32_t ByteCursor::U32() {
  if (!Take(4)) return 0;
  const std::uint32_t value =
      std::uint32_t{bytes_[position_]} | (std::uint32_t{bytes_[position_ + 1]} << 8) |
      (std::uint32_t{bytes_[position_ + 2]} << 16) | (std::uint32_t{bytes_[position_ + 3]} << 24);
  position_ += 4;
  return value;
}

void ByteCursor::Skip(std::uint64_t count) {
  if (Take(count)) position_ += static_cast<std::size_t>(count);
}

void ByteCursor::Seek(std::uint64_t position) {
  if (!ok_ || position > bytes_.size()) {
    ok_ = false;
    return;
  }
  position_ = static_cast<std::size_t>(position);
}

}  // namespace halshift
