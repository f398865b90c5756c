// The two cut sweeps of a sequence of disk changes, shared by the file systems' sweep tests: a
// fresh copy of an image for every cut, the sequence run once uncut to count its calls and
// steps, then cut at each of them.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/image/machine_image.h"

namespace halshift::testing::disk {

// The files the sweeps' sequences replace, old and new: a HAL that grows (more clusters, a
// data run of its own) and a BOOT.INI that stays small (NTFS keeps it in its MFT record).
inline const std::string kOldHal(5000, 'u');
inline const std::string kNewHal(9000, 'm');
inline const std::string kOldBootIni = "[boot loader]\r\ntimeout=30\r\n";
inline const std::string kNewBootIni = "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\n";

// Where the sweeps keep their images: in memory where the host has a tmpfs. A run over an
// undo journal flushes the disk and the journal dozens of times, which on a real disk costs
// seconds per cut; the sweeps test the order of the writes, not their durability (a stopped
// process leaves the host's cache whole).
inline std::filesystem::path SweepScratch() {
  std::error_code ignored;
  const std::filesystem::path memory = "/dev/shm";
  if (std::filesystem::is_directory(memory, ignored) && access(memory.c_str(), W_OK) == 0) return memory;
  return std::filesystem::temp_directory_path();
}

// A sequence over an image; true when every step succeeded.
using DiskSequence = std::function<bool(const std::filesystem::path& image, image::FaultInjector* faults)>;

// What a cut run left: the image, and for a failed call the injector after the run.
struct Cut {
  std::filesystem::path image;
  bool finished = false;
  image::Call call = image::Call::kWriteDisk;
  int nth = 0;
  int calls = 0;                               // how many calls of that kind the uncut run made
  const image::FaultInjector* faults = nullptr;  // null after a stop
};

// A copy of base beside it, "cut.img", with no file left beside the copy by a cut before
// (an undo journal "cut.img.*").
inline std::filesystem::path FreshCopy(const std::filesystem::path& base) {
  auto copy = base;
  copy.replace_filename("cut.img");
  for (const auto& entry : std::filesystem::directory_iterator(copy.parent_path())) {
    if (entry.path().filename().string().starts_with("cut.img.")) std::filesystem::remove(entry.path());
  }
  std::filesystem::copy_file(base, copy, std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// Each WriteDisk call, then each FlushDisk call, failed from then on; check sees each cut.
inline void SweepFailedCalls(const std::filesystem::path& base, const DiskSequence& sequence,
                             const std::function<void(const Cut&)>& check) {
  image::FaultInjector counted;
  ASSERT_TRUE(sequence(FreshCopy(base), &counted));
  for (const image::Call call : {image::Call::kWriteDisk, image::Call::kFlushDisk}) {
    const int calls = counted.CallCount(call);
    for (int nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(std::string(image::NameOf(call)) + " " + std::to_string(nth) + " fails from then on");
      Cut cut{FreshCopy(base), false, call, nth, calls, nullptr};
      image::FaultInjector faults;
      faults.FailCall(call, nth, true);
      cut.finished = sequence(cut.image, &faults);
      cut.faults = &faults;
      check(cut);
    }
  }
}

// The process stopped just before each step (in a child, which ends with the stop's own exit
// code); check sees each cut.
inline void SweepStops(const std::filesystem::path& base, const DiskSequence& sequence,
                       const std::function<void(const Cut&)>& check) {
  image::FaultInjector counted;
  ASSERT_TRUE(sequence(FreshCopy(base), &counted));
  const int steps = counted.StepCount();
  ASSERT_GT(steps, 0);
  for (int step = 1; step <= steps; ++step) {
    SCOPED_TRACE("stopped at step " + std::to_string(step));
    Cut cut{FreshCopy(base), false, image::Call::kWriteDisk, step, steps, nullptr};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      image::FaultInjector faults;
      faults.StopAtStep(step);
      sequence(cut.image, &faults);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), image::FaultInjector::kStoppedExitCode);
    check(cut);
  }
}

}  // namespace halshift::testing::disk
