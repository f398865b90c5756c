// Throw-away disk images made and checked with dosfstools, sfdisk and mtools.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace halshift::testing::disk {

struct RunResult {
  int status = -1;
  std::string output;
};

// Runs a shell command, standard error joined to standard output.
inline RunResult Shell(const std::string& command) {
  RunResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  std::size_t got = 0;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), got);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> BytesOf(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// A temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / "halshift-disk.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// "IMAGE@@OFFSET" for mtools' -i.
inline std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t offset) {
  return Quoted(image.string() + (offset != 0 ? "@@" + std::to_string(offset) : ""));
}

// Makes a FAT16 file system of the given size in MiB in a new file (or at offset in an
// existing one, with the given sector count).
inline bool MakeFat16(const std::filesystem::path& image, int mebibytes, const std::string& extra = "") {
  return Shell("truncate -s " + std::to_string(mebibytes) + "M " + Quoted(image) +
             " && mkfs.fat -F 16 " + extra + " " + Quoted(image))
             .status == 0;
}

// Copies text into the volume as name ("::DIR/NAME.EXT").
inline bool PutFile(const std::filesystem::path& image, std::uint64_t offset, const std::string& name,
                    const std::string& text, const TempFolder& scratch) {
  const std::filesystem::path source = scratch / "put.tmp";
  WriteBytes(source, BytesOf(text));
  return Shell("mcopy -o -i " + MtoolsImage(image, offset) + " " + Quoted(source) + " '" + name + "'").status == 0;
}

inline RunResult TypeFile(const std::filesystem::path& image, std::uint64_t offset, const std::string& name) {
  return Shell("mtype -i " + MtoolsImage(image, offset) + " '" + name + "'");
}

// fsck.fat -n's verdict: clean, or clean apart from lost clusters (with the first FAT ahead of
// the second by them), or not.
enum class FsckVerdict { kClean, kLostClustersOnly, kDamaged };

inline FsckVerdict Fsck(const std::filesystem::path& image, std::string* report = nullptr,
                        std::uint64_t offset = 0) {
  std::string command = "fsck.fat -n ";
  if (offset != 0) {
    // fsck.fat reads a file system from the start of its file: a copy of the partition.
    command = "dd if=" + Quoted(image) + " of=" + Quoted(image.string() + ".part") +
              " bs=512 skip=" + std::to_string(offset / 512) + " status=none && " + command +
              Quoted(image.string() + ".part") + "; rc=$?; rm -f " + Quoted(image.string() + ".part") +
              "; exit $rc";
  } else {
    command += Quoted(image);
  }
  const RunResult result = Shell(command);
  if (report != nullptr) *report = result.output;
  if (result.status == 0) return FsckVerdict::kClean;
  if (result.status != 1) return FsckVerdict::kDamaged;
  std::size_t start = 0;
  while (start < result.output.size()) {
    std::size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    const std::string line = result.output.substr(start, end - start);
    start = end + 1;
    const bool harmless = line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
                          line == "FATs differ but appear to be intact." || line == "  Using first FAT." ||
                          line.rfind("Reclaimed ", 0) == 0 || line == "Leaving filesystem unchanged." ||
                          line.find(" files, ") != std::string::npos;
    if (!harmless) return FsckVerdict::kDamaged;
  }
  return FsckVerdict::kLostClustersOnly;
}

}  // namespace halshift::testing::disk
