// Test helpers: temporary machine images and recording services.
#include "tests/support/image_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/strings.h"

namespace halshift::testing {

int RecordingUserInterface::MessageBox(platform::BoxOwner owner, std::string_view text,
                                       std::string_view caption, unsigned style) {
  boxes.push_back({owner, std::string(text), std::string(caption), style});
  if (!answers.empty()) {
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return (style & 0xF) == platform::kMbYesNo ? platform::kIdYes : platform::kIdOk;
}

std::string RecordingUserInterface::LoadString(unsigned id) {
  return std::string(strings::BuiltInString(id));
}

std::tm FixedClock::DefaultTime() {
  std::tm t{};
  t.tm_year = 101;  // 2001
  t.tm_mon = 11;    // December
  t.tm_mday = 6;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 27;
  return t;
}

TempImage::TempImage() {
  std::string pattern = (std::filesystem::temp_directory_path() / "halshift-image-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) ADD_FAILURE() << "cannot make a temporary directory";
  root_ = pattern;
}

TempImage::~TempImage() {
  std::error_code ec;
  // Read-only files and folders must become writable before they can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(root_, ec);
}

void TempImage::WriteImageFile(const std::string& relative, std::string_view bytes) {
  const auto path = root_ / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path TempImage::DrivePath(const std::string& windowsPath) const {
  std::filesystem::path path = root_ / "drives" / std::string(1, windowsPath.at(0));
  std::string rest = windowsPath.substr(2);
  std::stringstream parts(rest);
  std::string part;
  while (std::getline(parts, part, '\\')) {
    if (!part.empty()) path /= part;
  }
  return path;
}

void TempImage::WriteDriveFile(const std::string& windowsPath, std::string_view bytes) {
  const auto path = DrivePath(windowsPath);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TempImage::MakeDriveDirectory(const std::string& windowsPath) {
  std::filesystem::create_directories(DrivePath(windowsPath));
}

std::optional<std::string> TempImage::ReadImageFile(const std::string& relative) const {
  std::ifstream in(root_ / relative, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::optional<std::string> TempImage::ReadDriveFile(const std::string& windowsPath) const {
  std::ifstream in(DrivePath(windowsPath), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::uint32_t TempImage::DriveFileAttributes(const std::string& windowsPath) const {
  const auto path = DrivePath(windowsPath);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return platform::kInvalidFileAttributes;
  std::uint32_t attributes = 0;
  if ((st.st_mode & 0222) == 0) attributes |= platform::kFileAttributeReadOnly;
  if (S_ISDIR(st.st_mode)) attributes |= platform::kFileAttributeDirectory;
  char value[32] = {};
  const ssize_t length = getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof(value) - 1);
  if (length > 0) {
    attributes |= static_cast<std::uint32_t>(std::strtoul(value, nullptr, 16)) &
                  (platform::kFileAttributeHidden | platform::kFileAttributeSystem);
  }
  return attributes;
}

void TempImage::SetDriveFileAttributes(const std::string& windowsPath, std::uint32_t attributes) {
  const auto path = DrivePath(windowsPath);
  const bool readOnly = (attributes & platform::kFileAttributeReadOnly) != 0;
  chmod(path.c_str(), readOnly ? 0444 : 0644);
  char value[16];
  std::snprintf(value, sizeof(value), "0x%x",
                attributes & (platform::kFileAttributeHidden | platform::kFileAttributeSystem));
  setxattr(path.c_str(), "user.DOSATTRIB", value, std::char_traits<char>::length(value), 0);
}

void TempImage::WriteMinimalMachine() {
  WriteImageFile("machine.ini",
                 "[System]\r\nVersion=4.0\r\nBuild=1381\r\nPlatform=NT\r\nAdministrator=yes\r\n"
                 "SystemDirectory=C:\\WINNT\\System32\r\n\r\n[Drives]\r\nC=fixed\r\nD=cdrom\r\n");
  MakeDriveDirectory("C:\\WINNT\\System32");
}

std::optional<std::string> ReadLog(const TempImage& image) {
  std::string error;
  const auto machine = image::MachineImage::Open(image.Root(), error);
  if (!machine) return std::nullopt;
  const auto path = machine->HostPath("C:\\orvsystem\\log\\halshift.log");
  if (!path || !std::filesystem::exists(*path)) return std::nullopt;
  return image.ReadImageFile(std::filesystem::relative(*path, image.Root()).string());
}

std::unique_ptr<OpenedMachine> OpenMachine(const TempImage& image) {
  auto machine = std::make_unique<OpenedMachine>();
  std::string error;
  machine->image = image::MachineImage::Open(image.Root(), error);
  if (!machine->image) {
    ADD_FAILURE() << "machine image does not open: " << error;
    return nullptr;
  }
  machine->platform = std::make_unique<platform::Platform>(platform::Platform{
      machine->image->System(), machine->image->Registry(), machine->image->Files(),
      machine->image->Memory(), machine->image->Links(), machine->ui, machine->out,
      machine->clock});
  return machine;
}

}  // namespace halshift::testing
