// Writing and reading the intent record of a change of system files.
#include "hal/intent_record.h"

#include <charconv>

namespace halshift::hal {
namespace {

constexpr std::string_view kHeader = "halshift intent 1";
constexpr std::string_view kLineEnd = "\r\n";
constexpr char kSeparator = '*';
constexpr std::size_t kFileFields = 7;
// A record names a few files; more than this is not one of ours.
constexpr std::size_t kMaxFiles = 64;

std::string Hex(std::uint64_t value) {
  char digits[16];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value, 16);
  static_cast<void>(error);  // 16 digits always hold a 64-bit value
  return std::string(digits, end);
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::optional<IntentFile> ParseFile(std::string_view value) {
  const std::vector<std::string_view> fields = Split(value, kSeparator);
  if (fields.size() != kFileFields) return std::nullopt;
  const auto attributes = ParseHex(fields[3]);
  const auto size = ParseHex(fields[4]);
  const auto hash = ParseHex(fields[5]);
  if (!attributes || *attributes > 0xFFFFFFFFu || !size || !hash) return std::nullopt;
  if (fields[0].empty() || fields[1].empty()) return std::nullopt;
  return IntentFile{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                    static_cast<std::uint32_t>(*attributes), *size, *hash, std::string(fields[6])};
}

}  // namespace

std::uint64_t ContentHash(std::string_view bytes) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3u;
  }
  return hash;
}

std::string FormatIntentRecord(const IntentRecord& record) {
  std::string text(kHeader);
  text += kLineEnd;
  if (record.currentType) {
    text += "CurrentType=" + *record.currentType;
    text += kLineEnd;
  }
  if (!record.setupLogPath.empty()) {
    text += "SetupLog=" + record.setupLogPath + kSeparator + record.systemRoot;
    text += kLineEnd;
  }
  for (const IntentFile& file : record.files) {
    text += "File=" + file.stagedPath + kSeparator + file.destinationPath + kSeparator +
            file.asidePath + kSeparator + Hex(file.attributes) + kSeparator + Hex(file.size) +
            kSeparator + Hex(file.hash) + kSeparator + file.mediaName;
    text += kLineEnd;
  }
  text += "End=" + std::to_string(record.files.size());
  text += kLineEnd;
  return text;
}

std::optional<IntentRecord> ParseIntentRecord(std::string_view text) {
  // Every line, the last included, ends in CR LF: a record cut off anywhere fails here or at
  // its missing End line.
  if (text.size() < kLineEnd.size() || text.substr(text.size() - kLineEnd.size()) != kLineEnd) {
    return std::nullopt;
  }
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(kLineEnd, start);
    if (end == std::string_view::npos) return std::nullopt;
    lines.push_back(text.substr(start, end - start));
    start = end + kLineEnd.size();
  }
  if (lines.size() < 2 || lines.front() != kHeader) return std::nullopt;

  IntentRecord record;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (HasLineBreak(line)) return std::nullopt;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (key == "CurrentType" && !record.currentType && record.files.empty()) {
      record.currentType = std::string(value);
    } else if (key == "SetupLog" && record.setupLogPath.empty() && record.files.empty()) {
      const std::vector<std::string_view> parts = Split(value, kSeparator);
      if (parts.size() != 2 || parts[0].empty()) return std::nullopt;
      record.setupLogPath = std::string(parts[0]);
      record.systemRoot = std::string(parts[1]);
    } else if (key == "File" && record.files.size() < kMaxFiles) {
      auto file = ParseFile(value);
      if (!file) return std::nullopt;
      record.files.push_back(std::move(*file));
    } else {
      return std::nullopt;
    }
  }
  if (lines.back() != "End=" + std::to_string(record.files.size())) return std::nullopt;
  return record;
}

}  // namespace halshift::hal
