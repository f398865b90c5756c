// Fuzzes the FAT16 boot sector, FAT and directory reader, and the changes over what it read.
// The input is a little-endian dword, the device's size in sectors (at most 128 MiB), then the
// device's first bytes; the rest of the device reads as zeros, so that a short input can
// describe a whole volume.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/block_device.h"
#include "platform/image/fat16_volume.h"

using halshift::fuzzing::Check;

namespace {

using halshift::image::BlockDevice;

// A device of a given size whose bytes past the input are zeros until written; writes past
// the input are kept in a map of sectors.
class SparseDevice final : public BlockDevice {
 public:
  SparseDevice(std::uint64_t size, std::vector<std::uint8_t> head) : size_(size), head_(std::move(head)) {
    head_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(head_.size(), size_)));
  }
  std::uint64_t Size() const override { return size_; }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override {
    if (!halshift::image::RangeWithin(offset, destination.size(), size_)) return false;
    if (written_.empty() && offset >= head_.size()) {
      std::fill(destination.begin(), destination.end(), 0);
      return true;
    }
    for (std::size_t i = 0; i < destination.size(); ++i) destination[i] = At(offset + i);
    return true;
  }
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override {
    if (!halshift::image::RangeWithin(offset, source.size(), size_)) return false;
    for (std::size_t i = 0; i < source.size(); ++i) {
      const std::uint64_t at = offset + i;
      if (at < head_.size()) {
        head_[static_cast<std::size_t>(at)] = source[i];
      } else {
        auto& sector = written_[at / 512];
        if (sector.empty()) sector.resize(512);
        sector[at % 512] = source[i];
      }
    }
    return true;
  }
  bool Flush() override { return true; }

 private:
  std::uint8_t At(std::uint64_t at) const {
    if (at < head_.size()) return head_[static_cast<std::size_t>(at)];
    const auto found = written_.find(at / 512);
    return found == written_.end() ? 0 : found->second[at % 512];
  }
  std::uint64_t size_;
  std::vector<std::uint8_t> head_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> written_;
};

void Walk(halshift::image::Fat16Volume& volume, const std::string& folder, int depth, int& budget) {
  const auto entries = volume.List(folder);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (--budget < 0) return;
    // A name of a damaged folder may hold a separator or match an earlier entry: the walk
    // reads what each path reaches, without expecting it to be this entry.
    if (entry.name.find_first_of("\\/") != std::string::npos) continue;
    const std::string path = folder.empty() ? entry.name : folder + "\\" + entry.name;
    if (entry.IsDirectory()) {
      if (depth < 4) Walk(volume, path, depth + 1, budget);
    } else {
      const auto data = volume.ReadFile(path);
      if (data) Check(data->size() <= 0xFFFFFFFFu);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  if (size < 4) return 0;
  const std::uint64_t sectors = (data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint64_t{data[3]} << 24)) % (256u * 1024u);
  SparseDevice device(sectors * 512, std::vector<std::uint8_t>(data + 4, data + size));
  std::string error;
  auto volume = Fat16Volume::Mount(device, error);
  if (!volume) {
    Check(!error.empty());
    return 0;
  }
  int budget = 200;
  Walk(*volume, "", 0, budget);
  // Changes over whatever the volume holds: each either fails or reads back as made.
  const std::vector<std::uint8_t> text(1500, 'x');
  if (volume->WriteFile("NEW.TXT", text)) {
    const auto back = volume->ReadFile("NEW.TXT");
    Check(back && *back == text);
    if (volume->Rename("NEW.TXT", "RENAMED.TXT")) {
      const auto renamed = volume->ReadFile("RENAMED.TXT");
      Check(renamed && *renamed == text);
    }
  }
  const auto root = volume->List("");
  if (root && !root->empty() && !(*root)[0].IsDirectory() &&
      (*root)[0].name.find_first_of("\\/") == std::string::npos && !(*root)[0].name.empty()) {
    const std::string first = (*root)[0].name;
    if (volume->SetAttributes(first, fat::kReadOnly)) {
      const auto entry = volume->Find(first);
      Check(entry && (entry->attributes & fat::kReadOnly) != 0);
    }
    volume->Delete(first);
  }
  return 0;
}
