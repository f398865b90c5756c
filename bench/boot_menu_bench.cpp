// Load, edit and save of a 10,000-line BOOT.INI on a machine image, beside a plain copy of the
// same file, to show what the line view and the safe rewrite cost over the bytes alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bootmenu/boot_menu.h"
#include "platform/image/machine_image.h"

namespace {

using halshift::bootmenu::BootMenuFile;

constexpr int kLineCount = 10000;

// A machine image with one fixed drive C: whose BOOT.INI has kLineCount lines; removed again
// when the benchmark ends.
class BenchImage {
 public:
  BenchImage() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "halshift-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    Write(root_ / "machine.ini", "[System]\r\nVersion=4.0\r\n[Drives]\r\nC=fixed\r\n");
    std::string menu = "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\n";
    for (int i = 3; i < kLineCount; ++i) {
      menu += "multi(0)disk(0)rdisk(0)partition(" + std::to_string(i) +
              ")\\WINNT=\"Windows NT Server Version 4.00\" /fastdetect\r\n";
    }
    std::filesystem::create_directories(root_ / "drives" / "C");
    Write(root_ / "drives" / "C" / "BOOT.INI", menu);
    std::string error;
    image_ = halshift::image::MachineImage::Open(root_, error);
  }
  ~BenchImage() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  BenchImage(const BenchImage&) = delete;
  BenchImage& operator=(const BenchImage&) = delete;

  halshift::image::MachineImage* Image() { return image_.get(); }
  std::filesystem::path BootIni() const { return root_ / "drives" / "C" / "BOOT.INI"; }
  std::filesystem::path CopyTarget() const { return root_ / "drives" / "C" / "COPY.INI"; }

 private:
  static void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::filesystem::path root_;
  std::unique_ptr<halshift::image::MachineImage> image_;
};

void BM_LoadInsertSave(benchmark::State& state) {
  BenchImage bench;
  if (bench.Image() == nullptr) {
    state.SkipWithError("machine image does not open");
    return;
  }
  auto& files = bench.Image()->Files();
  for (auto _ : state) {
    BootMenuFile menu(files);
    if (!menu.Load("C:\\")) {
      state.SkipWithError("BOOT.INI does not load");
      return;
    }
    // Alternately insert and remove one line in the middle, so the file keeps its size.
    const std::size_t middle = menu.Lines().size() / 2;
    if (menu.Lines().size() > static_cast<std::size_t>(kLineCount)) {
      menu.RemoveLine(middle);
    } else {
      menu.InsertLine(middle, "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Recovery\" /ORVRCV=1");
    }
    if (!menu.Save()) {
      state.SkipWithError("BOOT.INI does not save");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kLineCount);
}
BENCHMARK(BM_LoadInsertSave)->Unit(benchmark::kMillisecond);

void BM_PlainCopy(benchmark::State& state) {
  BenchImage bench;
  for (auto _ : state) {
    std::error_code ec;
    std::filesystem::copy_file(bench.BootIni(), bench.CopyTarget(),
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
      state.SkipWithError("copy failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kLineCount);
}
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond);

}  // namespace
