// What the machine image changed on each drive since that drive's last FlushVolume: what a
// flush must write out, and, for tests that cut the power, how to take each change back as a
// disk whose cache never reached it would lose it. Private to platform/image.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace halshift::image {

class FaultInjector;

class VolumeChanges {
 public:
  explicit VolumeChanges(const FaultInjector& faults) : faults_(faults) {}

  // What FlushVolume of a drive writes out: the folders whose entries changed and the files
  // whose data or attributes were written without a flush of their own.
  struct Unflushed {
    std::set<std::filesystem::path> folders;
    std::set<std::filesystem::path> files;
  };

  // Always kept, whatever the stop mode: cheap, and needed by every flush.
  void FolderChanged(char drive, const std::filesystem::path& folder);
  void FileChanged(char drive, const std::filesystem::path& file);

  // The journal of changes that a power cut takes back. It is kept only while the fault
  // injector is to cut the power at a step; otherwise each call below does nothing and
  // KeepLink makes no link, so that a normal run pays nothing for it. Entries are host paths.
  // A change is journaled right after it succeeded, so that no stop falls between the two.
  bool Journaling() const;

  // A second name for a file that a change is about to remove or replace, private to the
  // image (host::kPrivatePrefix) in the file's folder, so that taking the change back can
  // restore it; empty when not journaling or when the link cannot be made.
  std::filesystem::path KeepLink(const std::filesystem::path& file);
  // Removes a link that KeepLink made and no journaled change uses.
  static void DropLink(const std::filesystem::path& link);

  // A file or folder that did not exist before.
  void Created(char drive, const std::filesystem::path& entry);
  // A rename; replaced is KeepLink's name of the file the rename replaced (empty: none), and
  // machineIniBefore what machine.ini held before the rename moved marks of use (nothing: the
  // rename moved none).
  void Renamed(char drive, const std::filesystem::path& from, const std::filesystem::path& to,
               const std::filesystem::path& replaced, std::optional<std::string> machineIniBefore);
  // A removed file, kept under KeepLink's name.
  void Removed(char drive, const std::filesystem::path& entry, const std::filesystem::path& kept);
  // The permission bits and user.DOSATTRIB text an entry had before its attributes changed.
  void AttributesChanged(char drive, const std::filesystem::path& entry, unsigned mode,
                         std::string dosAttributes);
  // Forgets the newest journaled change, which its operation has just taken back itself.
  void DropNewest();

  // Forgets the drive's unflushed folders, files and journaled changes (their kept links
  // removed) and returns what is to be written out.
  Unflushed TakeForFlush(char drive);

  // How many journaled changes a power cut would take back now.
  std::size_t JournaledCount() const { return journal_.size(); }
  // The power cut: takes back every journaled change but the oldest kept ones, newest first,
  // and puts machine.ini back as it was before the first change taken back that moved a mark.
  // Best effort: a step that cannot be taken back is left as it is.
  void TakeBack(std::size_t kept, const std::filesystem::path& machineIni);
  // The power cut of a cache written out in no set order: each change is kept or taken back as
  // the seed decides, but taking one back takes back every later one that touches the same
  // name, a name below it or above it, or (for moves of marks of use) machine.ini.
  void TakeBackSome(std::uint32_t seed, const std::filesystem::path& machineIni);

 private:
  enum class Kind { kCreated, kRenamed, kRemoved, kAttributes };
  struct Change {
    Kind kind;
    char drive;
    std::filesystem::path path;   // the entry (kRenamed: its new name)
    std::filesystem::path other;  // kRenamed: the old name; kRemoved: the kept link
    std::filesystem::path replaced;  // kRenamed: the kept link of a replaced file
    std::optional<std::string> machineIniBefore;
    unsigned mode = 0;
    std::string dosAttributes;
  };
  static char Key(char drive);
  static void TakeBack(const Change& change);
  // Whether two changes touch the same name, one below the other, or both machine.ini.
  static bool Related(const Change& a, const Change& b);
  // Takes back the changes marked, newest first, and puts machine.ini back as it was before
  // the oldest of them that moved a mark; forgets them.
  void TakeBackMarked(const std::vector<bool>& lost, const std::filesystem::path& machineIni);

  const FaultInjector& faults_;
  Unflushed unflushed_[26];
  std::vector<Change> journal_;
  std::uint64_t nextLink_ = 0;
};

}  // namespace halshift::image
