// The one reader of little-endian values from untrusted bytes: every parser of the program
// reads its structures through it, field by field, and never past the end of its span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halshift {

// Reads little-endian values from a span. The first read that would leave the span fails and
// so does every read after it (the error is sticky): a walk reads a whole structure and asks
// Ok() once, and a failed read gives 0 rather than stray bytes.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> bytes, std::size_t position = 0)
      : bytes_(bytes), position_(position), ok_(position <= bytes.size()) {}

  std::uint8_t U8();
  std::uint16_t U16();
  std::uint32_t U32();
  void Skip(std::uint64_t count);
  // Moves to an absolute position; a position past the end fails.
  void Seek(std::uint64_t position);

  bool Ok() const { return ok_; }
  std::size_t Position() const { return position_; }

 private:
  bool Take(std::uint64_t count);

  std::span<const std::uint8_t> bytes_;
  std::size_t position_;
  bool ok_;
};

}  // namespace halshift
