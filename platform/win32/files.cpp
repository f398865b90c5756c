// Files, directories, drives, profile sections and the version installer through kernel32
// and version.dll.
//
// May contain: Win32 calls of the FileSystem service. No logic of the program. Paths that hold
// a zero byte are refused before any call (see ZeroTerminated).
#include <algorithm>
#include <array>
#include <limits>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

constexpr DWORD kPathBufferSize = 260;
constexpr DWORD kReadChunk = 64 * 1024;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  // True when the handle was closed without error (or there was none).
  bool Close() {
    if (!Valid()) return true;
    const bool closed = ::CloseHandle(handle_) != FALSE;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

class Win32OutputFile final : public platform::OutputFile {
 public:
  explicit Win32OutputFile(HANDLE handle) : handle_(handle) {}
  ~Win32OutputFile() override { Close(); }

  bool Write(std::span<const char> data) override {
    if (!handle_.Valid()) return false;
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), kReadChunk));
      DWORD written = 0;
      if (!::WriteFile(handle_.Get(), data.data(), chunk, &written, nullptr) || written == 0) {
        failed_ = true;
        return false;
      }
      data = data.subspan(written);
    }
    return true;
  }

  bool Close() override {
    if (!handle_.Valid()) return true;
    // What the system has accepted is stored once the cache reaches the disk; a boot menu or
    // log must be there even when the machine is switched off right after the run.
    if (!::FlushFileBuffers(handle_.Get())) failed_ = true;
    if (!handle_.Close()) failed_ = true;
    return !failed_;
  }

 private:
  Handle handle_;
  bool failed_ = false;
};

}  // namespace

bool FileSystem::FindFirstFile(std::string_view path) {
  const auto name = ZeroTerminated(path);
  if (!name) return false;
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(name->c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return true;
}

unsigned FileSystem::GetDriveType(std::string_view root) {
  const auto name = ZeroTerminated(root);
  if (!name) return platform::kDriveNoRootDir;
  return ::GetDriveTypeA(name->c_str());
}

std::uint32_t FileSystem::GetFileAttributes(std::string_view path) {
  const auto name = ZeroTerminated(path);
  if (!name) return platform::kInvalidFileAttributes;
  return ::GetFileAttributesA(name->c_str());
}

bool FileSystem::SetFileAttributes(std::string_view path, std::uint32_t attributes) {
  const auto name = ZeroTerminated(path);
  return name && ::SetFileAttributesA(name->c_str(), attributes) != FALSE;
}

bool FileSystem::CreateDirectory(std::string_view path) {
  const auto name = ZeroTerminated(path);
  return name && ::CreateDirectoryA(name->c_str(), nullptr) != FALSE;
}

bool FileSystem::CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) {
  const auto from = ZeroTerminated(existing);
  const auto to = ZeroTerminated(newPath);
  return from && to && ::CopyFileA(from->c_str(), to->c_str(), failIfExists ? TRUE : FALSE) != FALSE;
}

bool FileSystem::MoveFile(std::string_view existing, std::string_view newPath) {
  const auto from = ZeroTerminated(existing);
  const auto to = ZeroTerminated(newPath);
  return from && to && ::MoveFileA(from->c_str(), to->c_str()) != FALSE;
}

bool FileSystem::MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                            std::uint32_t flags) {
  const auto from = ZeroTerminated(existing);
  if (!from) return false;
  if (!newPath) return ::MoveFileExA(from->c_str(), nullptr, flags) != FALSE;
  const auto to = ZeroTerminated(*newPath);
  return to && ::MoveFileExA(from->c_str(), to->c_str(), flags) != FALSE;
}

bool FileSystem::DeleteFile(std::string_view path) {
  const auto name = ZeroTerminated(path);
  return name && ::DeleteFileA(name->c_str()) != FALSE;
}

std::optional<std::string> FileSystem::GetTempFileName(std::string_view directory,
                                                        std::string_view prefix) {
  const auto where = ZeroTerminated(directory);
  const auto start = ZeroTerminated(prefix);
  if (!where || !start) return std::nullopt;
  std::array<char, kPathBufferSize> buffer{};
  if (::GetTempFileNameA(where->c_str(), start->c_str(), 0, buffer.data()) == 0) return std::nullopt;
  return TextUpToZero(std::string_view(buffer.data(), buffer.size()));
}

std::vector<platform::FileSystem::FoundFile> FileSystem::FindFiles(std::string_view pattern) {
  std::vector<FoundFile> found;
  const auto name = ZeroTerminated(pattern);
  if (!name) return found;
  WIN32_FIND_DATAA data{};
  HANDLE search = ::FindFirstFileA(name->c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    const std::string_view entry(data.cFileName);
    if (entry == "." || entry == "..") continue;
    const std::uint64_t size =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    found.push_back({std::string(entry), size, data.dwFileAttributes});
  } while (::FindNextFileA(search, &data));
  ::FindClose(search);
  return found;
}

