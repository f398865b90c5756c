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

constexpr std::array<std::uint8_t, 8> kMagic = {'H', 'S', 'U', 'N', 'D', 'O', '1', 0};
constexpr std::array<std::uint8_t, 4> kRangeMagic = {'S', 'A', 'V', 'E'};
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

// A saved range's header; its bytes follow.
void AppendRangeHeader(std::vector<std::uint8_t>& out, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.insert(out.end(), kRangeMagic.begin(), kRangeMagic.end());
  PutLe(out, bytes.size(), 4);
  PutLe(out, offset, 8);
  PutLe(out, Crc32(bytes), 4);
  PutLe(out, Crc32(std::span(out).subspan(start, kRangeCrc)), 4);
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
  if (journal.size() < undo::kHeaderSize || !StartsWith(journal, kMagic) ||
      Le(journal, kHeaderCrc, 4) != Crc32(journal.first(kHeaderCrc))) {
    return contents;  // empty, or the first append cut short
  }
  if (Le(journal, kHeaderDeviceSize, 8) != deviceSize || Le(journal, kHeaderIdentity, 8) != identity) {
    contents.error = "it was written for another disk or partition";
    return contents;
  }
  std::size_t at = undo::kHeaderSize;
  while (journal.size() - at >= undo::kRangeHeaderSize) {
    const auto header = journal.subspan(at, undo::kRangeHeaderSize);
    if (!StartsWith(header, kRangeMagic) || Le(header, kRangeCrc, 4) != Crc32(header.first(kRangeCrc))) break;
    const std::uint64_t length = Le(header, kRangeLength, 4);
    const std::uint64_t offset = Le(header, kRangeOffset, 8);
    if (length == 0 || length > undo::kMaxSavedLength) break;
    if (length > journal.size() - at - undo::kRangeHeaderSize) break;  // cut short
    const auto bytes = journal.subspan(at + undo::kRangeHeaderSize, static_cast<std::size_t>(length));
    if (Le(header, kRangeDataCrc, 4) != Crc32(bytes)) break;
    if (!RangeWithin(offset, length, deviceSize)) {
      contents.ranges.clear();
      contents.error = "it names bytes past the end of the disk or partition";
      return contents;
    }
    contents.ranges.push_back(SavedRange{offset, bytes});
    at += undo::kRangeHeaderSize + static_cast<std::size_t>(length);
  }
  return contents;
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
  if (!SaveBefore(offset, source.size()) || !device_.Write(offset, source)) {
    failed_ = true;
    return false;
  }
  written_ = true;
  return true;
}

bool UndoJournalDevice::SaveBefore(std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t first = offset / undo::kBlockSize;
  const std::uint64_t last = (offset + length - 1) / undo::kBlockSize;
  std::vector<std::uint8_t> out;
  if (journalSize_ == 0) AppendHeader(out, Size(), identity_);
  const std::size_t headerOnly = out.size();
  std::vector<std::uint8_t> old;
  for (std::uint64_t block = first; block <= last;) {
    if (saved_.count(block) != 0) {
      ++block;
      continue;
    }
    // A run of blocks not yet saved, at most one saved range long.
    std::uint64_t end = block + 1;
    while (end <= last && saved_.count(end) == 0 && (end - block) * undo::kBlockSize < undo::kMaxSavedLength) ++end;
    const std::uint64_t start = block * undo::kBlockSize;
    const std::uint64_t stop = std::min(end * undo::kBlockSize, Size());
    old.resize(static_cast<std::size_t>(stop - start));
    if (!device_.Read(start, old)) return false;
    AppendRangeHeader(out, start, old);
    out.insert(out.end(), old.begin(), old.end());
    block = end;
  }
  if (out.size() == headerOnly) return true;
  if (!Append(out) || !SyncJournal()) return false;
  journalSize_ += out.size();
  for (std::uint64_t block = first; block <= last; ++block) saved_.insert(block);
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
