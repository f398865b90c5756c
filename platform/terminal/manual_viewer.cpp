// The terminal face's help: the manual page rendered as plain text, and its viewer.
#include "platform/terminal/manual_viewer.h"

#include "base/text.h"

namespace halshift::terminal {
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
        for (char c : joined) title += text::UpperAscii(c);
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
  canvas.Window(frame, title_);
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

}  // namespace halshift::terminal
