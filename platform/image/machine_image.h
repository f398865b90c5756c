// The machine image: a directory that stands for one Windows NT machine, serving the
// platform operations of SystemInfo, Registry, FileSystem, PhysicalMemory and NativeLinks.
//
// May contain: POSIX and C++ standard library calls, libmspack. Must not contain: any of the
// program's own logic; every rule about HALs, boot menus or logs lives outside platform/.
#pragma once

#include <filesystem>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/image/faults.h"
#include "platform/platform.h"

namespace halshift::image {

struct OfflineMachine;  // offline.h

// Makes chosen calls of the image's operations (faults.h) fail, or ends the process at a chosen
// step that changes the disk, for tests that prove that neither a failure nor a power cut
// loses data. Calls are counted from 1 for each operation, and steps from 1 across all of
// them, from the moment the injector was last reset; Reset also drops every rule.
class FaultInjector {
 public:
  // Makes the nth call (counted from 1) of the operation fail; with fromThenOn, that call and
  // every later one.
  void FailCall(Call call, int nth, bool fromThenOn = false);
  // Counts one call of the operation and tells whether it must fail.
  bool ShouldFail(Call call);
  // How many calls of the operation were counted.
  int CallCount(Call call) const;
  // How many calls were made to fail in all.
  int FailuresInjected() const { return failuresInjected_; }

  // The steps that change the disk are the host calls that create, write, flush, rename, link,
  // remove or change the attributes of a file or folder, and the close of a file written.
  // StopAtStep makes the process end on the spot just before the nth of them, as a power cut
  // or a kill would end it: _exit with kStoppedExitCode, so that no destructor runs and
  // nothing the program holds in its buffers is written.
  static constexpr int kStoppedExitCode = 86;
  void StopAtStep(int nth) {
    stopAtStep_ = nth;
    powerCut_ = false;
  }
  // As StopAtStep, but as a power cut on a machine whose disks keep their directories in a
  // cache: every change of a folder on a drive (an entry created, renamed or removed, a file
  // replaced by a rename, attributes changed) made since the last FlushVolume of that drive is
  // lost, as if it had never been made. With prefixSeed, of the n changes that would be lost
  // the oldest prefixSeed % (n + 1) reach the disk after all (a cache written out in part, in
  // order). Data written into a file that stays stays; the registry and machine.ini are not on
  // a drive and keep what was written (a mark of use follows its file back). The image
  // journals its changes from this call on, to be able to take them back: ask before the run.
  void CutPowerAtStep(int nth, std::optional<std::uint32_t> prefixSeed = std::nullopt) {
    stopAtStep_ = nth;
    powerCut_ = true;
    seed_ = prefixSeed;
    anyOrder_ = false;
  }
  // As CutPowerAtStep, but the disk wrote out its cache in part and in no set order: each of
  // the changes reached it or not as seed decides, except that the changes of one name (a
  // folder's with those below it, and every move of a mark of use) reach it in the order made,
  // so that one lost means every later one of that name lost too (as a FAT directory sector
  // holds a name's entry whole).
  void CutPowerInAnyOrderAtStep(int nth, std::uint32_t seed) {
    stopAtStep_ = nth;
    powerCut_ = true;
    seed_ = seed;
    anyOrder_ = true;
  }
  bool CutsPower() const { return powerCut_; }
  // The image's part of a power cut, run at the stop just before the process ends, with the
  // seed (none: every change lost) and whether the part kept is in any order.
  void OnPowerCut(std::function<void(std::optional<std::uint32_t> seed, bool anyOrder)> takeBack) {
    takeBack_ = std::move(takeBack);
  }
  // Counts one step; ends the process when it is the one asked for.
  void Step();
  int StepCount() const { return steps_; }
  // For a sequence whose every host step can fail on its own (the hive rewrite): makes the
  // nth step fail as its host call would, and StepFails counts a step as Step does and tells
  // whether it must fail.
  void FailAtStep(int nth) { failAtStep_ = nth; }
  bool StepFails();

  // Drops every rule and count (the image's part of a power cut stays).
  void Reset();

 private:
  struct Rule {
    int nth = 0;
    bool fromThenOn = false;
  };
  std::array<int, kCalls.size()> calls_{};
  std::array<std::optional<Rule>, kCalls.size()> rules_{};
  int failuresInjected_ = 0;
  int steps_ = 0;
  int stopAtStep_ = 0;
  bool powerCut_ = false;
  std::optional<std::uint32_t> seed_;
  bool anyOrder_ = false;
  std::function<void(std::optional<std::uint32_t>, bool)> takeBack_;
  int failAtStep_ = 0;
};

// Where Windows leaves room, the image answers as follows. GetModuleFileName is
// "<system drive>:\halshift\halshift.exe" (an image holds no program file). A file without
// read-only, hidden or system reports FILE_ATTRIBUTE_NORMAL; the archive bit is not kept.
// Paths without a drive lie on the drive of SystemDirectory, from its root; a drive letter in
// a recorded full path is upper-cased, as the system's full-path conversion does.
class MachineImage {
 public:
  // Reads machine.ini and registry.reg of the image directory, then removes the image's own
  // temporary files that a process ended in the middle of an operation left behind. On a
  // missing directory, a missing machine.ini or a line that does not parse, returns nothing,
  // changes nothing and sets error to a message naming the file and line.
  static std::unique_ptr<MachineImage> Open(const std::filesystem::path& directory,
                                            std::string& error);
  // The machine of an installation that is not running (offline.h): its drives are the named
  // folders, its registry its own hives, its physical memory the firmware area given, its
  // version that of its kernel, and nothing of it is in use. Refuses, with error set to one
  // line naming the fault and what to do, and nothing changed: a folder that holds no
  // installation, a hive that cannot be changed safely, a kernel without a version, media that
  // cannot be read, and a tree where a path the program reads or changes leads through a
  // symbolic link.
  static std::unique_ptr<MachineImage> OpenOffline(const OfflineMachine& machine,
                                                   std::string& error);
  ~MachineImage();

  // The services. Output files opened through Files() must be gone before the image is.
  platform::SystemInfo& System();
  platform::Registry& Registry();
  platform::FileSystem& Files();
  platform::PhysicalMemory& Memory();
  platform::NativeLinks& Links();
  FaultInjector& Faults();

  // For an offline machine on a disk image: what keeps the disk's state from before the session
  // (the qcow2 snapshot's name or the copy's path), empty when none was made.
  std::string DiskBackup() const;
  // Ends the session of an offline machine on a disk image: flushes its volumes, closes the
  // disk, opens it afresh and reads every file the session changed, comparing each with what
  // the session left. False, with error naming the first that differs or why the disk could not
  // be read, then. The image serves nothing afterwards. True at once for any other machine.
  bool VerifyDisk(std::string& error);

  // The host path that a Windows path maps to (for tests and the terminal interface); nothing
  // when the drive has no folder or the path would leave it.
  std::optional<std::filesystem::path> HostPath(std::string_view windowsPath);

  struct State;

 private:
  explicit MachineImage(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace halshift::image
