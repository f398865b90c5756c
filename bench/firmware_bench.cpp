// Benchmarks of the whole firmware read over in-memory physical memory, beside a plain
// memchr pass over the same bytes.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstring>
#include <random>
#include <vector>

#include "bench/ratio.h"
#include "inspect/firmware.h"
#include "tests/support/region_memory.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace halshift::inspect;

// 64 KiB of random bytes, as varied as BIOS code, without a zero byte and without any table
// signature, so that every scan runs to its end and memchr for 0 finds nothing.
Bytes NoTableArea() {
  std::mt19937 random(1381);
  Bytes area(0x10000);
  for (auto& b : area) b = static_cast<std::uint8_t>(1 + random() % 255);
  for (std::size_t i = 0; i + 4 <= area.size(); ++i) {
    const auto upper = [&](std::size_t k) { return std::toupper(area[i + k]); };
    const bool sit = area[i] == '!' && upper(1) == 'S' && upper(2) == 'I' && upper(3) == 'T';
    const bool anchor = area[i] == '_' && area[i + 3] == '_';
    if (sit || anchor) area[i] = '#';
  }
  return area;
}

// An SMBIOS table of `count` structures, a quarter of them populated processor sockets.
Bytes SmbiosTable(int count) {
  Bytes table;
  for (int i = 0; i < count; ++i) {
    const bool processor = i % 4 == 0;
    Bytes s(processor ? 0x1A : 0x12, 0x11);
    s[0] = processor ? 4 : 17;
    s[1] = static_cast<std::uint8_t>(s.size());
    if (processor) s[0x18] = 0x41;
    table.insert(table.end(), s.begin(), s.end());
    for (const char* text : {"Socket 370", "Manufacturer"}) {
      table.insert(table.end(), text, text + std::strlen(text) + 1);
    }
    table.push_back(0);
  }
  return table;
}

constexpr std::uint32_t kTableAddress = 0x000E0000;

void AddEntryPoint(Bytes& area, std::size_t offset, const Bytes& table, int count) {
  Bytes ep(0x1F, 0);
  std::memcpy(ep.data(), "_SM_", 4);
  ep[0x05] = 0x1F;
  ep[0x06] = 2;
  ep[0x07] = 3;
  ep[0x16] = static_cast<std::uint8_t>(table.size());
  ep[0x17] = static_cast<std::uint8_t>(table.size() >> 8);
  for (int i = 0; i < 4; ++i) ep[0x18 + i] = static_cast<std::uint8_t>(kTableAddress >> (8 * i));
  ep[0x1C] = static_cast<std::uint8_t>(count);
  ep[0x1D] = static_cast<std::uint8_t>(count >> 8);
  unsigned sum = 0;
  for (auto b : ep) sum += b;
  ep[0x04] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
  std::copy(ep.begin(), ep.end(), area.begin() + static_cast<std::ptrdiff_t>(offset));
}

void BM_ReadFirmware_NoTables(benchmark::State& state) {
  halshift::testing::RegionMemory memory;
  memory.AddRegion(firmware::kBiosAreaAddress, NoTableArea());
  for (auto _ : state) benchmark::DoNotOptimize(ReadFirmwareProcessorInfo(memory));
  // The "!SIT" image, the SMBIOS image and the MP search's BIOS area are each scanned whole
  // (there is no memory at the EBDA to search).
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(firmware::kSitImageLength + firmware::kSmbiosImageLength +
                                                    firmware::kBiosSearchLength));
}
BENCHMARK(BM_ReadFirmware_NoTables);

void BM_ReadFirmware_SmbiosTable(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Bytes table = SmbiosTable(count);
  Bytes area = NoTableArea();
  // The entry point in the last paragraphs, so that the scan passes over almost all of it.
  AddEntryPoint(area, 0xFF00, table, count);
  halshift::testing::RegionMemory memory;
  memory.AddRegion(firmware::kBiosAreaAddress, area);
  memory.AddRegion(kTableAddress, table);
  memory.AddRegion(0, Bytes(0x1000, 0));  // EBDA segment 0: the first KiB holds no pointer
  std::int32_t processors = 0;
  for (auto _ : state) {
    const FirmwareProcessorInfo info = ReadFirmwareProcessorInfo(memory);
    processors = info.installedProcessors;
    benchmark::DoNotOptimize(info);
  }
  if (processors != (count + 3) / 4) state.SkipWithError("wrong processor count");
  // "!SIT" image, SMBIOS image, the table, then the MP search's two areas.
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(firmware::kSitImageLength + firmware::kSmbiosImageLength +
                                                    table.size() + firmware::kEbdaSearchLength +
                                                    firmware::kBiosSearchLength));
  state.counters["table_bytes"] = static_cast<double>(table.size());
}
BENCHMARK(BM_ReadFirmware_SmbiosTable)->Arg(300)->Arg(1000);

// The three scans alone over images already in memory: the "!SIT" signature search, the
// SMBIOS entry-point scan and the MP floating pointer search, each over its whole image,
// beside the floor of reading the same bytes: one memchr pass over each of the three images
// (memchr for a byte that none holds runs to the end).
void BM_Scans_NoTables(benchmark::State& state) {
  // Each turn repeats both often enough to be timed well apart from the clock.
  constexpr int kRepeats = 64;
  const Bytes area = NoTableArea();
  const std::span<const std::uint8_t> sitImage(area.data(), firmware::kSitImageLength);
  const std::span<const std::uint8_t> images[] = {sitImage, area, area};
  halshift::bench::WorkBesideFloor timer;
  const auto scans = [&] {
    for (int i = 0; i < kRepeats; ++i) {
      benchmark::DoNotOptimize(firmware::FindSitTable(sitImage));
      benchmark::DoNotOptimize(firmware::FindSmbiosEntryPoint(area));
      benchmark::DoNotOptimize(firmware::ContainsMpFloatingPointer(area));
      benchmark::ClobberMemory();
    }
    return true;
  };
  const auto floor = [&] {
    for (int i = 0; i < kRepeats; ++i) {
      for (const auto image : images) {
        benchmark::DoNotOptimize(std::memchr(image.data(), 0, image.size()));
      }
      benchmark::ClobberMemory();
    }
    return true;
  };
  for (auto _ : state) timer.Step(state, scans, floor);
  timer.Report(state);
  std::int64_t bytes = 0;
  for (const auto image : images) bytes += static_cast<std::int64_t>(image.size());
  state.SetBytesProcessed(state.iterations() * kRepeats * bytes);
}
BENCHMARK(BM_Scans_NoTables)->UseManualTime();

}  // namespace
