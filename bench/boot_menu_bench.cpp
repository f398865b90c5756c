// Load, edit and save of a 10,000-line BOOT.INI on a machine image, beside the least that the
// same change takes on disk, to show what the line view and the safe rewrite cost over the
// bytes alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/ratio.h"
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
  // A folder on the same file system, outside the drives, for the floor's files.
  std::filesystem::path FloorFolder() const { return root_; }

 private:
  static void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::filesystem::path root_;
  std::unique_ptr<halshift::image::MachineImage> image_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Writes bytes to a new file beside target and renames it over target, flushed first when
// asked.
bool Replace(const std::filesystem::path& target, std::string_view bytes, bool flush) {
  const std::filesystem::path temporary = target.string() + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes) && (!flush || fsync(fd) == 0);
  return close(fd) == 0 && written && rename(temporary.c_str(), target.c_str()) == 0;
}

// The floor of the same change: BOOT.INI read once, its bytes written to a backup that is
// flushed before it replaces the old one (as the save's copy does), and the new text, a line
// longer or shorter, written and renamed over the file (as the save does, unflushed).
bool FloorOfTheSave(const std::filesystem::path& bootIni, const std::filesystem::path& folder,
                    bool longer) {
  const int fd = open(bootIni.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  const bool read = ::read(fd, bytes.data(), bytes.size()) == st.st_size;
  close(fd);
  if (!read) return false;
  if (!Replace(folder / "FLOOR.ORV", bytes, true)) return false;
  constexpr std::string_view kLine =
      "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Recovery\" /ORVRCV=1\r\n";
  if (longer) {
    bytes.insert(bytes.size() / 2, kLine);
  } else {
    bytes.erase(bytes.size() / 2, kLine.size());
  }
  return Replace(folder / "FLOOR.INI", bytes, false);
}

void BM_LoadInsertSave(benchmark::State& state) {
  BenchImage bench;
  if (bench.Image() == nullptr) {
    state.SkipWithError("machine image does not open");
    return;
  }
  auto& files = bench.Image()->Files();
  bool inserting = true;
  const auto edit = [&] {
    BootMenuFile menu(files);
    if (!menu.Backup("C:\\") || !menu.Load("C:\\")) return false;
    // Alternately insert and remove one line in the middle, so the file keeps its size.
    const std::size_t middle = menu.Lines().size() / 2;
    inserting = menu.Lines().size() <= static_cast<std::size_t>(kLineCount);
    if (inserting) {
      menu.InsertLine(middle, "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Recovery\" /ORVRCV=1");
    } else {
      menu.RemoveLine(middle);
    }
    return menu.Save();
  };
  const auto floor = [&] {
    return FloorOfTheSave(bench.BootIni(), bench.FloorFolder(), inserting);
  };
  halshift::bench::WorkBesideFloor timer;
  for (auto _ : state) {
    if (!timer.Step(state, edit, floor)) {
      state.SkipWithError("BOOT.INI does not load and save, or the floor cannot write");
      return;
    }
  }
  timer.Report(state);
  state.SetItemsProcessed(state.iterations() * kLineCount);
}
BENCHMARK(BM_LoadInsertSave)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
