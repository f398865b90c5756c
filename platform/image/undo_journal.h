// An undo journal kept on the host beside a disk image: a block device over another that makes
// each group of writes, from one Flush to the next, all or nothing on the disk.
//
// May contain: C++ standard library, POSIX (undo_journal.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/faults.h"

namespace halshift::image {

class FaultInjector;

// The journal file: a header, then records: saved ranges, each the bytes a range of the device
// held before the group began, and written sectors, each what a write of the group left in the
// sectors it reached. All numbers are little-endian.
//   header (32 bytes): "HSUNDO2\0" (the last digit the format's version), the device's size
//     (u64), the device's identity (u64, what the caller names the device by; 0 for a whole
//     disk), a CRC-32 of the 24 bytes before it (u32), zero (u32)
//   saved range (24 bytes, then the bytes): "SAVE", the length (u32, 1 to kMaxSavedLength),
//     the offset on the device (u64, a multiple of kSectorSize), a CRC-32 of the bytes (u32), a
//     CRC-32 of the 20 bytes before it (u32)
//   written sectors (24 bytes, then the checksums): "WROT", as a saved range, but its bytes
//     are a CRC-32 (u32) of each sector from the offset on, as the write leaves it (the last
//     sector of a device whose size is no multiple of kSectorSize is short)
namespace undo {
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kRangeHeaderSize = 24;
inline constexpr std::uint32_t kMaxSavedLength = 1024 * 1024;
// The largest journal file read: far above what a switch changes.
inline constexpr std::uint64_t kMaxJournalSize = 512ull * 1024 * 1024;
// The unit saved: a write to any byte of a block saves the whole block.
inline constexpr std::uint64_t kBlockSize = 4096;
// The unit a cut leaves whole: after a torn write each sector holds its old or its new bytes.
inline constexpr std::size_t kSectorSize = 512;
}  // namespace undo

std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

struct SavedRange {
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> bytes;  // within the journal's bytes
};

// What a journal file holds. A file is appended to and flushed before the disk is written, so
// only its last append can be torn, and that append's disk writes never happened: the first
// part that is cut short or fails its checksum ends the journal, and what follows is ignored.
// A whole header or range that does not fit the device (another size or identity, a range
// past its end) means the journal belongs to another disk: error says so, nothing is played.
// A journal of another version is refused as well.
struct JournalContents {
  std::vector<SavedRange> ranges;  // in the order saved
  // The sectors written (their numbers from the device's start) and their checksums after
  // each write: sorted, each pair once.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> written;
  std::string error;  // empty when the journal can be played back
};
JournalContents ParseJournal(std::span<const std::uint8_t> journal, std::uint64_t deviceSize,
                             std::uint64_t identity);

// What the device holds where the journal saved ranges. An interrupted group leaves in each
// sector of them its saved bytes or what one of the group's writes put there; anything else
// was written by something else after the cut (the virtual machine started before halshift
// ran again), and a playback would write old bytes over it.
enum class DiskSince { kAsLeft, kChangedSince, kUnreadable };
DiskSince CompareWithDisk(const JournalContents& contents, BlockDevice& device);

// A device whose writes are journaled. Before a write reaches a block (4 KiB) not yet saved
// since the last Flush, the old bytes of the blocks are appended to the journal file; with
// them, and before every later write, the checksums of the sectors the write reaches as it
// will leave them. The file is flushed (fsync); then the write goes through. Flush flushes the device, then empties
// the journal (truncate and fsync): the group is done. A Flush with no write since the last
// one does nothing. After any failed write, save or flush the device takes no more writes, so
// the journal and the disk stay in step.
//
// Open plays back a journal that holds saved ranges before it returns, unless the disk was
// changed since (CompareWithDisk): then it refuses, and the disk and the journal stay as they
// are. The playback: the old bytes written
// back (the last saved first), the device flushed, the journal emptied; the device is then
// exactly as before the interrupted group. A cut during the playback leaves the journal for
// the next Open, which plays it again. Opened for reading only, the device leaves the journal
// and the disk as they are and reads as the playback would leave them. The journal's own
// writes and flushes ask the fault injector for Call::kWriteDisk and Call::kFlushDisk and
// count as steps, as the disk's do.
class UndoJournalDevice final : public BlockDevice {
 public:
  // Nothing, with the reason in error, when the journal cannot be opened, locked or played
  // back (a journal of another disk is refused). The device must outlive the journal device,
  // or be handed to Keep.
  static std::unique_ptr<UndoJournalDevice> Open(BlockDevice& device, const std::filesystem::path& journal,
                                                 std::uint64_t identity, bool writable, FaultInjector* faults,
                                                 std::string& error);
  // Removes the journal file when it is empty; one that holds an unfinished group stays for
  // the next Open.
  ~UndoJournalDevice() override;
  UndoJournalDevice(const UndoJournalDevice&) = delete;
  UndoJournalDevice& operator=(const UndoJournalDevice&) = delete;

  std::uint64_t Size() const override { return device_.Size(); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override;
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override;
  bool Flush() override;
  void SetFaultInjector(FaultInjector* faults) override {
    faults_ = faults;
    device_.SetFaultInjector(faults);
  }
  // Whether Open found an interrupted group (and, writable, played it back).
  bool PlayedBack() const { return playedBack_; }
  // Holds the device beneath for as long as the journal device lives.
  void Keep(std::shared_ptr<BlockDevice> device) { kept_ = std::move(device); }

 private:
  UndoJournalDevice(BlockDevice& device, std::filesystem::path path, int fd, std::uint64_t identity,
                    bool writable, FaultInjector* faults)
      : device_(device), path_(std::move(path)), fd_(fd), identity_(identity), writable_(writable),
        faults_(faults) {}
  bool PlayBack(std::string& error);
  bool SaveBefore(std::uint64_t offset, std::span<const std::uint8_t> source);
  bool AppendSaved(std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& out);
  bool AppendWritten(std::uint64_t offset, std::span<const std::uint8_t> source, std::vector<std::uint8_t>& out);
  bool Append(std::span<const std::uint8_t> bytes);
  bool SyncJournal();
  bool Empty();
  bool Ask(Call call);

  BlockDevice& device_;
  std::filesystem::path path_;
  int fd_;
  std::uint64_t identity_;
  bool writable_;
  FaultInjector* faults_;
  bool failed_ = false;
  bool playedBack_ = false;
  bool written_ = false;  // since the last Flush
  std::uint64_t journalSize_ = 0;
  std::set<std::uint64_t> saved_;  // the blocks saved since the last Flush
  // Reading only: the interrupted group's journal, whose old bytes reads show.
  std::vector<std::uint8_t> pending_;
  std::vector<SavedRange> overlay_;
  std::shared_ptr<BlockDevice> kept_;
};

// Where the journal of a disk image file lives: beside it, "<disk>.halshift-undo".
std::filesystem::path UndoJournalPath(const std::filesystem::path& disk);

}  // namespace halshift::image
