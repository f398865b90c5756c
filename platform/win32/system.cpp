// Version, administrator test and system facts through kernel32 and advapi32.
//
// May contain: Win32 calls of the SystemInfo service. No logic of the program.
#include <array>

#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

constexpr DWORD kPathBufferSize = 260;
// SC_MANAGER_ALL_ACCESS: granted only to administrators.
constexpr DWORD kServiceManagerAllAccess = 0xF003F;

}  // namespace

std::uint32_t SystemInfo::GetVersion() { return ::GetVersion(); }

bool SystemInfo::OpenServiceControlManager() {
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, kServiceManagerAllAccess);
  if (manager == nullptr) return false;
  ::CloseServiceHandle(manager);
  return true;
}

std::string SystemInfo::GetSystemDirectory() {
  std::array<char, kPathBufferSize> buffer{};
  const UINT length = ::GetSystemDirectoryA(buffer.data(), kPathBufferSize);
  // A result as large as the buffer is the size the path would need: it did not fit.
  if (length == 0 || length >= kPathBufferSize) return {};
  return std::string(buffer.data(), length);
}

std::string SystemInfo::GetModuleFileName() {
  std::array<char, kPathBufferSize> buffer{};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), kPathBufferSize);
  // NT 4.0 cuts a path that does not fit and stores it without its zero.
  if (length == 0 || length >= kPathBufferSize) return {};
  return TextUpToZero(std::string_view(buffer.data(), length));
}

}  // namespace halshift::win32
