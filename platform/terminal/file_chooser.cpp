// The terminal face's open-file chooser.
#include "platform/terminal/file_chooser.h"

#include <algorithm>

#include "base/text.h"
#include "base/winpath.h"

namespace halshift::terminal {
namespace {

constexpr int kChooserWidth = 64;
constexpr int kChooserHeight = 20;
// Rows of the chooser that are not the listing: frame 2, "Look in" 1, listing frame 2,
// name 1, type 1, buttons 1.
constexpr int kChooserFixedRows = 8;

}  // namespace


FileChooserModel::FileChooserModel(const platform::OpenFileRequest& request, BrowseSource& source,
                                   std::string_view initialDirectory)
    : request_(request),
      filters_(request.filters.begin(), request.filters.end()),
      source_(source) {
  name_.SetText(request.initialName);
  name_.SelectAll();
  Open(initialDirectory);
}

std::string FileChooserModel::Pattern() const {
  if (!customPattern_.empty()) return customPattern_;
  if (filters_.empty()) return "*.*";
  return std::string(filters_[filter_].pattern);
}

std::string FileChooserModel::FilterLabel() const {
  if (!customPattern_.empty()) return customPattern_;
  if (filters_.empty()) return "All files (*.*)";
  return std::string(filters_[filter_].label);
}

void FileChooserModel::Open(std::string_view directory) {
  directory_ = std::string(directory);
  selection_ = 0;
  top_ = 0;
  Refresh();
}

void FileChooserModel::Refresh() {
  items_.clear();
  for (char letter : source_.Drives()) {
    const std::string root = std::string(1, letter) + ":\\";
    items_.push_back({root, root, false});
  }
  const std::string parent = winpath::ParentDirectory(directory_);
  if (!text::EqualsIgnoreCase(parent, directory_)) items_.push_back({"..", parent, false});

  std::vector<DirectoryEntry> entries = source_.List(directory_).value_or(std::vector<DirectoryEntry>{});
  std::sort(entries.begin(), entries.end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
    if (a.directory != b.directory) return a.directory;
    return text::LessIgnoreCase(a.name, b.name);
  });
  const std::string pattern = Pattern();
  for (const DirectoryEntry& entry : entries) {
    if (entry.directory) {
      items_.push_back({entry.name + "\\", winpath::Join(directory_, entry.name), false});
    } else if (winpath::MatchesAnyWildcard(pattern, entry.name)) {
      items_.push_back({entry.name, {}, true});
    }
  }
  if (selection_ >= items_.size()) selection_ = items_.empty() ? 0 : items_.size() - 1;
}

std::vector<std::string> FileChooserModel::ListingNames() const {
  std::vector<std::string> names;
  for (const Item& item : items_) names.push_back(item.shown);
  return names;
}

void FileChooserModel::Select(std::size_t index) {
  if (items_.empty()) return;
  selection_ = std::min(index, items_.size() - 1);
  if (selection_ < top_) top_ = selection_;
  const std::size_t rows = static_cast<std::size_t>(std::max(shownRows_, 1));
  if (selection_ >= top_ + rows) top_ = selection_ - rows + 1;
  if (items_[selection_].file) name_.SetText(items_[selection_].shown);
}

std::optional<FileChooserModel::Outcome> FileChooserModel::Activate(std::size_t index) {
  if (index >= items_.size()) return std::nullopt;
  const Item item = items_[index];
  if (item.file) return Outcome{winpath::Join(directory_, item.shown)};
  Open(item.target);
  return std::nullopt;
}

