// Fuzzes the code around hivex over arbitrary bytes: the header checks, the key path split,
// the code page conversion and, for a file whose header passes, the hive registry opened over
// it as both hives: queries through CurrentControlSet, and a value set in the root key that
// reads back and leaves a header that passes again.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/image/hive_registry.h"

using halshift::fuzzing::Check;

namespace {

using namespace halshift::image;

// A folder for the two hive files, removed when the fuzzer ends.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hive-fuzz.XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

const std::filesystem::path& Folder() {
  static const TempFolder folder;
  return folder.Path();
}

void Write(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(out.good());
}

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void CheckHeaderRules(std::span<const std::uint8_t> bytes) {
  hive::Header header;
  const hive::HeaderProblem problem = hive::CheckHeader(bytes, bytes.size(), &header);
  Check(!hive::DescribeProblem(problem, header).empty());
  if (problem != hive::HeaderProblem::kNone) return;
  Check(bytes.size() >= hive::kHeaderSize + header.binsSize);
  Check(header.sequence1 == header.sequence2 && header.major == 1 && header.minor >= 1 &&
        header.minor <= hive::kNewestMinor && header.fileType == 0);
  Check(header.checksum == hive::HeaderChecksum(bytes.first(hive::kHeaderSize)));
}

void CheckKeyPath(std::string_view text) {
  const auto split = hive::SplitKeyPath(text);
  if (!split) return;
  std::size_t slashes = 0;
  for (char c : text) slashes += c == '\\';
  Check(split->components.size() == slashes);
  for (std::string_view component : split->components) {
    Check(!component.empty() && component.find('\\') == std::string_view::npos);
  }
}

void CheckConversions(std::string_view text) {
  Check(hive::AnsiFromUtf16(Bytes(hive::Utf16FromAnsi(Bytes(text)))) == text);
  Check(hive::AnsiFromUtf16(Bytes(text)).size() == text.size() / 2);
  Check(hive::Utf8FromAnsi(text).size() >= text.size());
}

void CheckRegistry(std::string_view bytes) {
  const auto software = Folder() / "SOFTWARE";
  const auto system = Folder() / "SYSTEM";
  Write(software, bytes);
  Write(system, bytes);
  FaultInjector faults;
  std::string error;
  auto registry = HiveRegistry::Open(software, system, faults, error);
  if (!registry) {
    Check(!error.empty() && error.find('\n') == std::string::npos);
    Check(Read(software) == bytes && Read(system) == bytes);
    return;
  }
  std::uint8_t buffer[64];
  for (const char* key : {"Software", "System", "System\\Select",
                          "System\\CurrentControlSet\\Control\\Windows",
                          "Software\\Microsoft\\Windows NT\\CurrentVersion"}) {
    for (const char* name : {"", "Current", "CSDVersion", "CurrentType"}) {
      const auto result = registry->QueryValue(key, name, buffer);
      if (result.status == halshift::platform::kErrorSuccess) Check(result.size <= sizeof buffer);
    }
  }
  // SYSTEM is never written.
  const std::string data("Fuzz value", 11);
  Check(registry->SetValue("System", "Fuzz", halshift::platform::kRegSz, Bytes(data)) ==
        halshift::platform::kErrorAccessDenied);
  const long set = registry->SetValue("Software", "Fuzz", halshift::platform::kRegSz, Bytes(data));
  Check(Read(system) == bytes);
  if (set != halshift::platform::kErrorSuccess) {
    Check(Read(software) == bytes);
    return;
  }
  const auto result = registry->QueryValue("software", "FUZZ", buffer);
  Check(result.status == halshift::platform::kErrorSuccess && result.size == data.size() &&
        std::string_view(reinterpret_cast<const char*>(buffer), result.size) == data);
  const std::string written = Read(software);
  Check(hive::CheckHeader(Bytes(written), written.size()) == hive::HeaderProblem::kNone);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckHeaderRules(bytes);
  CheckKeyPath(text.substr(0, 256));
  CheckConversions(text.substr(0, 256));
  if (hive::CheckHeader(bytes, size) == hive::HeaderProblem::kNone) CheckRegistry(text);
  return 0;
}
