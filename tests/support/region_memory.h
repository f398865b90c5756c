// Physical memory served from byte regions held in the process, for tests, fuzz targets and
// benchmarks of the firmware readers. Header-only and free of GoogleTest, so that programs
// without it can use it too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace halshift::testing {

// Reads succeed when every byte of the range lies in the regions (a range may span regions
// that touch), as the machine image's memory/ folder behaves; otherwise nothing is copied.
class RegionMemory : public platform::PhysicalMemory {
 public:
  // Adds a region starting at address; it must not overlap another.
  void AddRegion(std::uint32_t address, std::vector<std::uint8_t> bytes) {
    regions_[address] = std::move(bytes);
  }

  bool ReadPhysical(std::uint32_t physicalAddress, std::span<std::uint8_t> destination) override {
    if (!Covers(physicalAddress, destination.size())) return false;
    std::uint64_t address = physicalAddress;
    std::size_t copied = 0;
    while (copied < destination.size()) {
      const auto* region = RegionAt(address);
      if (region == nullptr) return false;  // not reached: Covers found every byte
      const auto& [start, bytes] = *region;
      const std::size_t offset = static_cast<std::size_t>(address - start);
      const std::size_t n = std::min(bytes.size() - offset, destination.size() - copied);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n,
                  destination.begin() + static_cast<std::ptrdiff_t>(copied));
      copied += n;
      address += n;
    }
    return true;
  }
  void Lock(std::span<std::uint8_t>) override {}
  void Unlock(std::span<std::uint8_t>) override {}

 private:
  using Regions = std::map<std::uint64_t, std::vector<std::uint8_t>>;

  // The region that holds address, or nullptr.
  const Regions::value_type* RegionAt(std::uint64_t address) const {
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    if (address >= it->first + it->second.size()) return nullptr;
    return &*it;
  }

  bool Covers(std::uint64_t address, std::size_t length) const {
    const std::uint64_t end = address + length;
    while (address < end) {
      const auto* region = RegionAt(address);
      if (region == nullptr) return false;
      address = region->first + region->second.size();
    }
    return true;
  }

  Regions regions_;
};

}  // namespace halshift::testing
