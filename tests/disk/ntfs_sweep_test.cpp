// A cut at every write of a create, write, rename-over and attribute sequence on an NTFS
// volume: each write failed from then on, and the process stopped at each step. Each cut is
// measured (ntfsfix -n, each file old, new or staged, whether the next run finishes) and the
// table printed; see Report for what is required.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/image/machine_image.h"
#include "platform/image/ntfs_volume.h"
#include "tests/disk/ntfs_tools.h"

// When a write fails, libntfs-3g's ntfs_inode_close keeps the inode it could not write back
// (ntfs_delete, ntfs_link and ntfs_umount close theirs so) and the memory is not freed. Those
// leaks are the library's; this binary alone lets them go, and the volume's other tests,
// whose writes do not fail, run without the suppression.
extern "C" const char* __lsan_default_suppressions() { return "leak:libntfs-3g.so\n"; }

namespace halshift::image {
namespace {

using namespace testing::disk;

const std::string kOldHal(5000, 'u');
const std::string kNewHal(9000, 'm');
const std::string kOldBootIni = "[boot loader]\r\ntimeout=30\r\n";
const std::string kNewBootIni = "[boot loader]\r\ntimeout=30\r\n[operating systems]\r\n";

// The sequence; true when every step succeeded.
bool RunSequence(const std::filesystem::path& image, FaultInjector* faults) {
  std::string error;
  auto device = RawDevice::Open(image, true, faults, error);
  if (!device) return false;
  auto volume = NtfsVolume::Mount(*device, error);
  if (!volume) {
    if (getenv("HALSHIFT_NTFS_SWEEP_VERBOSE") != nullptr) std::printf("next run: %s\n", error.c_str());
    return false;
  }
  // A staged file is complete when its target's name is gone: the rename comes only after the
  // staged data was flushed. Otherwise it is written again.
  const bool halStaged = !volume->Find("WINNT\\SYSTEM32\\HAL.DLL");
  const bool bootStaged = !volume->Find("BOOT.INI");
  bool ok = halStaged || volume->WriteFile("WINNT\\SYSTEM32\\HALMPS.DL$", BytesOf(kNewHal));
  ok = ok && volume->Flush();
  ok = ok && volume->Rename("WINNT\\SYSTEM32\\HALMPS.DL$", "HAL.DLL");
  ok = ok && volume->Flush();
  ok = ok && (bootStaged || volume->WriteFile("BOOT.TMP", BytesOf(kNewBootIni)));
  ok = ok && volume->Flush();
  ok = ok && volume->Rename("BOOT.TMP", "BOOT.INI");
  ok = ok && volume->SetAttributes("BOOT.INI", ntfs::kReadOnly | ntfs::kSystem | ntfs::kHidden);
  ok = ok && volume->Flush();
  if (!ok && getenv("HALSHIFT_NTFS_SWEEP_VERBOSE") != nullptr) std::printf("next run: %s\n", volume->LastError().c_str());
  return ok;
}

// What one cut left, as measured.
struct CutResult {
  bool consistent = false;  // ntfsfix -n
  std::string halOutcome, bootOutcome;
  bool nextRunFinished = false;  // and left the volume consistent and both files new
};

class NtfsSweepTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    base_ = folder_ / "base.img";
    ASSERT_TRUE(MakeNtfs(base_, 8));
    ASSERT_TRUE(MakeNtfsFolder(base_, "", "WINNT"));
    ASSERT_TRUE(MakeNtfsFolder(base_, "/WINNT", "SYSTEM32"));
    ASSERT_TRUE(PutNtfsFile(base_, "WINNT/SYSTEM32/HAL.DLL", kOldHal, folder_));
    ASSERT_TRUE(PutNtfsFile(base_, "BOOT.INI", kOldBootIni, folder_));
    if (GetParam() == 1) {
      ASSERT_TRUE(SetNtfsVersion(base_, 1, 2));
    }
    ASSERT_TRUE(NtfsConsistent(base_));
  }

  std::filesystem::path FreshCopy() {
    const auto copy = folder_ / "cut.img";
    std::filesystem::copy_file(base_, copy, std::filesystem::copy_options::overwrite_existing);
    return copy;
  }

  // One file after a cut: "old", "new", "staged" (its name missing, the staged copy new) or
  // "unreadable". Any other content is a failure: a file never reads as mixed bytes.
  std::string FileOutcome(const std::filesystem::path& image, const std::string& name, const std::string& staged,
                          const std::string& oldText, const std::string& newText) {
    const RunResult file = CatNtfsFile(image, name);
    if (file.status == 0 && file.output == oldText) return "old";
    if (file.status == 0 && file.output == newText) return "new";
    if (file.status != 0 && CatNtfsFile(image, staged).output == newText) return "staged";
    EXPECT_NE(file.status, 0) << name << " reads as neither old nor new: " << file.output.substr(0, 80);
    return "unreadable";
  }