std::optional<FileChooserModel::Outcome> FileChooserModel::Accept() {
  std::string name = name_.Text();
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  if (name.empty()) return std::nullopt;
  if (name.find_first_of("*?") != std::string::npos) {
    // A wildcard as the name filters the listing, as in the Windows chooser.
    customPattern_ = name;
    Refresh();
    return std::nullopt;
  }
  std::string path;
  if (name.size() >= 2 && name[1] == ':') {
    path = name.size() == 2 ? name + "\\" : name;
  } else if (name.front() == '\\') {
    path = directory_.substr(0, 2) + name;
  } else if (name == "..") {
    Open(winpath::ParentDirectory(directory_));
    name_.SetText({});
    return std::nullopt;
  } else {
    // A name typed in another case is shown as it is on disk.
    if (name.find('\\') == std::string::npos) {
      for (const DirectoryEntry& entry : source_.List(directory_).value_or(std::vector<DirectoryEntry>{})) {
        if (text::EqualsIgnoreCase(entry.name, name)) name = entry.name;
      }
    }
    path = winpath::Join(directory_, name);
  }
  if (source_.List(path).has_value()) {
    Open(path);
    name_.SetText({});
    return std::nullopt;
  }
  return Outcome{path};
}

int FileChooserModel::ListRows(Size extent) const { return std::max(extent.height - kChooserFixedRows, 1); }

Size FileChooserModel::Extent(Size screen) const {
  return {std::min(kChooserWidth, std::max(screen.width, 40)),
          std::min(kChooserHeight, std::max(screen.height, kChooserFixedRows + 3))};
}

void FileChooserModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = Extent({canvas.Width(), canvas.Height()});
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Window(frame, request_.title.empty() ? std::string_view("Open") : request_.title);
  const int left = origin.x + 2;
  const int inner = extent.width - 4;
  const std::string lookIn = "Look in: " + directory_;
  canvas.Text(left, origin.y + 1, lookIn.substr(0, static_cast<std::size_t>(inner)));

  const int rows = ListRows(extent);
  shownRows_ = rows;
  const Rect list{left, origin.y + 2, inner, rows + 2};
  canvas.Frame(list, {}, kPlain);
  for (int i = 0; i < rows; ++i) {
    const std::size_t at = top_ + static_cast<std::size_t>(i);
    if (at >= items_.size()) break;
    std::string line = " " + items_[at].shown;
    line.resize(static_cast<std::size_t>(inner - 2), ' ');
    const bool selected = at == selection_;
    const std::uint8_t attributes = selected ? (focus_ == Focus::kList ? kReverse : kBold) : kPlain;
    canvas.Text(left + 1, list.top + 1 + i, line, attributes);
    if (selected && focus_ == Focus::kList) canvas.SetCursor(left + 2, list.top + 1 + i);
  }
  if (items_.empty()) canvas.Text(left + 2, list.top + 1, "(nothing here)", kDim);

  const int nameRow = list.Bottom();
  const std::string nameLabel = "File name:     ";
  canvas.Text(left, nameRow, nameLabel);
  const int boxLeft = left + static_cast<int>(nameLabel.size());
  const int boxWidth = std::max(inner - static_cast<int>(nameLabel.size()) - 2, 4);
  EditField view = name_;
  view.FitTo(boxWidth);
  canvas.Put(boxLeft, nameRow, '[');
  canvas.Put(boxLeft + boxWidth + 1, nameRow, ']');
  for (int i = 0; i < boxWidth; ++i) {
    const std::size_t at = view.Scroll() + static_cast<std::size_t>(i);
    const char ch = at < view.Text().size() ? view.Text()[at] : ' ';
    std::uint8_t attributes = kUnderline;
    if (focus_ == Focus::kName && view.AllSelected() && at < view.Text().size()) attributes |= kReverse;
    canvas.Put(boxLeft + 1 + i, nameRow, ch, attributes);
  }
  if (focus_ == Focus::kName) {
    canvas.SetCursor(boxLeft + 1 + static_cast<int>(view.Caret() - view.Scroll()), nameRow);
  }

  const std::string type = "Files of type: " + FilterLabel();
  canvas.Text(left, nameRow + 1, type.substr(0, static_cast<std::size_t>(inner)));
  if (filters_.size() > 1 || !customPattern_.empty()) {
    const std::string hint = "F2: next type";
    canvas.Text(left + inner - static_cast<int>(hint.size()), nameRow + 1, hint, kDim);
  }

  const int buttonRow = nameRow + 2;
  const bool openDefault = focus_ != Focus::kCancel;
  const std::string open = openDefault ? "[< Open >]" : "< Open >";
  const std::string cancel = focus_ == Focus::kCancel ? "[< Cancel >]" : "< Cancel >";
  const int openX = left + inner - 26;
  canvas.Text(openX + (openDefault ? 0 : 1), buttonRow, open, focus_ == Focus::kOpen ? kReverse : kPlain);
  canvas.Text(openX + 14, buttonRow, cancel, focus_ == Focus::kCancel ? kReverse : kPlain);
  if (focus_ == Focus::kOpen) canvas.SetCursor(openX + 3, buttonRow);
  if (focus_ == Focus::kCancel) canvas.SetCursor(openX + 17, buttonRow);
}

