// The undo journal: groups played back after a cut, journals cut short or belonging to another
// disk, and the device's refusals after a failure.
#include <gtest/gtest.h>

#include "platform/image/machine_image.h"
#include "platform/image/undo_journal.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

// A device size that is no multiple of the 4 KiB block, so that the last block is short.
constexpr std::uint64_t kSize = 5 * undo::kBlockSize + 1000;

std::vector<std::uint8_t> Pattern(std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(kSize);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

class UndoJournalTest : public ::testing::Test {
 protected:
  std::unique_ptr<UndoJournalDevice> Open(BlockDevice& device, bool writable = true, FaultInjector* faults = nullptr) {
    error_.clear();
    return UndoJournalDevice::Open(device, journal_, 7, writable, faults, error_);
  }

  // Journals, then leaves unflushed, writes that cross blocks, repeat one another and reach the
  // short last block; the journal file's bytes.
  std::vector<std::uint8_t> InterruptedGroup(MemoryDevice& device) {
    auto journaled = Open(device);
    EXPECT_TRUE(journaled) << error_;
    const std::vector<std::uint8_t> ones(5000, 1), twos(300, 2);
    EXPECT_TRUE(journaled->Write(100, ones));
    EXPECT_TRUE(journaled->Write(4000, twos));
    EXPECT_TRUE(journaled->Write(kSize - 10, std::vector<std::uint8_t>(10, 3)));
    EXPECT_FALSE(journaled->Write(kSize - 10, std::vector<std::uint8_t>(11, 3)));  // past the end
    return ReadBytes(journal_);
  }

  TempFolder folder_;
  std::filesystem::path journal_ = folder_ / "disk.img.halshift-undo";
  std::string error_;
};

TEST_F(UndoJournalTest, AnInterruptedGroupIsPlayedBackAndACommittedOneStays) {
  MemoryDevice device(Pattern(0));
  {
    auto journaled = Open(device);
    ASSERT_TRUE(journaled) << error_;
    ASSERT_TRUE(journaled->Write(2 * undo::kBlockSize, std::vector<std::uint8_t>(4096, 9)));
    ASSERT_TRUE(journaled->Flush());
    EXPECT_EQ(std::filesystem::file_size(journal_), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(journal_));  // an empty journal goes with its device
  const std::vector<std::uint8_t> committed = device.Bytes();
  InterruptedGroup(device);
  EXPECT_NE(device.Bytes(), committed);
  ASSERT_TRUE(std::filesystem::exists(journal_));
  auto reopened = Open(device);
  ASSERT_TRUE(reopened) << error_;
  EXPECT_TRUE(reopened->PlayedBack());
  EXPECT_TRUE(device.Bytes() == committed);
  EXPECT_EQ(std::filesystem::file_size(journal_), 0u);
}

TEST_F(UndoJournalTest, AJournalCutAnywhereGivesAPrefixOfItsRanges) {
  MemoryDevice device(Pattern(0));
  const std::vector<std::uint8_t> journal = InterruptedGroup(device);
  const JournalContents whole = ParseJournal(journal, kSize, 7);
  ASSERT_TRUE(whole.error.empty()) << whole.error;
  // Blocks 0 and 1 in one range, nothing new for the write at 4000, then the short last block.
  ASSERT_EQ(whole.ranges.size(), 2u);
  EXPECT_EQ(whole.ranges[0].offset, 0u);
  EXPECT_EQ(whole.ranges[0].bytes.size(), 2 * undo::kBlockSize);
  EXPECT_EQ(whole.ranges[1].offset, 5 * undo::kBlockSize);
  EXPECT_EQ(whole.ranges[1].bytes.size(), 1000u);
  for (std::size_t length = 0; length < journal.size(); ++length) {
    const JournalContents cut = ParseJournal(std::span(journal).first(length), kSize, 7);
    ASSERT_TRUE(cut.error.empty()) << length;
    ASSERT_LT(cut.ranges.size(), whole.ranges.size()) << length;
    for (std::size_t i = 0; i < cut.ranges.size(); ++i) {
      EXPECT_EQ(cut.ranges[i].offset, whole.ranges[i].offset);
      EXPECT_EQ(cut.ranges[i].bytes.size(), whole.ranges[i].bytes.size());
    }
  }
}

TEST_F(UndoJournalTest, DamagedOrForeignJournals) {
  MemoryDevice device(Pattern(0));
  const std::vector<std::uint8_t> journal = InterruptedGroup(device);
  const std::size_t lastData = journal.size() - 1;
  const std::size_t firstRange = undo::kHeaderSize;
  // A range whose offset lies past the device, with its checksum made to fit.
  std::vector<std::uint8_t> pastEnd = journal;
  pastEnd[firstRange + 8 + 2] = 0x10;
  const std::uint32_t crc = Crc32(std::span(pastEnd).subspan(firstRange, 20));
  for (int i = 0; i < 4; ++i) pastEnd[firstRange + 20 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::uint64_t size, identity;
    std::size_t ranges;
    const char* error;
  };
  std::vector<Case> cases = {
      {"whole", journal, kSize, 7, 2, ""},
      {"the last range's bytes damaged", journal, kSize, 7, 1, ""},
      {"the first range's header damaged", journal, kSize, 7, 0, ""},
      {"the header damaged", journal, kSize, 7, 0, ""},
      {"another size", journal, kSize + 1, 7, 0, "another disk"},
      {"another identity", journal, kSize, 8, 0, "another disk"},
      {"a range past the end", pastEnd, kSize, 7, 0, "past the end"},
  };
  cases[1].bytes[lastData] ^= 0xFF;
  cases[2].bytes[firstRange + 5] ^= 0x01;
  cases[3].bytes[9] ^= 0x01;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const JournalContents contents = ParseJournal(test.bytes, test.size, test.identity);
    EXPECT_EQ(contents.ranges.size(), test.ranges);
    EXPECT_NE(contents.error.find(test.error), std::string::npos) << contents.error;
    EXPECT_EQ(contents.error.empty(), std::string(test.error).empty());
  }
  // A foreign journal is refused and kept, the device unchanged.
  WriteBytes(journal_, pastEnd);
  const std::vector<std::uint8_t> before = device.Bytes();
  EXPECT_FALSE(Open(device));
  EXPECT_NE(error_.find("past the end"), std::string::npos) << error_;
  EXPECT_TRUE(device.Bytes() == before);
  EXPECT_TRUE(ReadBytes(journal_) == pastEnd);
}

TEST_F(UndoJournalTest, ReadingOnlyReadsAsThePlaybackWouldLeaveIt) {
  MemoryDevice device(Pattern(0));
  EXPECT_TRUE(Open(device, false)) << error_;
  EXPECT_FALSE(std::filesystem::exists(journal_));
  const std::vector<std::uint8_t> original = device.Bytes();
  const std::vector<std::uint8_t> journal = InterruptedGroup(device);
  const std::vector<std::uint8_t> changed = device.Bytes();
  {
    auto reading = Open(device, false);
    ASSERT_TRUE(reading) << error_;
    EXPECT_TRUE(reading->PlayedBack());
    // Reads of every length and place, across saved and unsaved blocks.
    for (const auto& [offset, length] : {std::pair{0ul, kSize}, std::pair{4090ul, 20ul}, std::pair{kSize - 5, 5ul},
                                         std::pair{3 * undo::kBlockSize + 1, 100ul}}) {
      std::vector<std::uint8_t> bytes(length);
      ASSERT_TRUE(reading->Read(offset, bytes));
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), original.begin() + static_cast<std::ptrdiff_t>(offset)))
          << offset;
    }
    EXPECT_FALSE(reading->Write(0, std::vector<std::uint8_t>(1, 0)));
  }
  EXPECT_TRUE(device.Bytes() == changed);
  EXPECT_TRUE(ReadBytes(journal_) == journal);
  std::filesystem::remove(journal_);
  std::filesystem::create_symlink(folder_ / "elsewhere", journal_);
  EXPECT_FALSE(Open(device));
  EXPECT_NE(error_.find("symbolic link"), std::string::npos) << error_;
}

TEST_F(UndoJournalTest, AFailedSaveWritesNothingAndEndsTheDevicesWrites) {
  for (const Call call : {Call::kWriteDisk, Call::kFlushDisk}) {
    SCOPED_TRACE(std::string(NameOf(call)));
    MemoryDevice device(Pattern(0));
    const std::vector<std::uint8_t> before = device.Bytes();
    FaultInjector faults;
    faults.FailCall(call, 1);
    {
      auto journaled = Open(device, true, &faults);
      ASSERT_TRUE(journaled) << error_;
      EXPECT_FALSE(journaled->Write(10, std::vector<std::uint8_t>(10, 1)));
      EXPECT_TRUE(device.Bytes() == before);
      EXPECT_FALSE(journaled->Write(10, std::vector<std::uint8_t>(10, 1)));  // the next call would succeed
      EXPECT_FALSE(journaled->Flush());
    }
    ASSERT_TRUE(Open(device)) << error_;
    EXPECT_TRUE(device.Bytes() == before);
  }
}

}  // namespace
}  // namespace halshift::image
