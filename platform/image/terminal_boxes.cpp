// Message boxes, the open-file chooser and the manual viewer of the terminal face.
#include "platform/image/terminal_boxes.h"

#include <algorithm>

namespace halshift::image::terminal {
namespace {

constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
constexpr unsigned kButtonsMask = 0xF;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kIconMask = 0xF0;
constexpr unsigned kIconExclamation = 0x30;
constexpr unsigned kIconInformation = 0x40;

// A message box's text is wrapped to this many columns, less on a narrower screen.
constexpr int kBoxTextWidth = 64;
// The icon letter stands in "(!) " before the text.
constexpr int kIconWidth = 4;
constexpr int kButtonGap = 3;

constexpr int kChooserWidth = 64;
constexpr int kChooserHeight = 20;
// Rows of the chooser that are not the listing: frame 2, "Look in" 1, listing frame 2,
// name 1, type 1, buttons 1.
constexpr int kChooserFixedRows = 8;

std::string ButtonFace(const Mnemonic& caption, bool focused) {
  std::string face = "< " + caption.text + " >";
  return focused ? "[" + face + "]" : face;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

bool LessNoCase(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char x = UpperAscii(a[i]);
    const char y = UpperAscii(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool MatchFrom(std::string_view name, std::string_view pattern) {
  // Iterative '*' matching with one back-track point.
  std::size_t n = 0;
  std::size_t p = 0;
  std::size_t starP = std::string_view::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || UpperAscii(pattern[p]) == UpperAscii(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

// ---- MessageBoxModel ----

MessageBoxModel::MessageBoxModel(std::string_view text, std::string_view caption, unsigned style)
    : text_(text), caption_(caption) {
  const unsigned icon = style & kIconMask;
  if (icon == kIconExclamation) icon_ = '!';
  if (icon == kIconInformation) icon_ = 'i';
  if ((style & kButtonsMask) == kMbYesNo) {
    buttons_ = {{kIdYes, ParseMnemonic("&Yes")}, {kIdNo, ParseMnemonic("&No")}};
  } else {
    buttons_ = {{kIdOk, ParseMnemonic("OK")}};
  }
}

std::vector<std::string> MessageBoxModel::Lines(Size screen) const {
  const int indent = icon_ != 0 ? kIconWidth : 0;
  const int width = std::max(10, std::min(kBoxTextWidth, screen.width - 6 - indent));
  return WrapText(text_, width);
}

int MessageBoxModel::ButtonsWidth() const {
  int width = 0;
  for (const Button& button : buttons_) {
    width += static_cast<int>(ButtonFace(button.caption, true).size()) + kButtonGap;
  }
  return width - kButtonGap;
}

Size MessageBoxModel::Extent(Size screen) const {
  const std::vector<std::string> lines = Lines(screen);
  int widest = 0;
  for (const std::string& line : lines) widest = std::max(widest, static_cast<int>(line.size()));
  const int indent = icon_ != 0 ? kIconWidth : 0;
  const int inner = std::max({widest + indent, ButtonsWidth(), static_cast<int>(caption_.size()) + 4});
  // Frame, a blank column on each side; frame, blank, text, blank, buttons, frame.
  return {inner + 4, static_cast<int>(lines.size()) + 5};
}

void MessageBoxModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = Extent({canvas.Width(), canvas.Height()});
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Fill(frame, ' ');
  canvas.Frame(frame, caption_);
  canvas.HideCursor();
  const std::vector<std::string> lines = Lines({canvas.Width(), canvas.Height()});
  int x = origin.x + 2;
  if (icon_ != 0) {
    canvas.Put(x, origin.y + 2, '(');
    canvas.Put(x + 1, origin.y + 2, icon_, kBold);
    canvas.Put(x + 2, origin.y + 2, ')');
    x += kIconWidth;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    canvas.Text(x, origin.y + 2 + static_cast<int>(i), lines[i]);
  }
  const int row = frame.Bottom() - 2;
  int bx = origin.x + (extent.width - ButtonsWidth()) / 2;
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    const bool focused = i == focus_;
    const std::string face = ButtonFace(buttons_[i].caption, focused);
    // Unfocused faces are one cell narrower on each side; keep the buttons where they are.
    const int x0 = focused ? bx : bx + 1;
    canvas.Text(x0, row, face, focused ? kReverse : kPlain);
    const std::size_t mark = buttons_[i].caption.mnemonicIndex;
    if (mark != std::string::npos) {
      const int offset = (focused ? 3 : 2) + static_cast<int>(mark);
      canvas.Put(x0 + offset, row, buttons_[i].caption.text[mark],
                 static_cast<std::uint8_t>((focused ? kReverse : kPlain) | kUnderline | kBold));
    }
    if (focused) canvas.SetCursor(x0 + 3, row);
    bx += static_cast<int>(ButtonFace(buttons_[i].caption, true).size()) + kButtonGap;
  }
}

std::optional<int> MessageBoxModel::HandleKey(const Key& key) {
  const bool yesNo = buttons_.size() > 1;
  switch (key.code) {
    case KeyCode::kEnter:
      return buttons_[focus_].answer;
    case KeyCode::kTab:
    case KeyCode::kRight:
    case KeyCode::kDown:
      focus_ = (focus_ + 1) % buttons_.size();
      return std::nullopt;
    case KeyCode::kBackTab:
    case KeyCode::kLeft:
    case KeyCode::kUp:
      focus_ = (focus_ + buttons_.size() - 1) % buttons_.size();
      return std::nullopt;
    case KeyCode::kEscape:
      if (yesNo) return std::nullopt;
      return kIdOk;
    case KeyCode::kHangup:
      return yesNo ? kIdNo : kIdOk;
    case KeyCode::kChar:
    case KeyCode::kAlt:
      if (key.ch == ' ') return buttons_[focus_].answer;
      for (const Button& button : buttons_) {
        if (button.caption.Letter() != 0 && button.caption.Letter() == UpperAscii(key.ch)) {
          return button.answer;
        }
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// ---- paths and patterns ----

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  // "*.*" is every name in Windows, also "README" without a dot.
  if (pattern == "*.*" || pattern == "*") return true;
  return MatchFrom(name, pattern);
}

bool MatchesAnyPattern(std::string_view name, std::string_view patterns) {
  if (patterns.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = patterns.find(';', start);
    std::string_view one = patterns.substr(start, end == std::string_view::npos ? patterns.npos : end - start);
    while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
    if (!one.empty() && MatchesPattern(name, one)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

std::string JoinWindowsPath(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  if (joined.empty() || joined.back() != '\\') joined += '\\';
  joined += name;
  return joined;
}

std::string ParentWindowsPath(std::string_view directory) {
  std::string path(directory);
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos) return path;
  path.resize(cut);
  if (path.size() == 2 && path[1] == ':') path += '\\';
  return path;
}

// ---- FileChooserModel ----

FileChooserModel::FileChooserModel(const ui::OpenFileRequest& request, BrowseSource& source,
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
  const std::string parent = ParentWindowsPath(directory_);
  if (!EqualsNoCase(parent, directory_)) items_.push_back({"..", parent, false});

  std::vector<DirectoryEntry> entries = source_.List(directory_).value_or(std::vector<DirectoryEntry>{});
  std::sort(entries.begin(), entries.end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
    if (a.directory != b.directory) return a.directory;
    return LessNoCase(a.name, b.name);
  });
  const std::string pattern = Pattern();
  for (const DirectoryEntry& entry : entries) {
    if (entry.directory) {
      items_.push_back({entry.name + "\\", JoinWindowsPath(directory_, entry.name), false});
    } else if (MatchesAnyPattern(entry.name, pattern)) {
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
  if (item.file) return Outcome{JoinWindowsPath(directory_, item.shown)};
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
    Open(ParentWindowsPath(directory_));
    name_.SetText({});
    return std::nullopt;
  } else {
    // A name typed in another case is shown as it is on disk.
    if (name.find('\\') == std::string::npos) {
      for (const DirectoryEntry& entry : source_.List(directory_).value_or(std::vector<DirectoryEntry>{})) {
        if (EqualsNoCase(entry.name, name)) name = entry.name;
      }
    }
    path = JoinWindowsPath(directory_, name);
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
  canvas.Fill(frame, ' ');
  canvas.Frame(frame, request_.title.empty() ? std::string_view("Open") : request_.title);
  canvas.HideCursor();
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
      if (UpperAscii(key.ch) == 'O') return Accept();
      if (UpperAscii(key.ch) == 'C') return Outcome{std::nullopt};
      if (UpperAscii(key.ch) == 'N') {
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
            if (!items_[at].shown.empty() && UpperAscii(items_[at].shown[0]) == UpperAscii(key.ch)) {
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

// ---- the manual ----

namespace {

// Drops the font and size escapes of roff text and turns the character escapes into plain
// characters.
std::string PlainText(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      plain += c;
      continue;
    }
    const char e = text[++i];
    switch (e) {
      case 'f':  // \fB, \fI, \fR, \fP, \f(XX
        if (i + 1 < text.size() && text[i + 1] == '(') {
          i = std::min(i + 3, text.size() - 1);
        } else if (i + 1 < text.size()) {
          ++i;
        }
        break;
      case '(':  // \(xx: a few named characters
        if (i + 2 < text.size()) {
          const std::string_view name = text.substr(i + 1, 2);
          if (name == "em" || name == "en") plain += "--";
          else if (name == "aq") plain += '\'';
          else if (name == "lq" || name == "rq") plain += '"';
          else if (name == "bu") plain += '*';
          else plain += '?';
          i += 2;
        }
        break;
      case '-': plain += '-'; break;
      case 'e':
      case '\\': plain += '\\'; break;
      case '&':
      case '/':
      case ',':
      case ':': break;
      case ' ':
      case '~': plain += ' '; break;
      case '"': return plain;  // comment to the end of the line
      default: plain += e; break;
    }
  }
  return plain;
}

// The arguments of a request line, with quotes honoured.
std::vector<std::string> RequestArguments(std::string_view rest) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i >= rest.size()) break;
    std::string argument;
    if (rest[i] == '"') {
      ++i;
      while (i < rest.size() && rest[i] != '"') argument += rest[i++];
      ++i;
    } else {
      while (i < rest.size() && rest[i] != ' ') argument += rest[i++];
    }
    arguments.push_back(argument);
  }
  return arguments;
}

class ManualWriter {
 public:
  explicit ManualWriter(int width) : width_(std::max(width, 20)) {}

  void Words(std::string_view text) {
    if (!fill_) {
      Emit(std::string(static_cast<std::size_t>(indent_), ' ') + std::string(text));
      return;
    }
    if (!paragraph_.empty()) paragraph_ += ' ';
    paragraph_ += text;
  }
  void Break() {
    if (paragraph_.empty()) return;
    const int room = std::max(width_ - indent_, 10);
    for (const std::string& line : ReflowText(paragraph_, room)) {
      Emit(std::string(static_cast<std::size_t>(indent_), ' ') + line);
    }
    paragraph_.clear();
  }
  void Blank() {
    Break();
    if (!lines_.empty() && !lines_.back().empty()) lines_.push_back({});
  }
  void Heading(std::string_view text, int indent) {
    Blank();
    indent_ = indent;
    Emit(std::string(static_cast<std::size_t>(indent), ' ') + std::string(text));
    indent_ = kBodyIndent;
  }
  void SetIndent(int indent) {
    Break();
    indent_ = std::max(indent, 0);
  }
  int Indent() const { return indent_; }
  void SetFill(bool fill) {
    Break();
    fill_ = fill;
  }
  std::vector<std::string> Finish() {
    Break();
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
    return std::move(lines_);
  }

  static constexpr int kBodyIndent = 7;

 private:
  void Emit(std::string line) {
    // Lines of a no-fill block that are too long are wrapped, not cut.
    for (std::string& piece : WrapText(line, width_)) lines_.push_back(std::move(piece));
  }

  int width_;
  int indent_ = kBodyIndent;
  bool fill_ = true;
  std::string paragraph_;
  std::vector<std::string> lines_;
};

}  // namespace

std::vector<std::string> RenderManual(std::string_view roff, int width) {
  ManualWriter out(width);
  bool tagNext = false;  // .TP: the next text line is the tag
  int tagIndent = ManualWriter::kBodyIndent;
  std::vector<int> indentStack;
  std::size_t start = 0;
  while (start <= roff.size()) {
    const std::size_t end = roff.find('\n', start);
    std::string_view line = roff.substr(start, end == std::string_view::npos ? roff.npos : end - start);
    start = end == std::string_view::npos ? roff.size() + 1 : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) {
      const std::size_t nameEnd = line.find(' ');
      const std::string_view request = line.substr(1, nameEnd == std::string_view::npos ? line.npos : nameEnd - 1);
      const std::string_view rest = nameEnd == std::string_view::npos ? std::string_view{} : line.substr(nameEnd + 1);
      const std::vector<std::string> arguments = RequestArguments(PlainText(rest));
      std::string joined;
      for (const std::string& argument : arguments) joined += (joined.empty() ? "" : " ") + argument;
      if (request == "SH") {
        std::string title;
        for (char c : joined) title += UpperAscii(c);
        out.Heading(title, 0);
      } else if (request == "SS") {
        out.Heading(joined, 3);
      } else if (request == "PP" || request == "LP" || request == "P") {
        out.Blank();
        out.SetIndent(tagIndent = ManualWriter::kBodyIndent + static_cast<int>(indentStack.size()) * 4);
      } else if (request == "TP") {
        out.Blank();
        tagNext = true;
      } else if (request == "IP") {
        out.Blank();
        const int body = ManualWriter::kBodyIndent + static_cast<int>(indentStack.size()) * 4;
        if (!arguments.empty() && !arguments[0].empty()) {
          out.SetIndent(body);
          out.Words(arguments[0]);
          out.Break();
        }
        out.SetIndent(body + 4);
      } else if (request == "B" || request == "I" || request == "SM" || request == "SB") {
        if (tagNext) {
          out.SetIndent(ManualWriter::kBodyIndent + static_cast<int>(indentStack.size()) * 4);
          out.Words(joined);
          out.Break();
          out.SetIndent(out.Indent() + 4);
          tagNext = false;
        } else {
          out.Words(joined);
        }
      } else if (request.size() == 2 && std::string_view("BIR").find(request[0]) != std::string_view::npos &&
                 std::string_view("BIR").find(request[1]) != std::string_view::npos) {
        // .BR, .IR, .RB...: the arguments run together.
        std::string together;
        for (const std::string& argument : arguments) together += argument;
        if (tagNext) {
          out.SetIndent(ManualWriter::kBodyIndent + static_cast<int>(indentStack.size()) * 4);
          out.Words(together);
          out.Break();
          out.SetIndent(out.Indent() + 4);
          tagNext = false;
        } else {
          out.Words(together);
        }
      } else if (request == "br") {
        out.Break();
      } else if (request == "sp") {
        out.Blank();
      } else if (request == "nf" || request == "EX") {
        out.SetFill(false);
      } else if (request == "fi" || request == "EE") {
        out.SetFill(true);
      } else if (request == "RS") {
        indentStack.push_back(out.Indent());
        out.SetIndent(out.Indent() + 4);
      } else if (request == "RE") {
        if (!indentStack.empty()) {
          out.SetIndent(indentStack.back());
          indentStack.pop_back();
        }
      } else if (request == "TH") {
        if (!arguments.empty()) {
          std::string header = arguments[0];
          if (arguments.size() > 1) header += "(" + arguments[1] + ")";
          out.Heading(header, 0);
        }
      }
      // Every other request (comments, fonts, hyphenation...) shows nothing.
      continue;
    }
    const std::string text = PlainText(line);
    if (tagNext) {
      out.SetIndent(ManualWriter::kBodyIndent + static_cast<int>(indentStack.size()) * 4);
      out.Words(text);
      out.Break();
      out.SetIndent(out.Indent() + 4);
      tagNext = false;
      continue;
    }
    if (text.empty() && line.empty()) {
      out.Blank();
      continue;
    }
    out.Words(text);
  }
  return out.Finish();
}

// ---- TextViewerModel ----

TextViewerModel::TextViewerModel(std::string_view title, std::string_view roffSource)
    : title_(title), source_(roffSource) {}

const std::vector<std::string>& TextViewerModel::LinesFor(int width) const {
  if (width != renderedWidth_) {
    lines_ = RenderManual(source_, width);
    renderedWidth_ = width;
  }
  return lines_;
}

Size TextViewerModel::Extent(Size screen) const {
  return {std::max(screen.width - 2, 30), std::max(screen.height - 2, 8)};
}

void TextViewerModel::Draw(Canvas& canvas, Point origin) const {
  const Size extent = Extent({canvas.Width(), canvas.Height()});
  const Rect frame{origin.x, origin.y, extent.width, extent.height};
  canvas.Fill(frame, ' ');
  canvas.Frame(frame, title_);
  canvas.HideCursor();
  const std::vector<std::string>& lines = LinesFor(extent.width - 4);
  const int rows = extent.height - 3;
  lastRows_ = rows;
  for (int i = 0; i < rows; ++i) {
    const std::size_t at = top_ + static_cast<std::size_t>(i);
    if (at >= lines.size()) break;
    canvas.Text(origin.x + 2, origin.y + 1 + i, lines[at]);
  }
  const std::size_t last = std::min(lines.size(), top_ + static_cast<std::size_t>(rows));
  const std::string status = "Lines " + std::to_string(lines.empty() ? 0 : top_ + 1) + "-" +
                             std::to_string(last) + " of " + std::to_string(lines.size()) +
                             "   Up/Down/PgUp/PgDn: scroll   Esc/q: close";
  canvas.Text(origin.x + 2, frame.Bottom() - 2, status.substr(0, static_cast<std::size_t>(extent.width - 4)), kDim);
}

bool TextViewerModel::HandleKey(const Key& key) {
  const std::size_t count = lines_.size();
  const std::size_t page = static_cast<std::size_t>(PageRows());
  const std::size_t maxTop = count > page ? count - page : 0;
  switch (key.code) {
    case KeyCode::kEscape:
    case KeyCode::kEnter:
    case KeyCode::kHangup:
      return true;
    case KeyCode::kChar:
      if (key.ch == 'q' || key.ch == 'Q') return true;
      if (key.ch == ' ') top_ = std::min(maxTop, top_ + page);
      return false;
    case KeyCode::kUp:
      if (top_ > 0) --top_;
      return false;
    case KeyCode::kDown:
      top_ = std::min(maxTop, top_ + 1);
      return false;
    case KeyCode::kPageUp:
      top_ = top_ > page ? top_ - page : 0;
      return false;
    case KeyCode::kPageDown:
      top_ = std::min(maxTop, top_ + page);
      return false;
    case KeyCode::kHome:
      top_ = 0;
      return false;
    case KeyCode::kEnd:
      top_ = maxTop;
      return false;
    default:
      return false;
  }
}

}  // namespace halshift::image::terminal
