// The system file installer: staging, the intent record, the commit, putting back, and
// finishing an interrupted change at the next start.
#include "hal/installer.h"

#include "core/locations.h"
#include "core/registry_values.h"
#include "base/winpath.h"
#include "core/whole_file.h"

namespace halshift::hal {
namespace {

std::string RecordFolderDrive(platform::Platform& machine) {
  return winpath::DriveDesignation(machine.system.GetSystemDirectory());
}

// The size of an existing file; nothing when there is none.
std::optional<std::uint64_t> SizeOf(platform::FileSystem& files, std::string_view path) {
  const auto found = files.FindFiles(path);
  if (found.size() != 1) return std::nullopt;
  return found.front().size;
}

// Whether path holds the new file of this record entry, whole.
bool HoldsNewFile(platform::FileSystem& files, std::string_view path, const IntentFile& file) {
  const auto bytes = files.ReadFile(path);
  return bytes && bytes->size() == file.size && ContentHash(*bytes) == file.hash;
}

// A placeholder that never received an old file is empty; one that did holds it.
void RemoveEmptyPlaceholder(platform::FileSystem& files, std::string_view path) {
  if (!path.empty() && SizeOf(files, path) == std::uint64_t{0}) files.DeleteFile(path);
}

// Afterwards the destination holds the new file, and the old one, if there was one, lies aside.
// Each step finds out first whether an earlier, interrupted run already made it.
bool MoveIn(platform::FileSystem& files, const IntentFile& file) {
  if (HoldsNewFile(files, file.destinationPath, file)) return true;
  if (!HoldsNewFile(files, file.stagedPath, file)) return false;
  if (!file.asidePath.empty() && FileExists(files, file.destinationPath)) {
    files.SetFileAttributes(file.destinationPath, platform::kFileAttributeNormal);
    // One step: the placeholder is replaced by the old file, which may be in use.
    if (!files.MoveFileEx(file.destinationPath, file.asidePath,
                          platform::kMoveFileReplaceExisting)) {
      return false;
    }
  }
  return files.MoveFile(file.stagedPath, file.destinationPath);
}

// Afterwards the destination holds the old file again (or nothing, where there was none), and
// neither the staged file nor an unused placeholder is left.
bool MoveBack(platform::FileSystem& files, const IntentFile& file) {
  const bool oldFileAside =
      !file.asidePath.empty() && SizeOf(files, file.asidePath).value_or(0) > 0;
  if (oldFileAside) {
    if (FileExists(files, file.destinationPath)) {
      // The new file: nothing uses it yet.
      files.SetFileAttributes(file.destinationPath, platform::kFileAttributeNormal);
      if (!files.DeleteFile(file.destinationPath)) return false;
    }
    if (!files.MoveFile(file.asidePath, file.destinationPath)) return false;
    files.SetFileAttributes(file.destinationPath, RestorableAttributes(file.attributes));
  } else if (!file.asidePath.empty()) {
    // The old file never left; a step on the way may have cleared its attributes.
    if (FileExists(files, file.destinationPath)) {
      files.SetFileAttributes(file.destinationPath, RestorableAttributes(file.attributes));
    }
  } else if (HoldsNewFile(files, file.destinationPath, file)) {
    files.SetFileAttributes(file.destinationPath, platform::kFileAttributeNormal);
    if (!files.DeleteFile(file.destinationPath)) return false;
  }
  RemoveFile(files, file.stagedPath);
  RemoveEmptyPlaceholder(files, file.asidePath);
  return true;
}

// Once the change stands, what is left of it goes: an old file that nothing uses is deleted
// now, one in use is scheduled for deletion at the next start. False when an old file could be
// neither: the record then stays, and the next start tries again.
bool Settle(platform::FileSystem& files, const IntentRecord& record) {
  bool settled = true;
  for (const IntentFile& file : record.files) {
    RemoveFile(files, file.stagedPath);
    if (file.asidePath.empty() || !FileExists(files, file.asidePath)) continue;
    files.SetFileAttributes(file.asidePath, platform::kFileAttributeNormal);
    if (files.DeleteFile(file.asidePath)) continue;
    settled = files.MoveFileEx(file.asidePath, std::nullopt,
                               platform::kMoveFileDelayUntilReboot) &&
              settled;
  }
  return settled;
}

// Makes durable every change so far on the drives that a change touches: the record's, the
// destinations' and setup.log's. On NT 4.0's FAT a rename, a creation or a removal stays in
// the cache, and the cache reaches the disk in no set order, until the volume is flushed; each
// call below marks a point before which what was done must be on the disk.
bool FlushChangeVolumes(platform::Platform& machine, const IntentRecord& record) {
  std::vector<std::string> drives{RecordFolderDrive(machine)};
  const auto add = [&drives](std::string_view path) {
    if (path.size() < 2 || path[1] != ':') return;
    const std::string drive = winpath::FoldCase(winpath::DriveDesignation(path));
    for (const std::string& known : drives) {
      if (winpath::FoldCase(known) == drive) return;
    }
    drives.push_back(drive);
  };
  for (const IntentFile& file : record.files) add(file.destinationPath);
  add(record.setupLogPath);
  bool flushed = true;
  for (const std::string& drive : drives) flushed = machine.files.FlushVolume(drive) && flushed;
  return flushed;
}

// The record is whole on disk when this returns true.
bool WriteRecord(platform::Platform& machine, const std::string& path, const IntentRecord& record) {
  const std::string drive = RecordFolderDrive(machine);
  machine.files.CreateDirectory(locations::ProgramFolder(drive));
  machine.files.CreateDirectory(locations::LogFolder(drive));
  auto out = machine.files.OpenFile(path, platform::OpenMode::kCreateTruncate);
  if (!out) return false;
  const bool written = out->Write(FormatIntentRecord(record));
  const bool closed = out->Close();
  if (written && closed) return true;
  machine.files.DeleteFile(path);
  return false;
}

bool CompleteChange(platform::Platform& machine, const IntentRecord& record) {
  for (const IntentFile& file : record.files) {
    if (!MoveIn(machine.files, file)) return false;
  }
  // Every file is in place on the disk before the kind that names them is recorded: CurrentType
  // reaches the disk at once, and a new kind beside old files would not start. Without the
  // flush the change cannot stand, and is put back.
  if (!FlushChangeVolumes(machine, record)) return false;
  if (record.currentType &&
      registry_values::WriteCurrentType(machine.registry, *record.currentType) != platform::kErrorSuccess) {
    return false;
  }
  return true;
}

bool UndoChange(platform::FileSystem& files, const IntentRecord& record) {
  bool undone = true;
  for (std::size_t i = record.files.size(); i-- > 0;) {
    undone = MoveBack(files, record.files[i]) && undone;
  }
  return undone;
}

// The temporary files a change leaves in the system directory when it is cut off before its
// record is written: staged files, and placeholders that never received an old file. No
// record names them, so a file is taken for one only by the exact form of its name (and a
// placeholder only when empty): a user's hsnotes.TMP or delete.tmp is not the program's.
void RemoveLeftovers(platform::Platform& machine) {
  const std::string systemDirectory = registry_values::ReadSystemDirectory(machine.registry);
  RemoveTemporaryFiles(machine.files, systemDirectory, kStagedPrefix);
  RemoveTemporaryFiles(machine.files, systemDirectory, kPlaceholderPrefix, true);
  RemoveSetupLogLeftovers(machine.files, registry_values::ReadSystemRoot(machine.registry));
}

}  // namespace

bool FileExists(platform::FileSystem& files, std::string_view path) {
  return files.FindFirstFile(path);
}

bool SourceFileExists(platform::FileSystem& files, std::string_view path) {
  if (FileExists(files, path)) return true;
  if (path.empty()) return false;
  std::string compressed(path);
  compressed.back() = '_';
  return FileExists(files, compressed);
}

std::string IntentRecordPath(platform::Platform& machine) {
  return locations::IntentRecordPath(RecordFolderDrive(machine));
}

SystemFileChange::SystemFileChange(platform::Platform& machine,
                                   const HalInstallation& installation)
    : machine_(machine),
      sourceDirectory_(installation.sourceDirectory),
      systemDirectory_(installation.systemDirectory) {}

SystemFileChange::~SystemFileChange() {
  if (!committed_) Abandon();
}

bool SystemFileChange::Stage(FileNames sourceNames, FileNames destinationNames) {
  platform::FileSystem& files = machine_.files;
  failure_ = StagingFailure::kSource;
  if (sourceNames.empty() || destinationNames.size() < sourceNames.size()) return false;
  // An unfinished change waits for the next start; a new one must not take its record.
  if (FileExists(files, IntentRecordPath(machine_))) return false;

  for (std::size_t i = 0; i < sourceNames.size(); ++i) {
    if (!StageFile(sourceNames[i], destinationNames[i])) break;
  }
  // Every new file is on the disk before the record that names it can be.
  std::vector<std::string> stagedPaths;
  for (const IntentFile& file : record_.files) stagedPaths.push_back(file.stagedPath);
  if (staged_.size() == sourceNames.size()) {
    failure_ = StagingFailure::kDestination;
    if (files.FlushFiles(stagedPaths)) {
      failure_ = StagingFailure::kNone;
      return true;
    }
  }
  Abandon();
  return false;
}

std::uint32_t SystemFileChange::CopyFromMedia(std::string_view sourceName,
                                              const std::string& stagedName) {
  platform::FileSystem& files = machine_.files;
  const auto install = [&](const std::string& mediaName) {
    std::string tempName;
    const std::uint32_t result =
        files.VerInstallFile(platform::kViffForceInstall, mediaName, stagedName,
                             sourceDirectory_, systemDirectory_, systemDirectory_, tempName);
    if (result != 0 && (result & platform::kVifTempFile) != 0 && !tempName.empty()) {
      // The installer's own temporary copy is the caller's to remove.
      RemoveFile(files, tempName.find_first_of("\\:") != std::string::npos
                            ? tempName
                            : winpath::JoinUnchecked(systemDirectory_, tempName));
    }
    return result;
  };
  // Only a source that cannot be read sends the installer to the compressed name; a failure
  // on the side of the system directory (no room, no access) would fail there too.
  std::uint32_t result = install(std::string(sourceName));
  if ((result & platform::kVifCannotReadSrc) != 0) {
    std::string compressedName(sourceName);
    compressedName.back() = '_';
    result = install(compressedName);
  }
  return result;
}

bool SystemFileChange::StageFile(std::string_view sourceName, std::string_view destinationName) {
  platform::FileSystem& files = machine_.files;
  failure_ = StagingFailure::kSource;
  if (!SourceFileExists(files, winpath::JoinUnchecked(sourceDirectory_, sourceName))) return false;

  failure_ = StagingFailure::kDestination;
  const auto stagedPath = files.GetTempFileName(systemDirectory_, kStagedPrefix);
  if (!stagedPath) return false;
  IntentFile& file = record_.files.emplace_back();
  file.stagedPath = *stagedPath;
  file.destinationPath = winpath::JoinUnchecked(systemDirectory_, destinationName);
  file.mediaName = std::string(sourceName);

  const std::uint32_t result = CopyFromMedia(sourceName, std::string(winpath::FileNameOf(*stagedPath)));
  if (result != 0) {
    failure_ = (result & platform::kVifCannotReadSrc) != 0 ? StagingFailure::kSource
               : (result & platform::kVifOutOfSpace) != 0  ? StagingFailure::kDiskFull
                                                            : StagingFailure::kDestination;
    return false;
  }
  // A copy from a CD is read-only, and a read-only file can be neither flushed nor moved
  // over later.
  files.SetFileAttributes(*stagedPath, platform::kFileAttributeNormal);
  auto bytes = files.ReadFile(*stagedPath);
  if (!bytes) return false;
  file.size = bytes->size();
  file.hash = ContentHash(*bytes);

  const std::uint32_t attributes = files.GetFileAttributes(file.destinationPath);
  // Two questions: a single failed query must not make an existing file look absent.
  if (attributes != platform::kInvalidFileAttributes || FileExists(files, file.destinationPath)) {
    file.attributes = attributes != platform::kInvalidFileAttributes
                          ? attributes
                          : platform::kFileAttributeNormal;
    const auto placeholder = files.GetTempFileName(systemDirectory_, kPlaceholderPrefix);
    if (!placeholder) return false;
    file.asidePath = *placeholder;
  }
  staged_.push_back({std::string(sourceName), std::string(destinationName), std::move(*bytes)});
  return true;
}

void SystemFileChange::KeepSetupLogInStep(std::string_view systemRoot) {
  if (systemRoot.empty()) return;
  record_.setupLogPath = SetupLogPath(systemRoot);
  record_.systemRoot = std::string(systemRoot);
}

bool SystemFileChange::Commit(std::optional<std::string_view> currentType) {
  if (committed_ || staged_.empty()) return false;
  if (currentType) record_.currentType = std::string(*currentType);
  const std::string recordPath = IntentRecordPath(machine_);
  if (!WriteRecord(machine_, recordPath, record_)) {
    Abandon();
    return false;
  }
  // The record, and the staged files it names, are on the disk before the first old file
  // moves: a cut must never find files moved and no record. Without that the change does not
  // begin.
  if (!FlushChangeVolumes(machine_, record_)) {
    machine_.files.DeleteFile(recordPath);
    Abandon();
    return false;
  }
  committed_ = true;
  if (!CompleteChange(machine_, record_)) {
    // The record goes only when everything is back on the disk; otherwise the next start
    // finishes it.
    if (UndoChange(machine_.files, record_) && FlushChangeVolumes(machine_, record_)) {
      machine_.files.DeleteFile(recordPath);
    }
    return false;
  }
  // The change stands even when setup.log cannot follow it, or the record stays: the next
  // start finds every file in place and completes it once more (a second rewrite of
  // setup.log finds its lines as asked). The record goes only once CurrentType, setup.log and
  // the removal of the old files are on the disk; when they cannot be made so, it stays.
  setupLog_ = UpdateSetupLog(machine_.files, record_);
  if (Settle(machine_.files, record_) && FlushChangeVolumes(machine_, record_)) {
    machine_.files.DeleteFile(recordPath);
  }
  return true;
}

void SystemFileChange::Abandon() {
  for (const IntentFile& file : record_.files) {
    RemoveFile(machine_.files, file.stagedPath);
    RemoveEmptyPlaceholder(machine_.files, file.asidePath);
  }
  record_.files.clear();
  staged_.clear();
}

bool InstallFiles(platform::Platform& machine, const HalInstallation& installation,
                  FileNames sourceNames, FileNames destinationNames) {
  SystemFileChange change(machine, installation);
  return change.Stage(sourceNames, destinationNames) && change.Commit(std::nullopt);
}

FinishedChange FinishInterruptedChange(platform::Platform& machine) {
  const std::string recordPath = IntentRecordPath(machine);
  FinishedChange finished;
  InterruptedChange& outcome = finished.outcome;
  if (FileExists(machine.files, recordPath)) {
    const auto text = machine.files.ReadFile(recordPath);
    const auto record = text ? ParseIntentRecord(*text) : std::nullopt;
    if (!text) {
      outcome = InterruptedChange::kFailed;
    } else if (!record) {
      // Cut off while it was written: no existing file had been touched yet.
      outcome = machine.files.DeleteFile(recordPath) ? InterruptedChange::kUndone
                                                     : InterruptedChange::kFailed;
    } else {
      bool complete = true;
      for (const IntentFile& file : record->files) {
        complete = complete && (HoldsNewFile(machine.files, file.stagedPath, file) ||
                                HoldsNewFile(machine.files, file.destinationPath, file));
      }
      if (complete && CompleteChange(machine, *record)) {
        finished.setupLog = UpdateSetupLog(machine.files, *record);
        finished.setupLogPath = record->setupLogPath;
        outcome = Settle(machine.files, *record) && FlushChangeVolumes(machine, *record) &&
                          machine.files.DeleteFile(recordPath)
                      ? InterruptedChange::kCompleted
                      : InterruptedChange::kFailed;
      } else if (complete) {
        outcome = InterruptedChange::kFailed;
      } else {
        outcome = UndoChange(machine.files, *record) && FlushChangeVolumes(machine, *record) &&
                          machine.files.DeleteFile(recordPath)
                      ? InterruptedChange::kUndone
                      : InterruptedChange::kFailed;
      }
    }
  }
  if (outcome != InterruptedChange::kFailed) RemoveLeftovers(machine);
  return finished;
}

}  // namespace halshift::hal
