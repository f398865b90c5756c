// The firmware area (0xF0000-0xFFFFF) of the machine that will start an offline installation:
// built from its description, or taken from a dump of a real machine's memory.
//
// May contain: the C++ standard library and the firmware table readers of inspect/. No file
// access: callers hand in the dump's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/image/vm_config.h"

namespace halshift::image {

inline constexpr std::uint32_t kFirmwareAreaBase = 0xF0000;
inline constexpr std::size_t kFirmwareAreaSize = 0x10000;

// Where the built area keeps its tables, as offsets from kFirmwareAreaBase; each on a 16-byte
// boundary, as the scans require, and all of them inside the area.
inline constexpr std::size_t kBuiltSmbiosEntryPoint = 0x5A00;
inline constexpr std::size_t kBuiltMpFloatingPointer = 0x5A20;
inline constexpr std::size_t kBuiltMpConfigurationTable = 0x5A40;
inline constexpr std::size_t kBuiltSmbiosStructureTable = 0x7000;

// The firmware area of a PC with the given description (processors 1 to kMaxProcessors; a
// larger count is taken as kMaxProcessors, 0 as 1), as the survey reads it:
// - with apic, an MP floating pointer ("_MP_", revision 1.4, feature byte 1 = 0: a
//   configuration table is present) and its configuration table ("PCMP"): one enabled
//   processor entry per processor (local APIC ids 0 to N-1, the first the bootstrap
//   processor), one ISA bus, one I/O APIC (id N, at 0xFEC00000), the ISA interrupts 0, 1 and
//   3 to 15 routed to it (0 to input 2) and ExtINT and NMI on every processor's LINT0/LINT1;
// - always an SMBIOS 2.8 entry point ("_SM_" with "_DMI_") and its structure table: a type-0
//   BIOS structure, one type-4 structure per processor (socket populated and enabled, one
//   core, one enabled core, one thread) and the type-127 end.
// Every checksum is right. The rest of the area is zero but for the reset vector at 0xFFFF0
// (a far jump), a BIOS date at 0xFFFF5 and the AT model byte 0xFC at 0xFFFFE.
std::vector<std::uint8_t> BuildFirmwareArea(const MachineDescription& machine);

// Reads a dump of the firmware area (--firmware FILE). Accepted are a file of exactly
// kFirmwareAreaSize bytes (the area alone, like a region file 000F0000.bin), and a dump of
// physical memory from address 0 at least 0x100000 bytes long (like QEMU's
// "pmemsave 0 SIZE"), of which the area at 0xF0000 is taken; a table that such a dump holds
// outside the area (a large SMBIOS table at the top of memory) is not kept. The area must
// hold at least one firmware table the survey looks for ("!SIT", an "_SM_" or "_SM3_"
// anchor, a valid "_MP_" floating pointer), so that a file of the wrong kind is not taken for
// a machine without tables. Nothing with error set to a one-line reason otherwise.
std::optional<std::vector<std::uint8_t>> ReadFirmwareDump(std::span<const std::uint8_t> file,
                                                          std::string& error);

}  // namespace halshift::image
