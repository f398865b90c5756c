// The HAL upgrade and downgrade: the file-name tables they install and the HAL kind they
// record in the registry.
#pragma once

#include <array>
#include <string_view>

namespace halshift::hal {

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

// The CurrentType texts that the operations record.
inline constexpr std::string_view kMultiprocessorType = "Multiprocessor Free";
inline constexpr std::string_view kUniprocessorFreeType = "Uniprocessor Free";

}  // namespace halshift::hal
