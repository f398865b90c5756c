// The registry under HKEY_LOCAL_MACHINE through advapi32.
//
// May contain: Win32 calls of the Registry service. No logic of the program. Registry status
// codes are Win32 error codes already and are handed on unchanged.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

// Opens an existing key with KEY_ALL_ACCESS; closes it when the object goes.
class OpenKey {
 public:
  explicit OpenKey(const std::string& path)
      : status_(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_)) {}
  ~OpenKey() {
    if (status_ == ERROR_SUCCESS) ::RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  LONG Status() const { return status_; }
  HKEY Handle() const { return key_; }

 private:
  HKEY key_ = nullptr;
  LONG status_;
};

}  // namespace

platform::Registry::QueryResult Registry::QueryValue(std::string_view keyPath,
                                                     std::string_view valueName,
                                                     std::span<std::uint8_t> buffer) {
  QueryResult result;
  const auto key = ZeroTerminated(keyPath);
  const auto name = ZeroTerminated(valueName);
  if (!key || !name || buffer.size() > MAXDWORD) {
    result.status = ERROR_INVALID_PARAMETER;
    return result;
  }
  OpenKey opened(*key);
  result.status = opened.Status();
  if (opened.Status() != ERROR_SUCCESS) return result;

  // With no data buffer at all the system reports success and only the size; a buffer of
  // length zero must report ERROR_MORE_DATA for any value that holds data, so it gets a
  // stand-in byte that the size given keeps from being written.
  BYTE standIn = 0;
  BYTE* data = buffer.empty() ? &standIn : buffer.data();
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(buffer.size());
  result.status = ::RegQueryValueExA(opened.Handle(), name->c_str(), nullptr, &type, data, &size);
  if (result.status == ERROR_SUCCESS || result.status == ERROR_MORE_DATA) result.size = size;
  if (result.status == ERROR_SUCCESS) result.type = type;
  return result;
}

long Registry::SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                        std::span<const std::uint8_t> data) {
  const auto key = ZeroTerminated(keyPath);
  const auto name = ZeroTerminated(valueName);
  if (!key || !name || data.size() > MAXDWORD) return ERROR_INVALID_PARAMETER;
  OpenKey opened(*key);
  if (opened.Status() != ERROR_SUCCESS) return opened.Status();
  const LONG status = ::RegSetValueExA(opened.Handle(), name->c_str(), 0, type, data.data(),
                                       static_cast<DWORD>(data.size()));
  if (status != ERROR_SUCCESS) return status;
  // The system writes its hives lazily; the value is to survive a power cut once stored.
  return ::RegFlushKey(opened.Handle());
}

}  // namespace halshift::win32
