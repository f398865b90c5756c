// The mapping of Windows paths onto drives/<letter>, through an index of each folder.
#include "platform/image/drive_paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <unordered_map>

#include "base/text.h"

namespace halshift::image {

namespace {

using Nanoseconds = std::int64_t;

Nanoseconds ToNanoseconds(const timespec& time) {
  return static_cast<Nanoseconds>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

Nanoseconds Now() {
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return ToNanoseconds(now);
}

// The length of the clock tick with which the kernel stamps file times, when it can be had.
Nanoseconds FileClockTick() {
  timespec tick {};
  return clock_getres(CLOCK_REALTIME_COARSE, &tick) == 0 ? ToNanoseconds(tick) : 0;
}

// What tells one state of a folder from another.
struct Stamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  Nanoseconds modified = 0;
  Nanoseconds changed = 0;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

std::optional<Stamp> ReadStamp(const std::filesystem::path& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return Stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
               ToNanoseconds(st.st_mtim), ToNanoseconds(st.st_ctim)};
}

// How long after a folder's last change a later change may still carry the same times, where
// the kernel takes file times from its clock tick: two ticks, or four seconds on file systems
// that keep whole seconds (two for FAT).
Nanoseconds SameTimeWindow(const Stamp& stamp, Nanoseconds tick) {
  constexpr Nanoseconds kWholeSecondsWindow = 4'000'000'000;
  constexpr Nanoseconds kLeastWindow = 20'000'000;
  const bool wholeSeconds =
      stamp.modified % 1'000'000'000 == 0 && stamp.changed % 1'000'000'000 == 0;
  return wholeSeconds ? kWholeSecondsWindow : std::max(2 * tick, kLeastWindow);
}

enum class TimeTrial { kNewTimes, kSameTimes, kCutShort };

// Whether the file system gives every change made after a file's times were read a new change
// time (as kernels with fine-grained file times do). Tried on a scratch folder made and
// removed in folder: a few changes of its mode in a row, each after a read of its times, must
// each move its change time, all within half a tick, which ticks of the file clock could not.
// A trial that took longer (the scheduler ran something else) tells nothing.
TimeTrial TryFileTimes(const std::filesystem::path& folder, Nanoseconds tick) {
  constexpr int kChanges = 3;
  std::string scratch = (folder / ".halshift-times-XXXXXX").string();
  if (tick <= 0 || mkdtemp(scratch.data()) == nullptr) return TimeTrial::kSameTimes;
  timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  std::optional<Stamp> last = ReadStamp(scratch);
  bool moved = last.has_value();
  for (int change = 0; moved && change < kChanges; ++change) {
    const std::optional<Stamp> next =
        chmod(scratch.c_str(), change % 2 == 0 ? 0500 : 0700) == 0 ? ReadStamp(scratch)
                                                                     : std::nullopt;
    moved = next && next->changed != last->changed;
    last = next;
  }
  timespec end {};
  clock_gettime(CLOCK_MONOTONIC, &end);
  rmdir(scratch.c_str());
  if (!moved) return TimeTrial::kSameTimes;
  return ToNanoseconds(end) - ToNanoseconds(start) < tick / 2 ? TimeTrial::kNewTimes
                                                               : TimeTrial::kCutShort;
}

// How long an operation may take from the lookup that confirmed a folder's index to the report
// of its change; an older confirmation could hide a change made by someone else in between.
constexpr Nanoseconds kConfirmationAge = 1'000'000'000;

}  // namespace

struct DriveMap::FolderIndex {
  Stamp stamp;  // read before the listing, or right after the last reported change
  Nanoseconds stampRead = 0;
  Nanoseconds confirmed = 0;  // when the folder last showed the stamp
  // Upper-cased name to the entries of that name, in the order in which the folder lists them.
  std::unordered_map<std::string, std::vector<std::string>> entries;
};

struct DriveMap::Indexes {
  std::unordered_map<std::string, FolderIndex> folders;  // by host path
  // A listing that could not be finished: answers the lookup that made it, and is not kept.
  FolderIndex unfinished;
  Nanoseconds fileClockTick = FileClockTick();
  // Whether the drives folder's file system gives every change new times: tried at the
  // image's first change, and again at later ones while the trials are cut short.
  TimeTrial fileTimes = TimeTrial::kCutShort;
  int timeTrials = 0;
  std::uint64_t drivesDevice = 0;

