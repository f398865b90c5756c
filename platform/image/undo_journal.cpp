// The undo journal: its file format, its playback, and the device that writes it.
#include "platform/image/undo_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/image/machine_image.h"

namespace halshift::image {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'H', 'S', 'U', 'N', 'D', 'O', '2', 0};
constexpr std::size_t kMagicName = 6;  // "HSUNDO": a journal of any version
constexpr std::array<std::uint8_t, 4> kRangeMagic = {'S', 'A', 'V', 'E'};
constexpr std::array<std::uint8_t, 4> kWrittenMagic = {'W', 'R', 'O', 'T'};
constexpr std::size_t kChecksumSize = 4;
// Header fields.
constexpr std::size_t kHeaderDeviceSize = 8;
constexpr std::size_t kHeaderIdentity = 16;
constexpr std::size_t kHeaderCrc = 24;
// Saved range fields.
constexpr std::size_t kRangeLength = 4;
constexpr std::size_t kRangeOffset = 8;
constexpr std::size_t kRangeDataCrc = 16;
constexpr std::size_t kRangeCrc = 20;

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
    table[i] = value;
  }
  return table;
}();

std::uint64_t Le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[at + i - 1];
  return value;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> magic) {
  return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

void AppendHeader(std::vector<std::uint8_t>& out, std::uint64_t deviceSize, std::uint64_t identity) {
  const std::size_t start = out.size();
  out.insert(out.end(), kMagic.begin(), kMagic.end());
  PutLe(out, deviceSize, 8);
  PutLe(out, identity, 8);
  PutLe(out, Crc32(std::span(out).subspan(start, kHeaderCrc)), 4);
  PutLe(out, 0, 4);
}

// A record: its header, then its bytes.
void AppendRecord(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> magic, std::uint64_t offset,
                  std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.insert(out.end(), magic.begin(), magic.end());
  PutLe(out, bytes.size(), 4);
  PutLe(out, offset, 8);
  PutLe(out, Crc32(bytes), 4);
  PutLe(out, Crc32(std::span(out).subspan(start, kRangeCrc)), 4);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

enum class Kind { kNone, kSaved, kWritten };
struct Record {
  Kind kind = Kind::kNone;
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> bytes;
};

// The record at at; kNone where the journal ends: cut short, damaged or no record.
Record ReadRecord(std::span<const std::uint8_t> journal, std::size_t at) {
  Record record;
  if (journal.size() - at < undo::kRangeHeaderSize) return record;
  const auto header = journal.subspan(at, undo::kRangeHeaderSize);
  if (Le(header, kRangeCrc, 4) != Crc32(header.first(kRangeCrc))) return record;
  const std::uint64_t length = Le(header, kRangeLength, 4);
  if (length == 0 || length > undo::kMaxSavedLength) return record;
  if (length > journal.size() - at - undo::kRangeHeaderSize) return record;  // cut short
  const auto bytes = journal.subspan(at + undo::kRangeHeaderSize, static_cast<std::size_t>(length));
  record.offset = Le(header, kRangeOffset, 8);
  if (Le(header, kRangeDataCrc, 4) != Crc32(bytes) || record.offset % undo::kSectorSize != 0) return record;
  record.bytes = bytes;
  if (StartsWith(header, kRangeMagic)) record.kind = Kind::kSaved;
  if (StartsWith(header, kWrittenMagic) && length % kChecksumSize == 0) record.kind = Kind::kWritten;
  return record;
}

// The sectors of bytes that begin at a sector's start: the last may be short.
template <typename Byte>
std::span<Byte> SectorAt(std::span<Byte> bytes, std::size_t at) {
  return bytes.subspan(at, std::min(undo::kSectorSize, bytes.size() - at));
}

bool ReadAll(int fd, std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// Makes a new entry of the journal's folder durable.
bool SyncFolderOf(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t byte : bytes) crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

JournalContents ParseJournal(std::span<const std::uint8_t> journal, std::uint64_t deviceSize,
                             std::uint64_t identity) {
  JournalContents contents;
  if (journal.size() < undo::kHeaderSize || !StartsWith(journal, std::span(kMagic).first(kMagicName)) ||
      Le(journal, kHeaderCrc, 4) != Crc32(journal.first(kHeaderCrc))) {
    return contents;  // empty, or the first append cut short
  }
  if (!StartsWith(journal, kMagic)) {
    contents.error = "it was written by another version of halshift";
    return contents;
  }
  if (Le(journal, kHeaderDeviceSize, 8) != deviceSize || Le(journal, kHeaderIdentity, 8) != identity) {
    contents.error = "it was written for another disk or partition";
    return contents;
  }
  const std::uint64_t sectors = (deviceSize + undo::kSectorSize - 1) / undo::kSectorSize;
  for (std::size_t at = undo::kHeaderSize;;) {
    const Record record = ReadRecord(journal, at);
    if (record.kind == Kind::kNone) break;
    const std::uint64_t sector = record.offset / undo::kSectorSize;
    const std::size_t count = record.bytes.size() / kChecksumSize;
    if (record.kind == Kind::kSaved ? !RangeWithin(record.offset, record.bytes.size(), deviceSize)
                                    : !RangeWithin(sector, count, sectors)) {
      contents.ranges.clear();
      contents.written.clear();
      contents.error = "it names bytes past the end of the disk or partition";
      return contents;
    }
    if (record.kind == Kind::kSaved) contents.ranges.push_back(SavedRange{record.offset, record.bytes});
    for (std::size_t i = 0; record.kind == Kind::kWritten && i < count; ++i) {
      contents.written.emplace_back(sector + i, static_cast<std::uint32_t>(Le(record.bytes, i * kChecksumSize, 4)));
    }
    at += undo::kRangeHeaderSize + record.bytes.size();
  }
  std::sort(contents.written.begin(), contents.written.end());
  contents.written.erase(std::unique(contents.written.begin(), contents.written.end()), contents.written.end());
  return contents;
}

DiskSince CompareWithDisk(const JournalContents& contents, BlockDevice& device) {
  std::vector<std::uint8_t> now;
  for (const SavedRange& range : contents.ranges) {
    now.resize(range.bytes.size());
    if (!device.Read(range.offset, now)) return DiskSince::kUnreadable;
    for (std::size_t at = 0; at < now.size(); at += undo::kSectorSize) {
      const auto sector = SectorAt(std::span<const std::uint8_t>(now), at);
      if (std::ranges::equal(sector, SectorAt(range.bytes, at))) continue;
      const std::pair key{range.offset / undo::kSectorSize + at / undo::kSectorSize, Crc32(sector)};
      if (!std::binary_search(contents.written.begin(), contents.written.end(), key)) return DiskSince::kChangedSince;
    }
  }
  return DiskSince::kAsLeft;
}

std::unique_ptr<UndoJournalDevice> UndoJournalDevice::Open(BlockDevice& device, const std::filesystem::path& journal,
                                                           std::uint64_t identity, bool writable,
                                                           FaultInjector* faults, std::string& error) {
  const int flags = (writable ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
  const int fd = ::open(journal.c_str(), flags, 0600);
  if (fd < 0 && !writable && errno == ENOENT) {
    return std::unique_ptr<UndoJournalDevice>(
        new UndoJournalDevice(device, journal, -1, identity, false, faults));
  }
  if (fd < 0) {
    error = "The undo journal " + journal.string() + " cannot be opened: " +
            (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
    return nullptr;
  }
  std::unique_ptr<UndoJournalDevice> result(new UndoJournalDevice(device, journal, fd, identity, writable, faults));
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      ::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    result->writable_ = false;  // not this run's to remove
    error = "The undo journal " + journal.string() +
            (S_ISREG(status.st_mode) ? " is in use by another program" : " is not a regular file");
    return nullptr;
  }
  result->journalSize_ = static_cast<std::uint64_t>(status.st_size);
  if (writable && !SyncFolderOf(journal)) {
    error = "The folder of the undo journal " + journal.string() + " cannot be flushed";
    return nullptr;
  }
  if (!result->PlayBack(error)) {
    error = "The undo journal " + journal.string() + " of an interrupted change " + error;
    return nullptr;
  }
  return result;
}

bool UndoJournalDevice::PlayBack(std::string& error) {
  if (journalSize_ == 0) return true;
  if (journalSize_ > undo::kMaxJournalSize) {
    error = "is too large to be read";
    return false;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(journalSize_));
  if (!ReadAll(fd_, bytes)) {
    error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  const JournalContents contents = ParseJournal(bytes, device_.Size(), identity_);
  if (!contents.error.empty()) {
    error = "cannot be played back: " + contents.error;
    return false;
  }
  const DiskSince since = CompareWithDisk(contents, device_);
  if (since != DiskSince::kAsLeft) {
    error = since == DiskSince::kUnreadable
                ? "cannot be played back: the disk cannot be read"
                : "was not played back: the disk was changed after an interrupted halshift run (was the "
                  "virtual machine started from it?), and the journal's old blocks would overwrite those "
                  "changes. Check the volume in the virtual machine (chkdsk /f), shut it down properly, "
                  "then delete " + path_.string() + " and run halshift again";
    return false;
  }
  playedBack_ = !contents.ranges.empty();
  if (!writable_) {
    overlay_ = contents.ranges;
    pending_ = std::move(bytes);  // the spans stay valid: the buffer moves, its bytes do not
    return true;
  }
  // Each block is saved once per group, so the order does not matter; the last first all the
  // same, so that an overlap would leave the oldest bytes.
  for (auto range = contents.ranges.rbegin(); range != contents.ranges.rend(); ++range) {
    if (!device_.Write(range->offset, range->bytes)) {
      error = "cannot be played back: the disk cannot be written";
      return false;
    }
  }
  if ((!contents.ranges.empty() && !device_.Flush()) || !Empty()) {
    error = "cannot be played back: the disk or the journal cannot be flushed";
    return false;
  }
  return true;
}

UndoJournalDevice::~UndoJournalDevice() {
  if (fd_ < 0) return;
  // An empty journal goes; should the removal be lost, the file comes back empty.
  if (writable_ && journalSize_ == 0) ::unlink(path_.c_str());
  ::close(fd_);
}

bool UndoJournalDevice::Read(std::uint64_t offset, std::span<std::uint8_t> destination) {
  if (!device_.Read(offset, destination)) return false;
  const std::uint64_t end = offset + destination.size();
  for (auto range = overlay_.rbegin(); range != overlay_.rend(); ++range) {
    const std::uint64_t from = std::max(offset, range->offset);
    const std::uint64_t to = std::min(end, range->offset + range->bytes.size());
    if (from >= to) continue;
    std::copy_n(range->bytes.begin() + static_cast<std::ptrdiff_t>(from - range->offset), to - from,
                destination.begin() + static_cast<std::ptrdiff_t>(from - offset));
  }
  return true;
}

bool UndoJournalDevice::Write(std::uint64_t offset, std::span<const std::uint8_t> source) {
  if (!writable_ || failed_ || !RangeWithin(offset, source.size(), Size())) return false;
  if (source.empty()) return true;
  if (!SaveBefore(offset, source) || !device_.Write(offset, source)) {
    failed_ = true;
    return false;
  }
  written_ = true;
  return true;
}

bool UndoJournalDevice::SaveBefore(std::uint64_t offset, std::span<const std::uint8_t> source) {
  std::vector<std::uint8_t> out;
  if (journalSize_ == 0) AppendHeader(out, Size(), identity_);
  if (!AppendSaved(offset, source.size(), out) || !AppendWritten(offset, source, out)) return false;
  if (!Append(out) || !SyncJournal()) return false;
  journalSize_ += out.size();
  const std::uint64_t last = (offset + source.size() - 1) / undo::kBlockSize;
  for (std::uint64_t block = offset / undo::kBlockSize; block <= last; ++block) saved_.insert(block);
  return true;
}

// The old bytes of the blocks of a write not yet saved in this group, in runs of at most one
// saved range.
bool UndoJournalDevice::AppendSaved(std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& out) {
  const std::uint64_t last = (offset + length - 1) / undo::kBlockSize;
  std::vector<std::uint8_t> old;
  for (std::uint64_t block = offset / undo::kBlockSize; block <= last;) {
    if (saved_.count(block) != 0) {
      ++block;
      continue;
    }
    std::uint64_t end = block + 1;
    while (end <= last && saved_.count(end) == 0 && (end - block) * undo::kBlockSize < undo::kMaxSavedLength) ++end;
    const std::uint64_t start = block * undo::kBlockSize;
    const std::uint64_t stop = std::min(end * undo::kBlockSize, Size());
    old.resize(static_cast<std::size_t>(stop - start));
    if (!device_.Read(start, old)) return false;
    AppendRecord(out, kRangeMagic, start, old);
    block = end;
  }
  return true;
}

// The checksums of the sectors a write reaches as it leaves them; a sector it fills only in
// part keeps the rest of what it holds now.
bool UndoJournalDevice::AppendWritten(std::uint64_t offset, std::span<const std::uint8_t> source,
                                      std::vector<std::uint8_t>& out) {
  const std::uint64_t start = offset / undo::kSectorSize * undo::kSectorSize;
  const std::uint64_t end = offset + source.size();
  const std::uint64_t stop = std::min((end + undo::kSectorSize - 1) / undo::kSectorSize * undo::kSectorSize, Size());
  std::vector<std::uint8_t> after(static_cast<std::size_t>(stop - start));
  const std::size_t last = (after.size() - 1) / undo::kSectorSize * undo::kSectorSize;
  const auto sectorAt = [&after](std::size_t at) { return SectorAt(std::span(after), at); };
  if (offset != start && !device_.Read(start, sectorAt(0))) return false;
  if (end != stop && (last != 0 || offset == start) && !device_.Read(start + last, sectorAt(last))) return false;
  std::ranges::copy(source, after.begin() + static_cast<std::ptrdiff_t>(offset - start));
  std::vector<std::uint8_t> checksums;
  for (std::size_t at = 0; at < after.size(); at += undo::kSectorSize) PutLe(checksums, Crc32(sectorAt(at)), 4);
  for (std::size_t at = 0; at < checksums.size(); at += undo::kMaxSavedLength) {
    const std::size_t length = std::min<std::size_t>(undo::kMaxSavedLength, checksums.size() - at);
    AppendRecord(out, kWrittenMagic, start + at / kChecksumSize * undo::kSectorSize,
                 std::span(checksums).subspan(at, length));
  }
  return true;
}

bool UndoJournalDevice::Append(std::span<const std::uint8_t> bytes) {
  if (!Ask(Call::kWriteDisk)) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                 static_cast<off_t>(journalSize_ + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool UndoJournalDevice::SyncJournal() { return Ask(Call::kFlushDisk) && ::fsync(fd_) == 0; }

bool UndoJournalDevice::Empty() {
  if (!Ask(Call::kWriteDisk) || ::ftruncate(fd_, 0) != 0 || !SyncJournal()) return false;
  journalSize_ = 0;
  saved_.clear();
  return true;
}

bool UndoJournalDevice::Ask(Call call) {
  if (faults_ == nullptr) return true;
  if (faults_->ShouldFail(call)) return false;
  faults_->Step();
  return true;
}

bool UndoJournalDevice::Flush() {
  if (!writable_) return true;
  if (failed_) return false;
  if (!written_ && journalSize_ == 0) return true;  // nothing since the last Flush
  if (!device_.Flush() || (journalSize_ > 0 && !Empty())) {
    failed_ = true;
    return false;
  }
  written_ = false;
  return true;
}

std::filesystem::path UndoJournalPath(const std::filesystem::path& disk) {
  std::filesystem::path journal = disk;
  journal += ".halshift-undo";
  return journal;
}

}  // namespace halshift::image
