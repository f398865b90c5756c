// Windows paths on the machine image: mapping them onto the folders of its drives (the image's
// drives/<letter> folders, or folders named one by one) without regard to case.
//
// May contain: POSIX and C++ standard library calls.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/winpath.h"

namespace halshift::image {

// The image serves Windows paths throughout; these are its names for them.
using winpath::HasWildcard;
using winpath::MatchesWildcard;
using winpath::ParseWindowsPath;
using winpath::WindowsPath;

// The drives of an image: the folders below its drives/ folder, or a table of drive letters
// and the folders that hold their root directories.
//
// A name of another case is found through an index of each folder's entries by upper-cased
// name, made at the first lookup that needs it, so that no call lists a folder again. The image
// reports its own changes below drives/ right after making them (EntryCreated, EntryRemoved,
// EntryRenamed), which keeps the index current. A change made by anyone else is found through
// the folder's stamp, its device, inode, modification and change times, read after the listing
// and after each reported change: an index whose folder shows another stamp is dropped, and
// the folder is listed again when next needed. Where the kernel takes file times from its clock
// tick, a change in the same tick as the last one leaves the times as they were; there an index
// is trusted only once a tick has passed since its folder last changed. Whether the kernel does
// so is tried at the image's first change, on a scratch folder made and removed in drives/.
class DriveMap {
 public:
  explicit DriveMap(std::filesystem::path drivesFolder);
  // Drives whose roots are the given folders, each an existing directory that is not itself
  // a symbolic link (the caller resolves what a person named). The trial of the file system's
  // times is made in scratchFolder, one of them.
  struct DriveFolder {
    char letter = 'C';  // upper case
    std::filesystem::path folder;
  };
  DriveMap(std::vector<DriveFolder> driveFolders, std::filesystem::path scratchFolder);
  ~DriveMap();
  DriveMap(const DriveMap&) = delete;
  DriveMap& operator=(const DriveMap&) = delete;

  // The folder of a drive letter, found without regard to case; nothing when it has none.
  std::optional<std::filesystem::path> FolderOf(char drive) const;
  // The host path of a Windows path: each component names the existing entry of any case, or,
  // when there is none, the name as given. Nothing when the drive has no folder or when a
  // component on the way is a symbolic link (which could lead out of the drive).
  std::optional<std::filesystem::path> Map(const WindowsPath& path) const;
  // The existing entry of a folder whose name equals name without regard to case: the entry of
  // exactly that name when there is one, else the first of them in the order in which the
  // folder lists its entries; nothing when there is none.
  std::optional<std::string> FindEntry(const std::filesystem::path& folder,
                                       std::string_view name) const;
  // Whether any entry of the folder matches a pattern of '*' and '?' (MatchesWildcard).
  bool AnyEntryMatches(const std::filesystem::path& folder, std::string_view pattern) const;

  // The image's own changes to entries of folders below drives/, each reported right after it
  // succeeded, by host path. An operation that makes several host calls (a temporary file
  // written and renamed over its target, a replaced file kept aside) reports its net change
  // once. The operation must have mapped the entry's path first: that lookup confirms the
  // folder's index, so that a change made by someone else before ours is not taken for part of
  // it. A change that is not reported costs a new listing of the folder, never a wrong answer.
  void EntryCreated(const std::filesystem::path& entry);
  void EntryRemoved(const std::filesystem::path& entry);
  void EntryRenamed(const std::filesystem::path& from, const std::filesystem::path& to);

 private:
  struct FolderIndex;
  struct Indexes;
  // The index of a folder that still shows its stamp, confirmed now; with list, a new one is
  // made when there is none. Nothing when the folder cannot be read (it then has no entries).
  const FolderIndex* CurrentIndex(const std::filesystem::path& folder, bool list) const;
  // Applies one reported change to the folder's index, or drops the index when the change
  // cannot be applied with certainty.
  void ApplyChange(const std::filesystem::path& folder, std::string_view removed,
                   std::string_view created);

  std::filesystem::path drives_;  // the drives/ folder, or the scratch folder of a table
  std::optional<std::vector<DriveFolder>> table_;
  std::unique_ptr<Indexes> indexes_;
};

}  // namespace halshift::image
