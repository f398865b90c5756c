// The bounded little-endian cursor: reads, and the sticky failure past the end.
#include "base/byte_cursor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace halshift {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ByteCursorTest, ReadsLittleEndianAndFailsStickily) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05};
  ByteCursor cursor(bytes);
  EXPECT_EQ(cursor.U16(), 0x0201);
  EXPECT_EQ(cursor.U16(), 0x0403);
  EXPECT_TRUE(cursor.Ok());
  EXPECT_EQ(cursor.U16(), 0);  // one byte left: fails, reads nothing
  EXPECT_FALSE(cursor.Ok());
  cursor.Seek(0);
  EXPECT_EQ(cursor.U8(), 0);  // still failed after moving back
  EXPECT_FALSE(cursor.Ok());

  ByteCursor seeker(bytes);
  seeker.Seek(1);
  EXPECT_EQ(seeker.U32(), 0x05040302u);
  seeker.Seek(6);
  EXPECT_FALSE(seeker.Ok());
  ByteCursor far(bytes);
  far.Seek(0xFFFFFFFFFFFFFFF0u);
  EXPECT_FALSE(far.Ok());
  ByteCursor skipper(bytes);
  skipper.Seek(4);
  skipper.Skip(0xFFFFFFFFFFFFFFFFu);
  EXPECT_FALSE(skipper.Ok());
}

}  // namespace
}  // namespace halshift
