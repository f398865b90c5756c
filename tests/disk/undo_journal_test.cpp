// The undo journal: groups played back after a cut, journals cut short or belonging to another
// disk, and the device's refusals after a failure.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/image/machine_image.h"
#include "platform/image/undo_journal.h"
#include "tests/disk/disk_tools.h"

namespace halshift::image {
namespace {

using namespace testing::disk;

// A device size that is no multiple of the 4 KiB block, so that the last block is short.
constexpr std::uint64_t kSize = 5 * undo::kBlockSize + 1000;

// The record of a journal at at given its checksum again after a change.
void Refit(std::vector<std::uint8_t>& journal, std::size_t at, std::size_t checked) {
  const std::uint32_t crc = Crc32(std::span(journal).subspan(at, checked));
  for (std::size_t i = 0; i < 4; ++i) journal[at + checked + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

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
  // short last block; the journal file's bytes: the saved blocks 0 and 1, the sectors of the
  // first write, those of the second, then the short last block saved and its sector.
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
  // Sectors 0 to 9, 7 and 8 again as the second write left them, and the last sector.
  EXPECT_EQ(whole.written.size(), 10u + 2 + 1);
  for (std::size_t length = 0; length < journal.size(); ++length) {
    const JournalContents cut = ParseJournal(std::span(journal).first(length), kSize, 7);
    ASSERT_TRUE(cut.error.empty()) << length;
    ASSERT_LE(cut.ranges.size(), whole.ranges.size()) << length;
    EXPECT_TRUE(std::includes(whole.written.begin(), whole.written.end(), cut.written.begin(), cut.written.end())) << length;
    for (std::size_t i = 0; i < cut.ranges.size(); ++i) {
      EXPECT_EQ(cut.ranges[i].offset, whole.ranges[i].offset);
      EXPECT_EQ(cut.ranges[i].bytes.size(), whole.ranges[i].bytes.size());
    }
  }
}

TEST_F(UndoJournalTest, DamagedOrForeignJournals) {
  MemoryDevice device(Pattern(0));
  const std::vector<std::uint8_t> journal = InterruptedGroup(device);
  const std::size_t lastData = journal.size() - undo::kRangeHeaderSize - 4 - 1;  // of the last saved range
  const std::size_t firstRange = undo::kHeaderSize;
  const std::size_t firstWritten = firstRange + undo::kRangeHeaderSize + 2 * undo::kBlockSize;
  // Records whose offsets lie past the device, and a journal of the format before, each with
  // its checksum made to fit.
  std::vector<std::uint8_t> pastEnd = journal, writtenPastEnd = journal, older = journal;
  pastEnd[firstRange + 8 + 2] = 0x10;
  Refit(pastEnd, firstRange, 20);
  writtenPastEnd[firstWritten + 8 + 2] = 0x10;
  Refit(writtenPastEnd, firstWritten, 20);
  older[6] = '1';
  Refit(older, 0, 24);
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
      {"written sectors past the end", writtenPastEnd, kSize, 7, 0, "past the end"},
      {"the format before", older, kSize, 7, 0, "another version"},
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
  // A foreign or older journal is refused and kept, the device unchanged.
  for (const auto& [bytes, error] : {std::pair{pastEnd, "past the end"}, std::pair{older, "another version"}}) {
    WriteBytes(journal_, bytes);
    const std::vector<std::uint8_t> before = device.Bytes();
    EXPECT_FALSE(Open(device));
    EXPECT_NE(error_.find(error), std::string::npos) << error_;
    EXPECT_TRUE(device.Bytes() == before);
    EXPECT_TRUE(ReadBytes(journal_) == bytes);
  }
}

// After a cut each sector of a saved block holds its old bytes or one of the contents the group
// wrote there, whatever mix a torn write left; any other content was written since (the
// virtual machine started first), and the journal is then refused, nothing played back.
TEST_F(UndoJournalTest, ADiskChangedSinceTheCutIsRefusedAndTornWritesPlayBack) {
  MemoryDevice device(Pattern(0));
  const std::vector<std::uint8_t> original = device.Bytes();
  const std::vector<std::uint8_t> journal = InterruptedGroup(device);
  const std::vector<std::uint8_t> cut = device.Bytes();
  const auto put = [&](std::size_t from, std::size_t to, const std::vector<std::uint8_t>& source) {
    std::vector<std::uint8_t> bytes = cut;
    std::copy(source.begin() + from, source.begin() + to, bytes.begin() + from);
    return bytes;
  };
  std::vector<std::uint8_t> firstWriteOnly = cut;  // sector 7 as the first write left it
  std::fill(firstWriteOnly.begin() + 4000, firstWriteOnly.begin() + 4096, 1);
  std::vector<std::uint8_t> changed = cut, changedLast = cut, changedPart = put(0, 4096, original);
  changed[3 * 512 + 7] ^= 0xFF;
  changedLast[kSize - 1] ^= 0xFF;
  changedPart[4096 + 5] = 0;  // within the second write's reach, which never wrote 0 there
  struct Case {
    const char* what;
    std::vector<std::uint8_t> disk;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"as the cut left it", cut, false},
      {"block 0's last four sectors old (a torn write)", put(2048, 4096, original), false},
      {"sector 7 as the first of its writes left it", firstWriteOnly, false},
      {"every saved sector old", original, false},
      {"a sector of block 0 changed", changed, true},
      {"the short last sector changed", changedLast, true},
      {"block 0 old, a byte of block 1 changed", changedPart, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    for (const bool writable : {false, true}) {
      MemoryDevice disk(test.disk);
      WriteBytes(journal_, journal);
      auto opened = Open(disk, writable);
      EXPECT_EQ(!opened, test.refused) << error_;
      if (test.refused) {
        EXPECT_NE(error_.find("changed after an interrupted halshift run"), std::string::npos) << error_;
        EXPECT_NE(error_.find("delete " + journal_.string()), std::string::npos) << error_;
        EXPECT_TRUE(disk.Bytes() == test.disk);
        EXPECT_TRUE(ReadBytes(journal_) == journal);
      } else if (writable) {
        EXPECT_TRUE(disk.Bytes() == original);
      }
    }
  }
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
