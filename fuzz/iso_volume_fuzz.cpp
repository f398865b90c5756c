// Fuzzes the ISO 9660 volume over damaged images: the input, written to a temporary file, is
// opened, its directories are listed a few levels deep and every file found is read. A file
// that is read has the size its entry gives.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "platform/image/iso_volume.h"

using halshift::fuzzing::Check;

namespace {

// Lists the directory, reads its files and descends into its folders, up to a depth.
void Walk(const halshift::image::IsoVolume& volume, std::vector<std::string>& path, int depth,
          int& budget) {
  for (const auto& entry : volume.List(path)) {
    if (--budget < 0) return;
    path.push_back(entry.name);
    const auto found = volume.Find(path);
    if (found) Check(found->directory == entry.directory);
    if (entry.directory) {
      if (depth > 0) Walk(volume, path, depth - 1, budget);
      Check(!volume.Read(path));
    } else if (const auto bytes = volume.Read(path)) {
      Check(bytes->size() == entry.size);
    }
    path.pop_back();
  }
}

// The one temporary file that every input is written to, removed when the fuzzer exits.
std::string& ImagePath() {
  static std::string path;
  return path;
}

void RemoveImage() { std::remove(ImagePath().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& image = ImagePath();
  if (image.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "halshift-iso-fuzz-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    Check(fd >= 0);
    close(fd);
    ImagePath() = pattern;
    std::atexit(RemoveImage);
  }
  std::FILE* out = std::fopen(image.c_str(), "wb");
  Check(out != nullptr);
  Check(std::fwrite(data, 1, size, out) == size);
  Check(std::fclose(out) == 0);

  std::string error;
  const auto volume = halshift::image::IsoVolume::Open(image, error);
  if (!volume) {
    Check(!error.empty());
    return 0;
  }
  std::vector<std::string> path;
  int budget = 256;
  Walk(*volume, path, 3, budget);
  return 0;
}
