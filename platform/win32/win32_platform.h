// The Win32 bindings of the platform interfaces: one class per service, each implemented in
// the file of that service's name.
//
// May contain: declarations only; the classes hold no state beyond what a call needs, so one
// instance of each can serve the whole process. Every binding maps Windows' own failures
// (GetLastError, NTSTATUS, handles that came back empty) to the interfaces' return values and
// never shows, logs or throws anything.
#pragma once

#include "platform/platform.h"

namespace halshift::win32 {

class SystemInfo final : public platform::SystemInfo {
 public:
  std::uint32_t GetVersion() override;
  bool OpenServiceControlManager() override;
  std::string GetSystemDirectory() override;
  std::string GetModuleFileName() override;
};

class Registry final : public platform::Registry {
 public:
  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override;
  long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                std::span<const std::uint8_t> data) override;
};

class FileSystem final : public platform::FileSystem {
 public:
  bool FindFirstFile(std::string_view path) override;
  unsigned GetDriveType(std::string_view root) override;
  std::uint32_t GetFileAttributes(std::string_view path) override;
  bool SetFileAttributes(std::string_view path, std::uint32_t attributes) override;
  bool CreateDirectory(std::string_view path) override;
  bool CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) override;
  bool MoveFile(std::string_view existing, std::string_view newPath) override;
  bool MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                  std::uint32_t flags) override;
  bool DeleteFile(std::string_view path) override;
  std::optional<std::string> GetTempFileName(std::string_view directory,
                                              std::string_view prefix) override;
  std::vector<FoundFile> FindFiles(std::string_view pattern) override;
  bool FlushFiles(std::span<const std::string> paths) override;
  bool FlushVolume(std::string_view drive) override;
  std::optional<std::string> ReadFile(std::string_view path) override;
  std::unique_ptr<platform::OutputFile> OpenFile(std::string_view path,
                                                 platform::OpenMode mode) override;
  std::uint32_t GetPrivateProfileSection(std::string_view section, std::span<char> buffer,
                                         std::string_view file) override;
  std::uint32_t VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                               std::string_view destinationName, std::string_view sourceDirectory,
                               std::string_view destinationDirectory,
                               std::string_view currentDirectory, std::string& tempName) override;
};

// Physical memory through the kernel's "\device\physicalmemory" section, which only an
// administrator may open.
class PhysicalMemory final : public platform::PhysicalMemory {
 public:
  bool ReadPhysical(std::uint32_t physicalAddress, std::span<std::uint8_t> destination) override;
  void Lock(std::span<std::uint8_t> buffer) override;
  void Unlock(std::span<std::uint8_t> buffer) override;
};

class NativeLinks final : public platform::NativeLinks {
 public:
  std::optional<std::string> QuerySymbolicLink(std::string_view linkName) override;
  std::optional<std::string> QueryDosDevice(std::string_view drive) override;
};

class UserInterface final : public platform::UserInterface {
 public:
  int MessageBox(platform::BoxOwner owner, std::string_view text, std::string_view caption,
                 unsigned style) override;
  std::string LoadString(unsigned id) override;
  void ShowHelp(std::string_view helpFile) override;
  platform::DialogHost* Dialogs() override;  // dialogs.cpp
};

class StandardOutput final : public platform::StandardOutput {
 public:
  void Write(std::string_view text) override;
};

class Clock final : public platform::Clock {
 public:
  std::optional<std::tm> LocalTime() override;
};

}  // namespace halshift::win32
