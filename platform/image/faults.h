// The calls of the machine image that tests can make fail, in one table: each call's
// enumerator beside its name, as the Windows function it stands for is named.
//
// May contain: C++ standard library only.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace halshift::image {

// Every call is asked once at the start of its operation, which then fails as the real call
// fails (false, nothing, 0, an error status such as ERROR_ACCESS_DENIED, VIF_CANNOTCREATE)
// and changes nothing. Two are also asked inside other operations:
// - kRegSetValue when MoveFileEx records a delayed operation in the registry;
// - kRenameTemporary just before a completed temporary file is renamed over its target (the
//   registry.reg and machine.ini rewrites, CopyFile, VerInstallFile): the target is then left
//   as it was and the temporary file removed.
enum class Call : std::size_t {
  kGetVersion,
  kOpenServiceControlManager,
  kGetSystemDirectory,
  kGetModuleFileName,
  kRegQueryValue,
  kRegSetValue,
  kFindFirstFile,
  kFindFiles,
  kGetDriveType,
  kGetFileAttributes,
  kSetFileAttributes,
  kCreateDirectory,
  kCopyFile,
  kMoveFile,
  kMoveFileEx,
  kDeleteFile,
  kGetTempFileName,
  kFlushFiles,
  kFlushVolume,
  kReadFile,
  kOpenFile,
  kWriteFile,  // OutputFile::Write
  kCloseFile,  // OutputFile::Close
  kGetPrivateProfileSection,
  kVerInstallFile,
  kReadPhysical,
  kQuerySymbolicLink,
  kQueryDosDevice,
  kRenameTemporary,
  kWriteDisk,  // BlockDevice::Write of a disk image file
  kFlushDisk,  // BlockDevice::Flush of a disk image file
};

struct CallInfo {
  Call call;
  std::string_view name;
  // Whether the call can change a file, the registry or machine.ini when it succeeds.
  bool changesMachine;
};

inline constexpr std::array<CallInfo, 31> kCalls = {{
    {Call::kGetVersion, "GetVersion", false},
    {Call::kOpenServiceControlManager, "OpenServiceControlManager", false},
    {Call::kGetSystemDirectory, "GetSystemDirectory", false},
    {Call::kGetModuleFileName, "GetModuleFileName", false},
    {Call::kRegQueryValue, "RegQueryValue", false},
    {Call::kRegSetValue, "RegSetValue", true},
    {Call::kFindFirstFile, "FindFirstFile", false},
    {Call::kFindFiles, "FindFiles", false},
    {Call::kGetDriveType, "GetDriveType", false},
    {Call::kGetFileAttributes, "GetFileAttributes", false},
    {Call::kSetFileAttributes, "SetFileAttributes", true},
    {Call::kCreateDirectory, "CreateDirectory", true},
    {Call::kCopyFile, "CopyFile", true},
    {Call::kMoveFile, "MoveFile", true},
    {Call::kMoveFileEx, "MoveFileEx", true},
    {Call::kDeleteFile, "DeleteFile", true},
    {Call::kGetTempFileName, "GetTempFileName", true},
    {Call::kFlushFiles, "FlushFiles", true},
    {Call::kFlushVolume, "FlushVolume", true},
    {Call::kReadFile, "ReadFile", false},
    {Call::kOpenFile, "OpenFile", true},
    {Call::kWriteFile, "WriteFile", true},
    {Call::kCloseFile, "CloseFile", true},
    {Call::kGetPrivateProfileSection, "GetPrivateProfileSection", false},
    {Call::kVerInstallFile, "VerInstallFile", true},
    {Call::kReadPhysical, "ReadPhysical", false},
    {Call::kQuerySymbolicLink, "QuerySymbolicLink", false},
    {Call::kQueryDosDevice, "QueryDosDevice", false},
    {Call::kRenameTemporary, "RenameTemporary", true},
    {Call::kWriteDisk, "WriteDisk", true},
    {Call::kFlushDisk, "FlushDisk", true},
}};

constexpr const CallInfo& InfoOf(Call call) { return kCalls[static_cast<std::size_t>(call)]; }
constexpr std::string_view NameOf(Call call) { return InfoOf(call).name; }

// The call of a name, for tests and tools that name calls in text.
constexpr std::optional<Call> CallNamed(std::string_view name) {
  for (const CallInfo& info : kCalls) {
    if (info.name == name) return info.call;
  }
  return std::nullopt;
}

// The table lists every call once, in the order of the enumeration.
static_assert([] {
  for (std::size_t i = 0; i < kCalls.size(); ++i) {
    if (static_cast<std::size_t>(kCalls[i].call) != i) return false;
  }
  return static_cast<std::size_t>(Call::kFlushDisk) + 1 == kCalls.size();
}());

}  // namespace halshift::image