  // The checks after a cut, then the next run and the checks after it.
  CutResult CheckCutAndNextRun(const std::filesystem::path& image) {
    CutResult result;
    result.consistent = NtfsConsistent(image);
    result.halOutcome = FileOutcome(image, "WINNT/SYSTEM32/HAL.DLL", "WINNT/SYSTEM32/HALMPS.DL$", kOldHal, kNewHal);
    result.bootOutcome = FileOutcome(image, "BOOT.INI", "BOOT.TMP", kOldBootIni, kNewBootIni);
    result.nextRunFinished = RunSequence(image, nullptr) && NtfsConsistent(image) &&
                             CatNtfsFile(image, "WINNT/SYSTEM32/HAL.DLL").output == kNewHal &&
                             CatNtfsFile(image, "BOOT.INI").output == kNewBootIni;
    return result;
  }

  // libntfs-3g keeps no journal and writes a change as several records in its own order: an
  // index entry before the MFT record it points to, an MFT record before its copy in
  // $MFTMirr, a new record before its data attribute. A cut between them leaves what no order
  // of halshift's own calls avoids: libntfs-3g then refuses to mount the volume ($MFTMirr
  // differs from $MFT; Windows' chkdsk repairs it), or the next run finds an entry whose
  // record or data it cannot open. The sweeps therefore measure every cut and print the
  // table. What they require holds at every cut: no file reads as bytes other than its old or
  // new ones (FileOutcome), and a cut at the first write is finished by the next run.
  void Report(const std::string& what, const std::vector<CutResult>& results) {
    int inconsistent = 0, unfinished = 0, unreadable = 0;
    std::string table;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const CutResult& cut = results[i];
      inconsistent += cut.consistent ? 0 : 1;
      unfinished += cut.nextRunFinished ? 0 : 1;
      unreadable += (cut.halOutcome == "unreadable" || cut.bootOutcome == "unreadable") ? 1 : 0;
      table += "  " + std::to_string(i + 1) + ": ntfsfix " + (cut.consistent ? "clean" : "FAILS") + ", HAL.DLL " +
               cut.halOutcome + ", BOOT.INI " + cut.bootOutcome + ", next run " +
               (cut.nextRunFinished ? "finishes" : "FAILS") + "\n";
    }
    // A cut at the first write changes nothing that the next run cannot finish.
    ASSERT_FALSE(results.empty());
    EXPECT_TRUE(results.front().nextRunFinished) << what;
    std::printf("%s: %zu cuts, %d inconsistent for ntfsfix -n, %d with a file unreadable, %d not finished by the "
                "next run\n%s",
                what.c_str(), results.size(), inconsistent, unreadable, unfinished, table.c_str());
  }

  TempFolder folder_;
  std::filesystem::path base_;
};

TEST_P(NtfsSweepTest, UncutSequenceIsCleanAndComplete) {
  const auto image = FreshCopy();
  FaultInjector faults;
  ASSERT_TRUE(RunSequence(image, &faults));
  std::string report;
  EXPECT_TRUE(NtfsConsistent(image, &report)) << report;
  EXPECT_EQ(CatNtfsFile(image, "WINNT/SYSTEM32/HAL.DLL").output, kNewHal);
  EXPECT_EQ(CatNtfsFile(image, "BOOT.INI").output, kNewBootIni);
  EXPECT_GT(faults.CallCount(Call::kWriteDisk), 10);
  EXPECT_GE(faults.CallCount(Call::kFlushDisk), 4);
}

TEST_P(NtfsSweepTest, EveryWriteFailedFromThenOnLeavesAConsistentVolume) {
  FaultInjector counted;
  ASSERT_TRUE(RunSequence(FreshCopy(), &counted));
  const int writes = counted.CallCount(Call::kWriteDisk);
  const int flushes = counted.CallCount(Call::kFlushDisk);
  std::vector<CutResult> results;
  for (const auto& [call, calls] : {std::pair{Call::kWriteDisk, writes}, std::pair{Call::kFlushDisk, flushes}}) {
    for (int nth = 1; nth <= calls; ++nth) {
      SCOPED_TRACE(std::string(NameOf(call)) + " " + std::to_string(nth) + " fails from then on");
      const auto image = FreshCopy();
      FaultInjector faults;
      faults.FailCall(call, nth, true);
      const bool finished = RunSequence(image, &faults);
      // The last flush is the unmount's, whose failure libntfs-3g does not report.
      if (call == Call::kWriteDisk || nth < calls) {
        EXPECT_FALSE(finished);
      }
      results.push_back(CheckCutAndNextRun(image));
    }
    Report(std::string(NameOf(call)) + " failed from then on", results);
    results.clear();
  }
}

TEST_P(NtfsSweepTest, ProcessStoppedAtEveryStepLeavesAConsistentVolume) {
  FaultInjector counted;
  ASSERT_TRUE(RunSequence(FreshCopy(), &counted));
  const int steps = counted.StepCount();
  ASSERT_GT(steps, 0);
  std::vector<CutResult> results;
  for (int step = 1; step <= steps; ++step) {
    SCOPED_TRACE("stopped at step " + std::to_string(step));
    const auto image = FreshCopy();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      FaultInjector faults;
      faults.StopAtStep(step);
      RunSequence(image, &faults);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    results.push_back(CheckCutAndNextRun(image));
  }
  Report("stopped at each step", results);
}

INSTANTIATE_TEST_SUITE_P(Versions, NtfsSweepTest, ::testing::Values(3, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return param.param == 3 ? std::string("V3_1") : std::string("V1_2");
                         });

}  // namespace
}  // namespace halshift::image
