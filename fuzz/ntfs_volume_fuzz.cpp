// Fuzzes the NTFS volume's device layer and the checks around libntfs-3g: the mount and its
// refusals, the listing, the reads, and a change over whatever the volume holds. The input
// is a little-endian dword, the device's size in sectors (at most 16 MiB), then records of a
// dword sector number and a kind byte: 0 and 512 bytes of the sector, or 1 and one byte the
// sector is filled with. Sectors not named read as zeros. The seed is a volume mkntfs made.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/block_device.h"
#include "platform/image/ntfs_volume.h"

using halshift::fuzzing::Check;

namespace {

using halshift::image::BlockDevice;

constexpr std::uint64_t kSector = 512;

// A device of a given size whose sectors are zeros unless the input or a write gave them.
class SectorMapDevice final : public BlockDevice {
 public:
  explicit SectorMapDevice(std::uint64_t size) : size_(size) {}
  std::uint64_t Size() const override { return size_; }
  void Put(std::uint64_t sector, std::vector<std::uint8_t> bytes) { sectors_[sector] = std::move(bytes); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override {
    if (!halshift::image::RangeWithin(offset, destination.size(), size_)) return false;
    std::size_t done = 0;
    while (done < destination.size()) {
      const std::uint64_t at = offset + done;
      const std::size_t within = static_cast<std::size_t>(at % kSector);
      const std::size_t count = std::min<std::size_t>(kSector - within, destination.size() - done);
      const auto found = sectors_.find(at / kSector);
      if (found == sectors_.end()) {
        std::fill_n(destination.begin() + static_cast<std::ptrdiff_t>(done), count, 0);
      } else {
        std::copy_n(found->second.begin() + static_cast<std::ptrdiff_t>(within), count,
                    destination.begin() + static_cast<std::ptrdiff_t>(done));
      }
      done += count;
    }
    return true;
  }
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override {
    if (!halshift::image::RangeWithin(offset, source.size(), size_)) return false;
    for (std::size_t i = 0; i < source.size(); ++i) {
      auto& sector = sectors_[(offset + i) / kSector];
      if (sector.empty()) sector.resize(kSector);
      sector[(offset + i) % kSector] = source[i];
    }
    return true;
  }
  bool Flush() override { return true; }

 private:
  std::uint64_t size_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
};

void Walk(halshift::image::NtfsVolume& volume, const std::string& folder, int depth, int& budget) {
  const auto entries = volume.List(folder);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (--budget < 0) return;
    if (entry.name.empty() || entry.name.find_first_of("\\/") != std::string::npos) continue;
    const std::string path = folder.empty() ? entry.name : folder + "\\" + entry.name;
    if (entry.IsDirectory()) {
      if (depth < 3) Walk(volume, path, depth + 1, budget);
    } else if (entry.size <= 1024 * 1024) {
      std::string reason;
      const bool plain = volume.IsPlainFile(path, reason);
      Check(plain || !reason.empty());
      volume.ReadFile(path);
    }
  }
}

}  // namespace

// libntfs-3g's own error paths leave memory behind on a damaged volume: ntfs_device_mount an
// attribute when the mount fails, and ntfs_inode_close keeps an inode whose write-back
// failed (ntfs_delete and ntfs_link close theirs so). The stacks of the library's
// allocations end inside it, so all of them are let go here; the tests under the sanitizers
// find any inode halshift leaves open on a sound volume.
extern "C" const char* __lsan_default_suppressions() { return "leak:libntfs-3g.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  if (size < 4) return 0;
  const std::uint64_t sectors =
      (data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint64_t{data[3]} << 24)) % (32u * 1024u);
  SectorMapDevice device(sectors * kSector);
  std::size_t at = 4;
  while (at + 5 <= size) {
    const std::uint64_t sector =
        data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (std::uint64_t{data[at + 3]} << 24);
    const std::uint8_t kind = data[at + 4];
    at += 5;
    std::vector<std::uint8_t> bytes(kSector, 0);
    if (kind == 1 && at < size) {
      std::fill(bytes.begin(), bytes.end(), data[at]);
      at += 1;
    } else {
      const std::size_t count = std::min<std::size_t>(kSector, size - at);
      std::copy_n(data + at, count, bytes.begin());
      at += count;
    }
    if (sector < sectors) device.Put(sector, std::move(bytes));
  }
  std::string error;
  auto volume = NtfsVolume::Mount(device, error);
  if (!volume) {
    Check(!error.empty());
    return 0;
  }
  Check(volume->MajorVersion() == 1 || volume->MajorVersion() == 3);
  int budget = 100;
  Walk(*volume, "", 0, budget);
  // A change over whatever the volume holds: it either fails or reads back as made.
  const std::vector<std::uint8_t> text(1500, 'x');
  if (volume->WriteFile("NEW.TXT", text)) {
    const auto back = volume->ReadFile("new.txt");
    Check(back && *back == text);
    if (volume->Rename("NEW.TXT", "Renamed.Txt")) {
      const auto renamed = volume->ReadFile("RENAMED.TXT");
      Check(renamed && *renamed == text);
    }
  }
  volume->Flush();
  return 0;
}
