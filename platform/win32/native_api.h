// The few native ("ntdll.dll") types and entry points that the bindings look up at run time.
//
// May contain: declarations of native types and routine signatures as the NT 4.0 native API
// defines them, and the lookup helper. The program imports nothing from ntdll: every routine is
// found by name when it is needed, so a missing one is a failure value, not a load error.
#pragma once

#include <cstdint>

#include "platform/win32/windows_api.h"

namespace halshift::win32::native {

using Status = LONG;  // NTSTATUS: negative values are failures

inline bool Succeeded(Status status) { return status >= 0; }

// UNICODE_STRING: lengths in bytes, without any ending zero.
struct CountedWideString {
  USHORT length;
  USHORT maximumLength;
  wchar_t* buffer;
};

// ANSI_STRING / STRING.
struct CountedString {
  USHORT length;
  USHORT maximumLength;
  char* buffer;
};

// OBJECT_ATTRIBUTES; 24 bytes on 32-bit Windows.
struct ObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  CountedWideString* objectName;
  ULONG attributes;
  void* securityDescriptor;
  void* securityQualityOfService;
};

inline constexpr ULONG kObjCaseInsensitive = 0x40;
inline constexpr ACCESS_MASK kSectionMapRead = 0x0004;
// READ_CONTROL | SYMBOLIC_LINK_QUERY.
inline constexpr ACCESS_MASK kSymbolicLinkRead = 0x20001;
inline constexpr ULONG kViewShare = 1;
inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1));

inline ObjectAttributes AttributesFor(CountedWideString& name) {
  return ObjectAttributes{sizeof(ObjectAttributes), nullptr, &name, kObjCaseInsensitive, nullptr,
                          nullptr};
}

using RtlInitUnicodeStringFn = void(NTAPI*)(CountedWideString*, const wchar_t*);
using NtOpenSectionFn = Status(NTAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*);
using NtMapViewOfSectionFn = Status(NTAPI*)(HANDLE section, HANDLE process, void** baseAddress,
                                            ULONG_PTR zeroBits, SIZE_T commitSize,
                                            LARGE_INTEGER* sectionOffset, SIZE_T* viewSize,
                                            ULONG inheritDisposition, ULONG allocationType,
                                            ULONG protection);
using NtUnmapViewOfSectionFn = Status(NTAPI*)(HANDLE process, void* baseAddress);

using RtlInitStringFn = void(NTAPI*)(CountedString*, const char*);
using RtlAnsiStringToUnicodeStringFn = Status(NTAPI*)(CountedWideString*, CountedString*, BOOLEAN);
using RtlUnicodeStringToAnsiStringFn = Status(NTAPI*)(CountedString*, CountedWideString*, BOOLEAN);
using RtlFreeAnsiStringFn = void(NTAPI*)(CountedString*);
using RtlFreeUnicodeStringFn = void(NTAPI*)(CountedWideString*);
using NtOpenSymbolicLinkObjectFn = Status(NTAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*);
using NtQuerySymbolicLinkObjectFn = Status(NTAPI*)(HANDLE, CountedWideString*, ULONG* returnedLength);
using NtCloseFn = Status(NTAPI*)(HANDLE);

// The routine of that name in module, as a pointer of type Fn; nullptr when it is missing.
template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  FARPROC routine = ::GetProcAddress(module, name);
  if (routine == nullptr) return nullptr;
  // GetProcAddress hands out every routine under one generic type; the signature above is the
  // routine's own. The detour through void(*)() is the conversion compilers accept silently.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(routine));
}

}  // namespace halshift::win32::native
