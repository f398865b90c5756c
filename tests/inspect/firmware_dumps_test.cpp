// The firmware readers over the memory of real QEMU/SeaBIOS virtual machines
// (tests/fixtures/firmware/): what each machine's MP table, SMBIOS table and floating pointer
// give, as each folder's README lists them.
#include <gtest/gtest.h>

#include "inspect/firmware.h"
#include "tests/support/firmware_dumps.h"

namespace halshift::inspect {
namespace {

struct DumpCase {
  const char* folder;
  std::int32_t processors;  // the enabled processor entries of the MP table
  bool apic;
  std::int32_t sockets;     // the populated type-4 structures
  std::int32_t cores;       // their "Core Enabled"
};

// SeaBIOS lists the first processor of each socket in its MP table, so that a machine with
// more cores than sockets shows fewer processors there than are running.
const DumpCase kDumps[] = {
    {"pc-128m-smp1", 1, true, 1, 1},
    // One socket of two cores: two processors run, the MP table lists one.
    {"pc-128m-smp2", 1, true, 1, 2},
    // Two sockets of two cores: four run, the MP table lists APIC ids 0 and 2.
    {"pc-128m-smp4-s2c2", 2, true, 2, 4},
    // Eight sockets of one core; the SMBIOS table lies at the top of RAM.
    {"pc-128m-smp8-s8", 8, true, 8, 8},
    // SMBIOS 3.0 only ("_SM3_"): no SMBIOS for the program; without it the APIC flag was never
    // set, and it stays so.
    {"q35-128m-smp2-ep64", 1, false, 0, 0},
};

TEST(FirmwareDumpsTest, CountsOfRealMachines) {
  for (const DumpCase& c : kDumps) {
    SCOPED_TRACE(c.folder);
    testing::RegionMemory memory;
    testing::AddFirmwareDump(memory, c.folder);

    const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
    EXPECT_EQ(info.installedProcessors, c.processors);
    EXPECT_EQ(info.apicPresent, c.apic);
    EXPECT_EQ(info.smbiosEnabledCores, c.cores);

    const MpConfiguration mp = ReadMpConfiguration(memory);
    EXPECT_TRUE(mp.pointerFound);
    EXPECT_EQ(mp.processors, std::optional<std::int32_t>(c.processors));
    const SitTableReader sit(memory);
    EXPECT_FALSE(sit.Found());
    const SmbiosTableReader smbios(memory);
    EXPECT_EQ(smbios.Available(), c.sockets > 0);
    EXPECT_EQ(smbios.CountProcessors(), c.sockets);
    EXPECT_EQ(smbios.CountEnabledCores(), c.cores);
  }
}

// The same machines with their MP table damaged count their sockets again.
TEST(FirmwareDumpsTest, DamagedMpTableFallsBackToTheSockets) {
  for (const DumpCase& c : kDumps) {
    if (c.sockets == 0) continue;
    SCOPED_TRACE(c.folder);
    testing::RegionMemory memory;
    for (testing::DumpRegion& region : testing::FirmwareDump(c.folder)) {
      if (region.address == firmware::kBiosAreaAddress) {
        // SeaBIOS puts the table right after the pointer: one byte of its OEM id changes.
        const auto pointer = firmware::FindMpPointerInArea(region.bytes);
        ASSERT_TRUE(pointer);
        const std::size_t table = *pointer + firmware::kMpPointerLength;
        ASSERT_EQ(std::string(region.bytes.begin() + static_cast<std::ptrdiff_t>(table),
                              region.bytes.begin() + static_cast<std::ptrdiff_t>(table) + 4),
                  "PCMP");
        region.bytes[table + 8] ^= 0x20;
      }
      memory.AddRegion(region.address, std::move(region.bytes));
    }
    const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
    EXPECT_EQ(info.installedProcessors, c.sockets);
    EXPECT_EQ(info.smbiosEnabledCores, 0);
    EXPECT_TRUE(info.apicPresent);
  }
}

}  // namespace
}  // namespace halshift::inspect