  void LearnTimes(const std::filesystem::path& drives) {
    constexpr int kTrials = 3;
    if (fileTimes != TimeTrial::kCutShort || timeTrials >= kTrials) return;
    ++timeTrials;
    const std::optional<Stamp> stamp = ReadStamp(drives);
    if (!stamp) return;
    drivesDevice = stamp->device;
    fileTimes = TryFileTimes(drives, fileClockTick);
  }
  // Whether no change after the stamp was read can have left the folder's times as they were.
  bool Holds(const FolderIndex& index) const {
    if (fileTimes == TimeTrial::kNewTimes && index.stamp.device == drivesDevice) return true;
    const Nanoseconds newest = std::max(index.stamp.modified, index.stamp.changed);
    return index.stampRead - newest >= SameTimeWindow(index.stamp, fileClockTick);
  }
};

DriveMap::DriveMap(std::filesystem::path drivesFolder)
    : drives_(std::move(drivesFolder)), indexes_(std::make_unique<Indexes>()) {}

DriveMap::DriveMap(std::vector<DriveFolder> driveFolders, std::filesystem::path scratchFolder)
    : drives_(std::move(scratchFolder)),
      table_(std::move(driveFolders)),
      indexes_(std::make_unique<Indexes>()) {}

DriveMap::~DriveMap() = default;

const DriveMap::FolderIndex* DriveMap::CurrentIndex(const std::filesystem::path& folder,
                                                    bool list) const {
  auto& folders = indexes_->folders;
  const auto found = folders.find(folder.native());
  if (!list && found == folders.end()) return nullptr;
  const std::optional<Stamp> stamp = ReadStamp(folder);
  const Nanoseconds now = Now();
  if (found != folders.end()) {
    if (stamp && found->second.stamp == *stamp && indexes_->Holds(found->second)) {
      found->second.confirmed = now;
      return &found->second;
    }
    folders.erase(found);
  }
  if (!list || !stamp) return nullptr;

  // The stamp is read before the listing, so that a change made while listing shows later.
  FolderIndex index;
  index.stamp = *stamp;
  index.stampRead = now;
  index.confirmed = now;
  DIR* const stream = opendir(folder.c_str());
  if (stream == nullptr) return nullptr;
  bool finished = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream);
    if (entry == nullptr) {
      finished = errno == 0;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    index.entries[text::ToUpper(name)].emplace_back(name);
  }
  closedir(stream);
  if (!finished) {
    indexes_->unfinished = std::move(index);
    return &indexes_->unfinished;
  }
  return &(folders[folder.native()] = std::move(index));
}

std::optional<std::string> DriveMap::FindEntry(const std::filesystem::path& folder,
                                               std::string_view name) const {
  const FolderIndex* index = CurrentIndex(folder, true);
  if (index == nullptr) return std::nullopt;
  const auto found = index->entries.find(text::ToUpper(name));
  if (found == index->entries.end()) return std::nullopt;
  const std::vector<std::string>& names = found->second;
  const auto exact = std::find(names.begin(), names.end(), name);
  return exact != names.end() ? *exact : names.front();
}

bool DriveMap::AnyEntryMatches(const std::filesystem::path& folder,
                               std::string_view pattern) const {
  const FolderIndex* index = CurrentIndex(folder, true);
  if (index == nullptr) return false;
  // Names that differ only in case match alike.
  return std::any_of(index->entries.begin(), index->entries.end(), [&](const auto& entry) {
    return MatchesWildcard(pattern, entry.second.front());
  });
}

