// The firmware dumps of real QEMU/SeaBIOS virtual machines in tests/fixtures/firmware/: one
// folder per machine, each file named by the physical address of its first byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/host_file.h"
#include "tests/support/image_builder.h"
#include "tests/support/region_memory.h"

namespace halshift::testing {

struct DumpRegion {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
  std::string fileName;
};

// The regions of the dump folder; a test fails when the folder cannot be read.
inline std::vector<DumpRegion> FirmwareDump(std::string_view folder) {
  std::vector<DumpRegion> regions;
  const char* source = std::getenv("HALSHIFT_SOURCE_DIR");
  if (source == nullptr) {
    ADD_FAILURE() << "HALSHIFT_SOURCE_DIR is not set";
    return regions;
  }
  const std::filesystem::path dir =
      std::filesystem::path(source) / "tests" / "fixtures" / "firmware" / std::string(folder);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".bin") continue;
    DumpRegion region;
    region.address = static_cast<std::uint32_t>(std::stoul(name.substr(0, 8), nullptr, 16));
    const std::string bytes = ReadHostFile(entry.path());
    region.bytes.assign(bytes.begin(), bytes.end());
    region.fileName = name;
    regions.push_back(std::move(region));
  }
  if (error || regions.empty()) ADD_FAILURE() << "no dump regions in " << dir;
  return regions;
}

inline void AddFirmwareDump(RegionMemory& memory, std::string_view folder) {
  for (DumpRegion& region : FirmwareDump(folder)) memory.AddRegion(region.address, std::move(region.bytes));
}

// Replaces the image's physical memory by the dump's regions.
inline void PutFirmwareDump(TempImage& image, std::string_view folder) {
  std::filesystem::remove_all(image.Root() / "memory");
  for (const DumpRegion& region : FirmwareDump(folder)) {
    image.WriteImageFile("memory/" + region.fileName,
                         std::string_view(reinterpret_cast<const char*>(region.bytes.data()),
                                          region.bytes.size()));
  }
}

}  // namespace halshift::testing
