// The terminal face's open-file chooser as a model, over a source of drives and folders.//
// May contain: C++ standard library only (no terminal library, no system calls).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dialog_host.h"
#include "platform/terminal/dialog.h"
#include "platform/terminal/screen.h"

namespace halshift::terminal {
// One name in a directory listing.
struct DirectoryEntry {
  std::string name;  // as it is on disk
  bool directory = false;
};

// What the chooser browses: the machine's drives and folders, by Windows path.
class BrowseSource {
 public:
  virtual ~BrowseSource() = default;
  // The letters of the drives that exist, in order.
  virtual std::vector<char> Drives() = 0;
  // The names in a directory ("D:\" or "D:\I386"); nothing when it cannot be read.
  virtual std::optional<std::vector<DirectoryEntry>> List(std::string_view directory) = 0;
  // Where the chooser opens.
  virtual std::string StartDirectory() { return "C:\\"; }
};

// The standard open-file chooser: a listing with the drives at the top, "..", the folders
// and the files the current filter lets through; a file name box; the filter; Open, Cancel.
class FileChooserModel : public Layer {
 public:
  FileChooserModel(const platform::OpenFileRequest& request, BrowseSource& source,
                   std::string_view initialDirectory);

  Size Extent(Size screen) const override;
  void Draw(Canvas& canvas, Point origin) const override;

  struct Outcome {
    std::optional<std::string> path;  // the full path confirmed; nothing: cancelled
  };
  // Set once a key ends the chooser.
  std::optional<Outcome> HandleKey(const Key& key);

  const std::string& Directory() const { return directory_; }
  std::string FileName() const { return name_.Text(); }
  std::string FilterLabel() const;
  // The listing as shown ("A:\", "..", "I386\", "HAL.DLL").
  std::vector<std::string> ListingNames() const;

 private:
  enum class Focus { kList, kName, kOpen, kCancel };
  struct Item {
    std::string shown;
    std::string target;  // a directory path to open, or empty for a file
    bool file = false;
  };

  void Open(std::string_view directory);
  void Refresh();
  std::optional<Outcome> Accept();
  std::optional<Outcome> Activate(std::size_t index);
  void Select(std::size_t index);
  int ListRows(Size extent) const;
  std::string Pattern() const;

  platform::OpenFileRequest request_;
  std::vector<platform::FileFilter> filters_;
  BrowseSource& source_;
  std::string directory_;
  std::string customPattern_;  // a wildcard typed as the name
  std::size_t filter_ = 0;
  std::vector<Item> items_;
  std::size_t selection_ = 0;
  std::size_t top_ = 0;
  EditField name_;
  Focus focus_ = Focus::kName;
  mutable int shownRows_ = 10;
};

}  // namespace halshift::terminal
