// Symbolic link objects of the NT namespace through ntdll, and DOS device names.
//
// May contain: Win32 and native calls of the NativeLinks service. No logic of the program.
#include <array>

#include "platform/win32/native_api.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/zero_terminated.h"

namespace halshift::win32 {
namespace {

constexpr DWORD kDeviceBufferSize = 260;
// Room for a target of 259 characters; the ending zero is added after the query.
constexpr USHORT kTargetCharacters = 259;
// The longest name whose wide form still fits a counted string's 16-bit byte length.
constexpr std::size_t kLongestLinkName = 0x7FFE / sizeof(wchar_t);

}  // namespace

std::optional<std::string> NativeLinks::QuerySymbolicLink(std::string_view linkName) {
  auto name = ZeroTerminated(linkName);
  if (!name || name->size() > kLongestLinkName) return std::nullopt;
  HMODULE ntdll = ::LoadLibraryA("NTDLL.DLL");
  if (ntdll == nullptr) return std::nullopt;

  const auto initString = native::LookUp<native::RtlInitStringFn>(ntdll, "RtlInitString");
  if (initString == nullptr) return std::nullopt;
  native::CountedString ansiName{};
  initString(&ansiName, name->c_str());

  const auto toUnicode =
      native::LookUp<native::RtlAnsiStringToUnicodeStringFn>(ntdll, "RtlAnsiStringToUnicodeString");
  if (toUnicode == nullptr) return std::nullopt;
  native::CountedWideString wideName{};
  if (!native::Succeeded(toUnicode(&wideName, &ansiName, TRUE))) return std::nullopt;

  const auto openLink =
      native::LookUp<native::NtOpenSymbolicLinkObjectFn>(ntdll, "NtOpenSymbolicLinkObject");
  native::ObjectAttributes attributes = native::AttributesFor(wideName);
  HANDLE link = nullptr;
  const bool opened =
      openLink != nullptr && native::Succeeded(openLink(&link, native::kSymbolicLinkRead, &attributes));
  // The wide name is the system's allocation; it is needed only for the open.
  const auto freeUnicode =
      native::LookUp<native::RtlFreeUnicodeStringFn>(ntdll, "RtlFreeUnicodeString");
  if (freeUnicode != nullptr) freeUnicode(&wideName);
  if (!opened) return std::nullopt;

  const auto close = native::LookUp<native::NtCloseFn>(ntdll, "NtClose");
  const auto queryLink =
      native::LookUp<native::NtQuerySymbolicLinkObjectFn>(ntdll, "NtQuerySymbolicLinkObject");
  // The target is read into a buffer of its own, not into the name's: a target may well be
  // longer than the name of the link that leads to it.
  std::array<wchar_t, kTargetCharacters + 1> targetBuffer{};
  native::CountedWideString target{0, kTargetCharacters * sizeof(wchar_t), targetBuffer.data()};
  const bool queried = queryLink != nullptr && native::Succeeded(queryLink(link, &target, nullptr)) &&
                 target.length <= target.maximumLength;

  std::optional<std::string> result;
  if (queried) {
    const auto toAnsi =
        native::LookUp<native::RtlUnicodeStringToAnsiStringFn>(ntdll, "RtlUnicodeStringToAnsiString");
    native::CountedString ansiTarget{};
    if (toAnsi != nullptr && native::Succeeded(toAnsi(&ansiTarget, &target, TRUE))) {
      if (ansiTarget.buffer != nullptr) result = std::string(ansiTarget.buffer, ansiTarget.length);
      const auto freeAnsi = native::LookUp<native::RtlFreeAnsiStringFn>(ntdll, "RtlFreeAnsiString");
      if (freeAnsi != nullptr) freeAnsi(&ansiTarget);
    }
  }
  // The handle's close decides, as the rest of the query does.
  if (close == nullptr || !native::Succeeded(close(link))) return std::nullopt;
  return result;
}

std::optional<std::string> NativeLinks::QueryDosDevice(std::string_view drive) {
  const auto name = ZeroTerminated(drive);
  if (!name) return std::nullopt;
  std::array<char, kDeviceBufferSize> buffer{};
  const DWORD stored = ::QueryDosDeviceA(name->c_str(), buffer.data(), kDeviceBufferSize);
  if (stored == 0 || stored > kDeviceBufferSize) return std::nullopt;
  // The result is a list of zero-ended strings; the first is the device in use now.
  return TextUpToZero(std::string_view(buffer.data(), stored));
}

}  // namespace halshift::win32
