// PhysicalMemory of the machine image: reads served from the memory/ region files, or from
// regions held in memory (the firmware area of a machine described on the command line).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/image/image_state.h"

namespace halshift::image {

namespace {

bool ReadAt(const std::filesystem::path& file, std::uint64_t offset, std::span<std::uint8_t> out) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = pread(fd, out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  close(fd);
  return done == out.size();
}

}  // namespace

bool ImageMemory::ReadPhysical(std::uint32_t physicalAddress,
                               std::span<std::uint8_t> destination) {
  if (state_.faults.ShouldFail(Call::kReadPhysical)) return false;
  // As GetSystemInfo before mapping a view: without a page size nothing can be read.
  if (state_.pageSize == 0 || state_.regions.empty()) return false;
  // Cover the range piece by piece with regions that hold its next byte, into a scratch
  // buffer, so that a range with a gap leaves the destination untouched.
  std::vector<std::uint8_t> scratch(destination.size());
  const std::uint64_t end = static_cast<std::uint64_t>(physicalAddress) + destination.size();
  std::uint64_t cursor = physicalAddress;
  while (cursor < end) {
    const auto region = std::find_if(state_.regions.begin(), state_.regions.end(),
                                      [cursor](const MemoryRegion& r) {
                                        return r.start <= cursor && cursor - r.start < r.length;
                                      });
    if (region == state_.regions.end()) return false;
    const std::uint64_t pieceEnd = std::min(end, region->start + region->length);
    const auto piece = std::span<std::uint8_t>(scratch).subspan(
        static_cast<std::size_t>(cursor - physicalAddress),
        static_cast<std::size_t>(pieceEnd - cursor));
    const std::uint64_t offset = cursor - region->start;
    if (region->file.empty()) {
      if (region->bytes.size() < offset + piece.size()) return false;
      std::copy_n(region->bytes.begin() + static_cast<std::ptrdiff_t>(offset), piece.size(),
                  piece.begin());
    } else if (!ReadAt(region->file, offset, piece)) {
      return false;
    }
    cursor = pieceEnd;
  }
  std::copy(scratch.begin(), scratch.end(), destination.begin());
  return true;
}

}  // namespace halshift::image