void DriveMap::ApplyChange(const std::filesystem::path& folder, std::string_view removed,
                           std::string_view created) {
  auto& folders = indexes_->folders;
  const auto found = folders.find(folder.native());
  indexes_->LearnTimes(drives_);
  if (found == folders.end()) return;
  FolderIndex& index = found->second;
  const auto drop = [&] { folders.erase(found); };
  if (Now() - index.confirmed > kConfirmationAge) return drop();
  // Where a name of another case is present the listing order decides, which only a new
  // listing can tell.
  if (!removed.empty()) {
    const auto names = index.entries.find(text::ToUpper(removed));
    if (names == index.entries.end() || names->second.size() != 1 || names->second[0] != removed) {
      return drop();
    }
    index.entries.erase(names);
  }
  if (!created.empty()) {
    std::vector<std::string>& names = index.entries[text::ToUpper(created)];
    if (names.empty()) {
      names.emplace_back(created);
    } else if (names.size() != 1 || names[0] != created) {
      return drop();
    }
  }
  const std::optional<Stamp> stamp = ReadStamp(folder);
  if (!stamp) return drop();
  index.stamp = *stamp;
  index.stampRead = Now();
  index.confirmed = index.stampRead;
}

void DriveMap::EntryCreated(const std::filesystem::path& entry) {
  ApplyChange(entry.parent_path(), {}, entry.filename().native());
}

void DriveMap::EntryRemoved(const std::filesystem::path& entry) {
  ApplyChange(entry.parent_path(), entry.filename().native(), {});
}

void DriveMap::EntryRenamed(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (from.parent_path() == to.parent_path()) {
    ApplyChange(from.parent_path(), from.filename().native(), to.filename().native());
  } else {
    ApplyChange(from.parent_path(), from.filename().native(), {});
    ApplyChange(to.parent_path(), {}, to.filename().native());
  }
}

std::optional<std::filesystem::path> DriveMap::FolderOf(char drive) const {
  struct stat st {};
  if (table_) {
    const char upper = text::ToUpper(std::string_view(&drive, 1))[0];
    for (const DriveFolder& entry : *table_) {
      if (entry.letter != upper) continue;
      if (lstat(entry.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
      return entry.folder;
    }
    return std::nullopt;
  }
  const std::string letter(1, drive);
  if (lstat((drives_ / letter).c_str(), &st) != 0) {
    const auto entry = FindEntry(drives_, letter);
    if (!entry || lstat((drives_ / *entry).c_str(), &st) != 0) return std::nullopt;
    if (!S_ISDIR(st.st_mode)) return std::nullopt;
    return drives_ / *entry;
  }
  if (!S_ISDIR(st.st_mode)) return std::nullopt;
  return drives_ / letter;
}

std::optional<std::filesystem::path> DriveMap::Map(const WindowsPath& path) const {
  auto host = FolderOf(path.drive);
  if (!host) return std::nullopt;
  bool exists = true;  // whether host names an existing folder so far
  for (const auto& component : path.components) {
    if (!exists) {
      *host /= component;
      continue;
    }
    // The name as given is the exact match that a listing would put first; only when it is
    // missing is the folder's index asked for a name of another case.
    const std::filesystem::path folder = *host;
    *host /= component;
    struct stat st {};
    bool found = lstat(host->c_str(), &st) == 0;
    if (!found) {
      if (const auto entry = FindEntry(folder, component)) {
        *host = folder / *entry;
        found = lstat(host->c_str(), &st) == 0;
      }
    } else if (&component == &path.components.back()) {
      // The folder of the last component is where the operation that asked is likely to make
      // its change: its index, if any, is confirmed now.
      CurrentIndex(folder, false);
    }
    if (!found) {
      exists = false;
    } else if (S_ISLNK(st.st_mode)) {
      return std::nullopt;
    } else {
      exists = S_ISDIR(st.st_mode);
    }
  }
  return host;
}

}  // namespace halshift::image