bool FileSystem::FlushFiles(std::span<const std::string> paths) {
  bool flushed = true;
  for (const std::string& path : paths) {
    const auto name = ZeroTerminated(path);
    if (!name) return false;
    Handle file(::CreateFileA(name->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return false;
    flushed = ::FlushFileBuffers(file.Get()) != FALSE && flushed;
    flushed = file.Close() && flushed;
  }
  return flushed;
}

bool FileSystem::FlushVolume(std::string_view drive) {
  const bool shaped = (drive.size() == 2 || (drive.size() == 3 && drive[2] == '\\')) &&
                      drive[1] == ':' &&
                      ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
  if (!shaped) return false;
  std::string device = "\\\\.\\";
  device += drive.substr(0, 2);
  // A handle to the volume itself: flushing it writes every file, directory and the FAT of the
  // volume, which no handle to a file does.
  Handle volume(::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
  if (!volume.Valid()) return false;
  bool flushed = ::FlushFileBuffers(volume.Get()) != FALSE;
  // A file system without a flush of its own (Wine's drives, whose changes the host system
  // keeps in order) answers that the request is not a function of its driver.
  if (!flushed && ::GetLastError() == ERROR_INVALID_FUNCTION) flushed = true;
  return volume.Close() && flushed;
}

std::optional<std::string> FileSystem::ReadFile(std::string_view path) {
  const auto name = ZeroTerminated(path);
  if (!name) return std::nullopt;
  Handle file(::CreateFileA(name->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return std::nullopt;
  DWORD sizeHigh = 0;
  const DWORD sizeLow = ::GetFileSize(file.Get(), &sizeHigh);
  if (sizeLow == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return std::nullopt;
  if (sizeHigh != 0 || sizeLow > std::numeric_limits<std::size_t>::max() / 2) return std::nullopt;

  // The size is only a hint: the file is read until the system reports its end.
  std::string contents;
  contents.reserve(sizeLow);
  std::array<char, 4096> chunk{};
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      return std::nullopt;
    }
    if (got == 0) break;
    contents.append(chunk.data(), got);
  }
  return contents;
}

std::unique_ptr<platform::OutputFile> FileSystem::OpenFile(std::string_view path,
                                                           platform::OpenMode mode) {
  const auto name = ZeroTerminated(path);
  if (!name) return nullptr;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = CREATE_ALWAYS;
  switch (mode) {
    case platform::OpenMode::kCreateTruncate:
      break;
    case platform::OpenMode::kAppendExclusive:
      share = 0;
      disposition = OPEN_ALWAYS;
      break;
  }
  HANDLE handle = ::CreateFileA(name->c_str(), GENERIC_WRITE, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto file = std::make_unique<Win32OutputFile>(handle);
  if (mode == platform::OpenMode::kAppendExclusive) {
    LONG high = 0;
    if (::SetFilePointer(handle, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR) {
      return nullptr;
    }
  }
  return file;
}

std::uint32_t FileSystem::GetPrivateProfileSection(std::string_view section, std::span<char> buffer,
                                                   std::string_view file) {
  const auto sectionName = ZeroTerminated(section);
  const auto fileName = ZeroTerminated(file);
  // The system needs room for at least the two closing zeros.
  if (!sectionName || !fileName || buffer.size() < 2 || buffer.size() > MAXDWORD) return 0;
  return ::GetPrivateProfileSectionA(sectionName->c_str(), buffer.data(),
                                     static_cast<DWORD>(buffer.size()), fileName->c_str());
}

std::uint32_t FileSystem::VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                                         std::string_view destinationName,
                                         std::string_view sourceDirectory,
                                         std::string_view destinationDirectory,
                                         std::string_view currentDirectory, std::string& tempName) {
  // VerInstallFileA takes its names as writable strings; it gets copies.
  auto source = ZeroTerminated(sourceName);
  auto destination = ZeroTerminated(destinationName);
  auto sourceDir = ZeroTerminated(sourceDirectory);
  auto destinationDir = ZeroTerminated(destinationDirectory);
  auto currentDir = ZeroTerminated(currentDirectory);
  if (!source || !destination || !sourceDir || !destinationDir || !currentDir) {
    return platform::kVifCannotReadSrc;
  }
  std::array<char, kPathBufferSize> temp{};
  UINT tempLength = kPathBufferSize;
  const DWORD result =
      ::VerInstallFileA(flags, source->data(), destination->data(), sourceDir->data(),
                        destinationDir->data(), currentDir->data(), temp.data(), &tempLength);
  tempName = TextUpToZero(std::string_view(temp.data(), temp.size()));
  return result;
}

}  // namespace halshift::win32
