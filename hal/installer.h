// The system file installer: brings files from the installation media into the system
// directory as one change that no failure, kill or power cut can leave half done.
//
// A change runs in three phases:
// 1. Stage: every new file is copied from the media (VerInstallFile, which expands compressed
//    files) into the system directory under a temporary name of its own, given normal
//    attributes (a copy from a CD is read-only), flushed and read back. Nothing that exists
//    changes. A placeholder name is taken for each old file.
// 2. Record the intent (hal/intent_record.h) beside the activity log and flush it, then flush
//    the volumes the change touches (FileSystem::FlushVolume), so that the record and the
//    staged files are on the disk before anything moves.
// 3. Commit: for each file, the old one is moved aside to its placeholder (allowed while the
//    running system uses it) and the staged file is moved to its name; the volumes are flushed
//    and then CurrentType is written. The change stands. When the change keeps setup.log in
//    step, its lines of the new files are rewritten (hal/setup_log_file.h); a failure there
//    leaves the change standing. Old files that nothing uses are deleted, those in use are
//    scheduled for deletion at the next start, the volumes are flushed once more and the
//    record is removed.
// A failed call during the commit puts everything back. A process ended during it leaves the
// record, and FinishInterruptedChange completes the change at the next start, or undoes it when
// a staged file is not there whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/state.h"
#include "hal/intent_record.h"
#include "hal/setup_log_file.h"
#include "platform/platform.h"

namespace halshift::hal {

// A file-pair list half: bare file names (no directory part). Entry i of a source list pairs
// with entry i of a destination list; a walk stops at the end of the source list, so the
// destination list may be longer.
using FileNames = std::span<const std::string_view>;

// The prefixes of the temporary names a change gives files in the system directory: a new
// file while it is staged, and the placeholder an old file is moved aside to.
inline constexpr std::string_view kStagedPrefix = "hsn";
inline constexpr std::string_view kPlaceholderPrefix = "del";

// FindFirstFileA, closed at once: a file, a directory or any match of a wildcard pattern.
bool FileExists(platform::FileSystem& files, std::string_view path);

// True when the path exists, or exists in its compressed form: the last character of the
// name replaced by "_" ("HAL.DL_" for "HAL.DLL").
bool SourceFileExists(platform::FileSystem& files, std::string_view path);

// Where a change records its intent: beside the activity log on the system drive.
std::string IntentRecordPath(platform::Platform& machine);

// Why staging failed.
enum class StagingFailure {
  kNone,
  kSource,       // a source exists under neither name or cannot be read, or the record of an
                 // unfinished change is still there
  kDiskFull,     // the system directory's disk has no room for a new file
  kDestination,  // the system directory takes no new file (access, sharing, a failed create)
};

// One change of system files on machine, from installation.sourceDirectory into
// installation.systemDirectory (as they are when the change is made). Whatever it staged and
// did not commit is removed when it goes.
class SystemFileChange {
 public:
  SystemFileChange(platform::Platform& machine, const HalInstallation& installation);
  ~SystemFileChange();
  SystemFileChange(const SystemFileChange&) = delete;
  SystemFileChange& operator=(const SystemFileChange&) = delete;

  // Stages the pairs. False, with everything it made removed, when the source list is empty,
  // the destination list is shorter, a source exists under neither name, a file cannot be
  // staged whole, or the intent record of an unfinished change is still there (the next start
  // finishes that one first).
  bool Stage(FileNames sourceNames, FileNames destinationNames);
  // Why the last Stage failed; kNone after one that succeeded.
  StagingFailure Failure() const { return failure_; }

  // A staged file, for checks of the media before anything changes.
  struct StagedFile {
    std::string sourceName;       // as the list names it (the plain name)
    std::string destinationName;
    std::string bytes;            // the new file as it was staged
  };
  const std::vector<StagedFile>& Staged() const { return staged_; }

  // Makes the change keep setup.log of systemRoot in step once it stands, also when the next
  // start finishes it (the record names setup.log). Nothing for an empty systemRoot.
  void KeepSetupLogInStep(std::string_view systemRoot);

  // Records the intent and commits the staged files, then writes currentType when given. True
  // when the change stands; false, with every file and CurrentType as they were (or, when even
  // putting back fails, the record left for the next start), when any step fails.
  bool Commit(std::optional<std::string_view> currentType);

  // Removes what was staged, and the placeholders taken.
  void Abandon();

  // What the commit did to setup.log; kUnchanged before a commit and for a change that does
  // not keep it in step.
  SetupLogUpdate SetupLogOutcome() const { return setupLog_; }

 private:
  // Stages one pair: false, with failure_ saying why, when it cannot be staged whole.
  bool StageFile(std::string_view sourceName, std::string_view destinationName);
  // Copies the media file (the compressed name when the plain one cannot be read) to
  // stagedName in the system directory; the installer's result flags, 0 on success.
  std::uint32_t CopyFromMedia(std::string_view sourceName, const std::string& stagedName);

  platform::Platform& machine_;
  std::string sourceDirectory_;
  std::string systemDirectory_;
  std::vector<StagedFile> staged_;
  IntentRecord record_;
  bool committed_ = false;
  StagingFailure failure_ = StagingFailure::kNone;
  SetupLogUpdate setupLog_ = SetupLogUpdate::kUnchanged;
};

// Stages and commits the pairs without a HAL kind: true when all of them stand; on false the
// system directory holds what it held before.
bool InstallFiles(platform::Platform& machine, const HalInstallation& installation,
                  FileNames sourceNames, FileNames destinationNames);

// What start-up found of a change that an ended process left unfinished.
enum class InterruptedChange {
  kNone,       // no intent record
  kCompleted,  // every file was there whole: the change was finished
  kUndone,     // a new file was missing or cut off, or the record was: the change was undone
  kFailed,     // a step failed; the record stays for the next start
};

struct FinishedChange {
  InterruptedChange outcome = InterruptedChange::kNone;
  // What completing the change did to setup.log; kUnchanged unless the change was completed.
  SetupLogUpdate setupLog = SetupLogUpdate::kUnchanged;
  std::string setupLogPath;  // the one the record names
};

// Finishes the change recorded beside the activity log, if there is one (a completed change
// also keeps setup.log in step when its record says so), and then, when no record is left,
// removes the temporary files that an interrupted change leaves: staged files and placeholders
// that never received an old file in the system directory, and a setup.log rewrite's
// temporary files in the repair folder.
FinishedChange FinishInterruptedChange(platform::Platform& machine);

}  // namespace halshift::hal
