// REGEDIT4 parser and writer.
#include "platform/image/registry_file.h"

#include "base/text.h"

namespace halshift::image {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr std::string_view kHexPrefix = "hex";
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
// Hex data lines are wrapped before this many characters, as the registry editor wraps them.
constexpr std::size_t kHexLineWidth = 76;

std::string_view Content(std::string_view line) { return text::TrimEnd(line, "\r\n"); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses hex digits (1 to maxDigits) as an unsigned number.
std::optional<std::uint32_t> ParseHex(std::string_view digits, std::size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  std::uint32_t number = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    number = (number << 4) | static_cast<std::uint32_t>(digit);
  }
  return number;
}

// Reads a quoted text with \\ and \" escapes from the start of s. On success, s is left after
// the closing quote.
std::optional<std::string> ParseQuoted(std::string_view& s, std::string& problem) {
  if (s.empty() || s.front() != '"') {
    problem = "expected '\"'";
    return std::nullopt;
  }
  std::string out;
  std::size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) break;
      const char escaped = s[i + 1];
      if (escaped != '\\' && escaped != '"') {
        problem = "unknown escape '\\" + std::string(1, escaped) + "'";
        return std::nullopt;
      }
      out += escaped;
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  problem = "a quoted text is not closed";
  return std::nullopt;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

bool NeedsHexForm(std::string_view data) {
  if (data.empty() || data.back() != '\0') return true;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    const char c = data[i];
    if (c == '\0' || c == '\r' || c == '\n') return true;
  }
  return false;
}

std::string NormalizedKeyPath(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return text::ToUpper(path);
}

void EnsureLineEnd(std::string& out, std::string_view newline) {
  if (!out.empty() && out.back() != '\n') out += newline;
}

// The path of a key line "[path]", or nothing with the problem.
std::optional<std::string_view> KeyLinePath(std::string_view line, std::string& problem) {
  if (line.back() != ']') {
    problem = "a key line lacks its closing ']'";
    return std::nullopt;
  }
  const std::string_view path = text::Trim(line.substr(1, line.size() - 2));
  if (path.empty()) problem = "a key path is empty";
  if (!path.empty() && path.front() == '-') problem = "deleting a key is not supported";
  if (!problem.empty()) return std::nullopt;
  return path;
}

// Reads comma-separated bytes of two hex digits into data; a final comma ends the list.
bool ReadHexBytes(std::string_view list, std::string& data, std::string& problem) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const auto byte = ParseHex(text::Trim(list.substr(0, comma)), 2);
    if (!byte) {
      problem = "hex data needs comma-separated bytes of two hex digits";
      return false;
    }
    data += static_cast<char>(*byte);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
    if (text::Trim(list).empty()) break;
  }
  return true;
}

// Reads "hex:" or "hex(N):" data that starts rest, on line i and the continuation lines after
// it (a line that ends with '\' goes on on the next one); i is left on the last line read,
// which value.source then holds too.
bool ReadHexData(std::string_view rest, const std::vector<std::string_view>& lines,
                 std::size_t& i, RegistryValue& value, std::string& problem) {
  rest.remove_prefix(kHexPrefix.size());
  value.type = kRegBinary;
  if (!rest.empty() && rest.front() == '(') {
    const std::size_t close = rest.find(')');
    const auto type = close == std::string_view::npos ? std::nullopt
                                                     : ParseHex(rest.substr(1, close - 1), 8);
    if (!type) {
      problem = close == std::string_view::npos ? "hex( lacks its ')'" : "hex(N) needs a hex type number";
      return false;
    }
    value.type = *type;
    rest.remove_prefix(close + 1);
  }
  if (rest.empty() || rest.front() != ':') {
    problem = "expected ':' after hex";
    return false;
  }
  std::string bytesText;
  std::string_view piece = text::Trim(rest.substr(1));
  while (!piece.empty() && piece.back() == '\\') {
    bytesText += piece.substr(0, piece.size() - 1);
    if (i + 1 >= lines.size()) {
      problem = "the hex data goes on past the end of the file";
      return false;
    }
    ++i;
    value.source += lines[i];
    piece = text::Trim(Content(lines[i]));
  }
  bytesText += piece;
  return ReadHexBytes(bytesText, value.data, problem);
}

