// The terminal face's other modal windows as models: message boxes, the open-file chooser and
// the scrollable text viewer of the manual page, with the plain rendering of its roff source.
//
// May contain: C++ standard library only (no terminal library, no system calls).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/terminal_dialog.h"
#include "platform/image/terminal_screen.h"
#include "ui/dialog_host.h"

namespace halshift::image::terminal {

// MessageBoxA: caption, text, OK or Yes and No, an icon letter for exclamation and
// information.
class MessageBoxModel : public Layer {
 public:
  MessageBoxModel(std::string_view text, std::string_view caption, unsigned style);

  Size Extent(Size screen) const override;
  void Draw(Canvas& canvas, Point origin) const override;

  // The answer (IDOK, IDYES, IDNO) once a key ends the box; nothing while it stays open.
  // Escape answers OK in an OK box and does nothing in a Yes/No box, as in Windows; when no
  // input can come any more the box answers OK, or No.
  std::optional<int> HandleKey(const Key& key);

 private:
  struct Button {
    int answer;
    Mnemonic caption;
  };
  std::vector<std::string> Lines(Size screen) const;
  int ButtonsWidth() const;

  std::string text_;
  std::string caption_;
  char icon_ = 0;  // '!' or 'i'
  std::vector<Button> buttons_;
  std::size_t focus_ = 0;
};

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

// Windows' wildcard match of one name against one pattern, without regard to case ("*.*"
// matches every name, also one without a dot).
bool MatchesPattern(std::string_view name, std::string_view pattern);
// A pattern list such as "HAL*.DLL;HAL*.DL_": true when any of them matches.
bool MatchesAnyPattern(std::string_view name, std::string_view patterns);
// "D:\I386" + "HAL.DLL" -> "D:\I386\HAL.DLL"; "D:\" + "I386" -> "D:\I386".
std::string JoinWindowsPath(std::string_view directory, std::string_view name);
// The directory above: "D:\I386" -> "D:\", "D:\" -> "D:\".
std::string ParentWindowsPath(std::string_view directory);

// The standard open-file chooser: a listing with the drives at the top, "..", the folders
// and the files the current filter lets through; a file name box; the filter; Open, Cancel.
class FileChooserModel : public Layer {
 public:
  FileChooserModel(const ui::OpenFileRequest& request, BrowseSource& source,
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

  ui::OpenFileRequest request_;
  std::vector<ui::FileFilter> filters_;
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

// The manual page source (roff, man macros) as plain lines of at most width characters:
// requests are carried out roughly (sections, paragraphs, tagged paragraphs, no-fill blocks,
// indents) and font escapes dropped.
std::vector<std::string> RenderManual(std::string_view roff, int width);

// A scrollable read-only text in a box filling the screen.
class TextViewerModel : public Layer {
 public:
  TextViewerModel(std::string_view title, std::string_view roffSource);

  Size Extent(Size screen) const override;
  void Draw(Canvas& canvas, Point origin) const override;
  // True once a key closes the viewer (Escape, Enter, q).
  bool HandleKey(const Key& key);
  std::size_t TopLine() const { return top_; }

 private:
  const std::vector<std::string>& LinesFor(int width) const;
  int PageRows() const { return std::max(lastRows_, 1); }

  std::string title_;
  std::string source_;
  mutable int renderedWidth_ = -1;
  mutable std::vector<std::string> lines_;
  mutable int lastRows_ = 1;
  std::size_t top_ = 0;
};

}  // namespace halshift::image::terminal
