// The system files a switch replaces, and their sources on the installation media: what the
// HAL switch installs and what the identification reads.
#pragma once

#include <array>
#include <string_view>

namespace halshift {

// Destination names in the system directory, in installation order.
inline constexpr std::array<std::string_view, 6> SystemFileNames = {
    "HAL.DLL", "NTOSKRNL.EXE", "NTDLL.DLL", "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"};
// Source names on the media of the multiprocessor set, paired with SystemFileNames.
inline constexpr std::array<std::string_view, 6> MultiprocessorSourceNames = {
    "HALMPS.DLL", "NTKRNLMP.EXE", "NTDLL.DLL", "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"};
// The uniprocessor HAL and kernel; paired with the first two of SystemFileNames, so a
// downgrade leaves the other four files as they are.
inline constexpr std::array<std::string_view, 2> UniprocessorSourceNames = {"HAL.DLL",
                                                                             "NTOSKRNL.EXE"};
// The same for a machine whose firmware declares the APIC configuration.
inline constexpr std::array<std::string_view, 2> UniprocessorApicSourceNames = {"HALAPIC.DLL",
                                                                                 "NTOSKRNL.EXE"};
// The spare HAL and kernel of the recovery boot entry, paired with UniprocessorSourceNames.
inline constexpr std::array<std::string_view, 2> RecoveryFileNames = {"UPHAL.DLL",
                                                                       "UPKERNEL.EXE"};
// The kernels on the media that the tables install, which the media check compares with the
// installed kernel.
inline constexpr std::string_view kMultiprocessorKernel = MultiprocessorSourceNames[1];
inline constexpr std::string_view kUniprocessorKernel = UniprocessorSourceNames[1];

}  // namespace halshift
