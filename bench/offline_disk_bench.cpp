// The offline switch "upgrade_hal enable_recovery" on a FAT16 disk image, started as a user
// starts it, beside mtools putting the same changed files into a copy of the same image: the
// ratio is what the program costs over writing the files it changes, for a disk whose size has
// no part in either. The floor is a careful copy of those files that ends with them on the
// disk, as the switch does: mcopy -i, then one fsync of the image file (`sync FILE`; not
// `sync -f`, which writes out the whole file system and so whatever else is pending on it).
// Nothing slower: the switch's own flushes between its steps, which let a cut or a stop at
// any point leave a disk the next run mends, are its cost over the floor.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/ratio.h"
#include "tests/offline/disk_tree.h"

namespace {

namespace fs = std::filesystem;
using halshift::testing::disk::Quoted;
using halshift::testing::disk::Shell;

// A program run with its output dropped; false unless it ends with 0 or 1 (the switch's
// success).
bool Run(const std::vector<std::string>& arguments) {
  const halshift::testing::ProgramRun run = halshift::testing::RunCommand(arguments, false);
  return run.exitCode == 0 || run.exitCode == 1;
}

// The installation as a raw disk, and the files the switch changes on it, found by one run.
struct Fixture {
  halshift::testing::TempImage tree;
  halshift::testing::disk::TempFolder folder;
  fs::path pristine;
  fs::path changes;
  bool ready = false;

  std::vector<std::string> Switch(const fs::path& disk) const {
    return {HALSHIFT_PROGRAM, "--offline", disk.string(), "--no-backup", "--cpus", "2", "--media",
            halshift::testing::DriveFolder(tree, 'D'), "upgrade_hal", "enable_recovery"};
  }

  Fixture() {
    halshift::testing::MakeOfflineTree(tree);
    pristine = folder / "pristine.img";
    const auto image = halshift::testing::MakeDiskFromTree(tree, pristine);
    const fs::path switched = folder / "switched.img";
    const fs::path before = folder / "before";
    const fs::path after = folder / "after";
    changes = folder / "changes";
    const std::string volume = "@@" + std::to_string(image.offset);
    ready = Shell("cp --sparse=always " + Quoted(pristine) + " " + Quoted(switched)).status == 0 &&
            Run(Switch(switched)) &&
            Shell("mkdir -p " + Quoted(before) + " " + Quoted(after) + " && mcopy -s -n -i " +
                  Quoted(pristine.string() + volume) + " '::/*' " + Quoted(before) +
                  " && mcopy -s -n -i " + Quoted(switched.string() + volume) + " '::/*' " + Quoted(after))
                    .status == 0;
    // The files that are new or other after the switch, in their folders.
    for (const auto& entry : fs::recursive_directory_iterator(after)) {
      if (!entry.is_regular_file()) continue;
      const fs::path relative = entry.path().lexically_relative(after);
      const fs::path old = before / relative;
      if (fs::exists(old) && halshift::testing::disk::ReadBytes(old) ==
                                 halshift::testing::disk::ReadBytes(entry.path())) {
        continue;
      }
      fs::create_directories((changes / relative).parent_path());
      fs::copy_file(entry.path(), changes / relative);
    }
    ready = ready && fs::exists(changes);
  }
};

void BM_OfflineDiskSwitch(benchmark::State& state) {
  static Fixture fixture;
  if (!fixture.ready) {
    state.SkipWithError("the disk or the reference switch could not be made");
    return;
  }
  const fs::path work = fixture.folder / "work.img";
  const fs::path floor = fixture.folder / "floor.img";
  const std::string mcopy = "cd " + Quoted(fixture.changes) + " && mcopy -s -o -D o -Q -i " +
                            Quoted(floor.string() + "@@" + std::to_string(halshift::testing::kPartitionStart)) +
                            " * ::/ && sync " + Quoted(floor);
  halshift::bench::WorkBesideFloor timer;
  for (auto _ : state) {
    if (Shell("cp --sparse=always " + Quoted(fixture.pristine) + " " + Quoted(work) + " && cp --sparse=always " +
              Quoted(fixture.pristine) + " " + Quoted(floor)).status != 0 ||
        !timer.Step(state, [&] { return Run(fixture.Switch(work)); },
                    [&] { return Run({"sh", "-c", mcopy}); })) {
      state.SkipWithError("a run failed");
      return;
    }
  }
  timer.Report(state);
}
BENCHMARK(BM_OfflineDiskSwitch)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