std::optional<FileChooserModel::Outcome> FileChooserModel::HandleKey(const Key& key) {
  switch (key.code) {
    case KeyCode::kEscape:
    case KeyCode::kHangup:
      return Outcome{std::nullopt};
    case KeyCode::kTab:
    case KeyCode::kBackTab: {
      constexpr Focus kOrder[] = {Focus::kList, Focus::kName, Focus::kOpen, Focus::kCancel};
      std::size_t at = 0;
      while (kOrder[at] != focus_) ++at;
      at = (at + (key.code == KeyCode::kTab ? 1 : 3)) % 4;
      focus_ = kOrder[at];
      if (focus_ == Focus::kName) name_.SelectAll();
      return std::nullopt;
    }
    case KeyCode::kF2:
      customPattern_.clear();
      if (!filters_.empty()) filter_ = (filter_ + 1) % filters_.size();
      Refresh();
      return std::nullopt;
    case KeyCode::kAlt:
      if (text::UpperAscii(key.ch) == 'O') return Accept();
      if (text::UpperAscii(key.ch) == 'C') return Outcome{std::nullopt};
      if (text::UpperAscii(key.ch) == 'N') {
        focus_ = Focus::kName;
        name_.SelectAll();
      }
      return std::nullopt;
    default:
      break;
  }

  switch (focus_) {
    case Focus::kList:
      switch (key.code) {
        case KeyCode::kUp:
          if (selection_ > 0) Select(selection_ - 1);
          return std::nullopt;
        case KeyCode::kDown:
          Select(selection_ + 1);
          return std::nullopt;
        case KeyCode::kPageUp:
          Select(selection_ > static_cast<std::size_t>(shownRows_) ? selection_ - static_cast<std::size_t>(shownRows_) : 0);
          return std::nullopt;
        case KeyCode::kPageDown:
          Select(selection_ + static_cast<std::size_t>(shownRows_));
          return std::nullopt;
        case KeyCode::kHome:
          Select(0);
          return std::nullopt;
        case KeyCode::kEnd:
          Select(items_.empty() ? 0 : items_.size() - 1);
          return std::nullopt;
        case KeyCode::kEnter:
          return Activate(selection_);
        case KeyCode::kChar: {
          if (key.ch == ' ') return Activate(selection_);
          // Type-ahead: the next entry that begins with the letter.
          for (std::size_t step = 1; step <= items_.size(); ++step) {
            const std::size_t at = (selection_ + step) % items_.size();
            if (!items_[at].shown.empty() && text::UpperAscii(items_[at].shown[0]) == text::UpperAscii(key.ch)) {
              Select(at);
              break;
            }
          }
          return std::nullopt;
        }
        default:
          return std::nullopt;
      }
    case Focus::kName:
      if (key.code == KeyCode::kEnter) return Accept();
      if (key.code == KeyCode::kUp || key.code == KeyCode::kDown) {
        focus_ = Focus::kList;
        return std::nullopt;
      }
      name_.HandleKey(key);
      return std::nullopt;
    case Focus::kOpen:
      if (key.code == KeyCode::kEnter || (key.code == KeyCode::kChar && key.ch == ' ')) return Accept();
      return std::nullopt;
    case Focus::kCancel:
      if (key.code == KeyCode::kEnter || (key.code == KeyCode::kChar && key.ch == ' ')) {
        return Outcome{std::nullopt};
      }
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace halshift::terminal
