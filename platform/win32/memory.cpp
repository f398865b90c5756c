// Physical memory through the "\device\physicalmemory" section of ntdll, and memory locking.
//
// May contain: Win32 and native calls of the PhysicalMemory service. No logic of the program.
#include <algorithm>
#include <limits>

#include "platform/win32/native_api.h"
#include "platform/win32/win32_platform.h"

namespace halshift::win32 {
namespace {

// Views of a section begin at multiples of the allocation granularity, which is 64 KiB on
// every NT system for Intel processors; a page-aligned offset is refused by the system.
constexpr std::uint64_t kAllocationGranularity = 0x10000;

// The calls of ntdll that reach the section, looked up in this order; any missing fails.
struct SectionCalls {
  native::NtUnmapViewOfSectionFn unmapView = nullptr;
  native::NtOpenSectionFn openSection = nullptr;
  native::NtMapViewOfSectionFn mapView = nullptr;
  native::RtlInitUnicodeStringFn initUnicodeString = nullptr;
};

bool LookUpSectionCalls(SectionCalls& calls) {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  calls.unmapView = native::LookUp<native::NtUnmapViewOfSectionFn>(ntdll, "NtUnmapViewOfSection");
  if (calls.unmapView == nullptr) return false;
  calls.openSection = native::LookUp<native::NtOpenSectionFn>(ntdll, "NtOpenSection");
  if (calls.openSection == nullptr) return false;
  calls.mapView = native::LookUp<native::NtMapViewOfSectionFn>(ntdll, "NtMapViewOfSection");
  if (calls.mapView == nullptr) return false;
  calls.initUnicodeString =
      native::LookUp<native::RtlInitUnicodeStringFn>(ntdll, "RtlInitUnicodeString");
  return calls.initUnicodeString != nullptr;
}

// Copies destination's bytes from a view that the system placed at returnedOffset; false when
// the view does not hold them all.
bool CopyFromView(const void* base, const LARGE_INTEGER& returnedOffset, SIZE_T viewSize,
                  std::uint32_t physicalAddress, std::span<std::uint8_t> destination) {
  const std::uint64_t length = destination.size();
  const auto returnedStart = static_cast<std::uint64_t>(returnedOffset.QuadPart);
  if (returnedOffset.QuadPart < 0 || returnedStart > physicalAddress) return false;
  const std::uint64_t skip = physicalAddress - returnedStart;
  if (skip > viewSize || length > viewSize - skip) return false;
  const auto* view = static_cast<const std::uint8_t*>(base);
  std::copy_n(view + skip, static_cast<std::size_t>(length), destination.begin());
  return true;
}

}  // namespace

bool PhysicalMemory::ReadPhysical(std::uint32_t physicalAddress,
                                  std::span<std::uint8_t> destination) {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  if (info.dwPageSize == 0) return false;

  // A range that runs past the first 4 GB cannot be named by a 32-bit address.
  const std::uint64_t length = destination.size();
  if (length > std::uint64_t{0x100000000} - physicalAddress) return false;

  SectionCalls calls;
  if (!LookUpSectionCalls(calls)) return false;
  if (length == 0) return true;

  native::CountedWideString name{};
  calls.initUnicodeString(&name, L"\\device\\physicalmemory");
  native::ObjectAttributes attributes = native::AttributesFor(name);
  HANDLE section = nullptr;
  if (!native::Succeeded(calls.openSection(&section, native::kSectionMapRead, &attributes))) return false;

  const std::uint64_t viewStart = physicalAddress & ~(kAllocationGranularity - 1);
  const std::uint64_t wanted = physicalAddress - viewStart + length;
  if (wanted > std::numeric_limits<SIZE_T>::max()) {
    ::CloseHandle(section);
    return false;
  }
  void* base = nullptr;
  LARGE_INTEGER sectionOffset{};
  sectionOffset.QuadPart = static_cast<LONGLONG>(viewStart);
  SIZE_T viewSize = static_cast<SIZE_T>(wanted);
  const native::Status mapped =
      calls.mapView(section, native::kCurrentProcess, &base, 0, static_cast<SIZE_T>(wanted),
              &sectionOffset, &viewSize, native::kViewShare, 0, PAGE_READONLY);
  if (!native::Succeeded(mapped) || base == nullptr) {
    ::CloseHandle(section);
    return false;
  }

  // The system may move the view's start further down; the offset it hands back is where the
  // view really begins, and the copy is placed by it.
  const bool copied = CopyFromView(base, sectionOffset, viewSize, physicalAddress, destination);
  calls.unmapView(native::kCurrentProcess, base);
  ::CloseHandle(section);
  return copied;
}

void PhysicalMemory::Lock(std::span<std::uint8_t> buffer) {
  if (!buffer.empty()) ::VirtualLock(buffer.data(), buffer.size());
}

void PhysicalMemory::Unlock(std::span<std::uint8_t> buffer) {
  if (!buffer.empty()) ::VirtualUnlock(buffer.data(), buffer.size());
}

}  // namespace halshift::win32