// Reads the data after "=" of a value: a quoted text, a dword or hex bytes.
bool ReadValueData(std::string_view rest, const std::vector<std::string_view>& lines,
                   std::size_t& i, RegistryValue& value, std::string& problem) {
  if (!rest.empty() && rest.front() == '"') {
    auto textData = ParseQuoted(rest, problem);
    if (!textData) return false;
    if (!text::Trim(rest).empty()) {
      problem = "unexpected text after the value";
      return false;
    }
    value.type = kRegSz;
    value.data = std::move(*textData);
    value.data += '\0';
    return true;
  }
  if (rest.substr(0, kDwordPrefix.size()) == kDwordPrefix) {
    const auto number = ParseHex(text::Trim(rest.substr(kDwordPrefix.size())), 8);
    if (!number) {
      problem = "a dword needs 1 to 8 hex digits";
      return false;
    }
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      value.data += static_cast<char>((*number >> shift) & 0xFF);
    }
    return true;
  }
  if (rest.substr(0, kHexPrefix.size()) == kHexPrefix) return ReadHexData(rest, lines, i, value, problem);
  problem = rest == "-" ? "deleting a value is not supported" : "unknown value data";
  return false;
}

// Reads the value whose trimmed line i is `line`: its name ("@" for the default), "=" and its
// data, with any continuation lines.
bool ReadValueLines(std::string_view line, const std::vector<std::string_view>& lines,
                    std::size_t& i, RegistryValue& value, std::string& problem) {
  std::string_view rest = line;
  if (rest.front() == '@') {
    rest.remove_prefix(1);
  } else {
    auto name = ParseQuoted(rest, problem);
    if (!name) return false;
    value.name = std::move(*name);
  }
  rest = text::Trim(rest);
  if (rest.empty() || rest.front() != '=') {
    problem = "expected '=' after the value name";
    return false;
  }
  value.source = std::string(lines[i]);
  return ReadValueData(text::Trim(rest.substr(1)), lines, i, value, problem);
}

}  // namespace

std::string LocalMachinePath(std::string_view hklmPath) {
  while (!hklmPath.empty() && hklmPath.front() == '\\') hklmPath.remove_prefix(1);
  while (!hklmPath.empty() && hklmPath.back() == '\\') hklmPath.remove_suffix(1);
  std::string path(kLocalMachine);
  if (!hklmPath.empty()) {
    path += '\\';
    path += hklmPath;
  }
  return path;
}

RegistryFile RegistryFile::Empty() {
  RegistryFile file;
  file.preamble_ = std::string(kHeader) + file.newline_;
  return file;
}

std::optional<RegistryFile> RegistryFile::Parse(std::string_view text, std::string& error) {
  RegistryFile file;
  const std::vector<std::string_view> lines = text::SplitLines(text);
  auto fail = [&error](std::size_t index, std::string_view problem) {
    error = std::to_string(index + 1) + ": " + std::string(problem);
    return std::nullopt;
  };
  std::string pending;  // blank and comment lines not yet given to a value or key
  // The lines seen before the first key go to the preamble, later ones to the last key.
  const auto placePending = [&file, &pending] {
    (file.keys_.empty() ? file.preamble_ : file.keys_.back().trailer) += pending;
    pending.clear();
  };

  bool sawHeader = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view content = Content(lines[i]);
    if (i == 0 && content.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      content.remove_prefix(kByteOrderMark.size());
    }
    const std::string_view line = text::Trim(content);
    if (!sawHeader) {
      if (!line.empty() && line != kHeader) return fail(i, "the file does not start with REGEDIT4");
      if (!line.empty()) {
        sawHeader = true;
        if (lines[i].size() - Content(lines[i]).size() == 1) file.newline_ = "\n";
      }
      file.preamble_ += lines[i];
      continue;
    }
    if (line.empty() || line.front() == ';') {
      pending += lines[i];
      continue;
    }
    std::string problem;
    if (line.front() == '[') {
      const auto path = KeyLinePath(line, problem);
      if (!path) return fail(i, problem);
      placePending();
      RegistryKey key;
      key.path = std::string(*path);
      key.header = std::string(lines[i]);
      file.keys_.push_back(std::move(key));
      continue;
    }
    if (line.front() != '"' && line.front() != '@') return fail(i, "expected a key or a value");
    if (file.keys_.empty()) return fail(i, "a value before any key");
    RegistryValue value;
    value.leading = std::move(pending);
    pending.clear();
    if (!ReadValueLines(line, lines, i, value, problem)) return fail(i, problem);
    file.keys_.back().values.push_back(std::move(value));
  }
  if (!sawHeader) {
    error = "1: the file does not start with REGEDIT4";
    return std::nullopt;
  }
  placePending();
  return file;
}

bool RegistryFile::KeyExists(std::string_view hklmPath) const {
  const std::string wanted = NormalizedKeyPath(LocalMachinePath(hklmPath));
  for (const auto& key : keys_) {
    const std::string path = NormalizedKeyPath(key.path);
    if (path == wanted) return true;
    if (path.size() > wanted.size() && path.compare(0, wanted.size(), wanted) == 0 &&
        path[wanted.size()] == '\\') {
      return true;
    }
  }
  return false;
}

const RegistryValue* RegistryFile::Find(std::string_view hklmPath, std::string_view name) const {
  const std::string wanted = NormalizedKeyPath(LocalMachinePath(hklmPath));
  const RegistryValue* found = nullptr;
  for (const auto& key : keys_) {
    if (NormalizedKeyPath(key.path) != wanted) continue;
    for (const auto& value : key.values) {
      if (text::EqualsIgnoreCase(value.name, name)) found = &value;
    }
  }
  return found;
}

void RegistryFile::Set(std::string_view hklmPath, std::string_view name, std::uint32_t type,
                       std::string_view data) {
  const std::string fullPath = LocalMachinePath(hklmPath);
  const std::string wanted = NormalizedKeyPath(fullPath);
  RegistryValue* existing = nullptr;
  RegistryKey* lastKey = nullptr;
  for (auto& key : keys_) {
    if (NormalizedKeyPath(key.path) != wanted) continue;
    lastKey = &key;
    for (auto& value : key.values) {
      if (text::EqualsIgnoreCase(value.name, name)) existing = &value;
    }
  }
  if (existing != nullptr) {
    existing->type = type;
    existing->data = std::string(data);
    existing->source.clear();
    return;
  }
  if (lastKey == nullptr) {
    RegistryKey key;
    key.path = fullPath;
    keys_.push_back(std::move(key));
    lastKey = &keys_.back();
  }
  RegistryValue value;
  value.name = std::string(name);
  value.type = type;
  value.data = std::string(data);
  lastKey->values.push_back(std::move(value));
}

std::string RegistryFile::FormatValue(const RegistryValue& value, std::string_view newline) {
  std::string line = value.name.empty() ? std::string("@") : Quote(value.name);
  line += '=';
  if (value.type == kRegSz && !NeedsHexForm(value.data)) {
    line += Quote(std::string_view(value.data).substr(0, value.data.size() - 1));
    return line;
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) {
      number = (number << 8) | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
    }
    constexpr std::string_view kDigits = "0123456789abcdef";
    line += kDwordPrefix;
    for (int shift = 28; shift >= 0; shift -= 4) line += kDigits[(number >> shift) & 0xF];
    return line;
  }
  constexpr std::string_view kDigits = "0123456789abcdef";
  line += kHexPrefix;
  if (value.type != kRegBinary) {
    line += '(';
    std::string digits;
    std::uint32_t type = value.type;
    do {
      digits.insert(digits.begin(), kDigits[type & 0xF]);
      type >>= 4;
    } while (type != 0);
    line += digits;
    line += ')';
  }
  line += ':';
  std::string out;
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value.data[i]);
    if (i > 0) {
      line += ',';
      if (line.size() + 3 > kHexLineWidth) {
        out += line;
        out += '\\';
        out += newline;
        line = "  ";
      }
    }
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0xF];
  }
  out += line;
  return out;
}

std::string RegistryFile::Text() const {
  std::string out = preamble_;
  for (const auto& key : keys_) {
    if (key.header.empty()) {
      EnsureLineEnd(out, newline_);
      if (!out.empty() && !(out.size() >= 2 * newline_.size() &&
                            out.compare(out.size() - 2 * newline_.size(), 2 * newline_.size(),
                                        newline_ + newline_) == 0)) {
        out += newline_;
      }
      out += "[" + key.path + "]" + newline_;
    } else {
      EnsureLineEnd(out, newline_);
      out += key.header;
    }
    for (const auto& value : key.values) {
      out += value.leading;
      if (!value.source.empty()) {
        out += value.source;
      } else {
        EnsureLineEnd(out, newline_);
        out += FormatValue(value, newline_);
        out += newline_;
      }
    }
    out += key.trailer;
  }
  return out;
}

}  // namespace halshift::image
