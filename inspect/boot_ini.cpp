// BOOT.INI read: boot drive scan, section entries, its text as lines.
#include "inspect/boot_ini.h"

#include <algorithm>
#include <array>
#include <memory>

#include "base/text.h"
#include "base/winpath.h"

namespace halshift::bootmenu {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
// Text-mode reading treats this character as the end of the file.
constexpr char kEndOfFile = '\x1A';
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::array<std::string_view, 3> kLoaderFiles = {"BOOT.INI", "NTDETECT.COM", "NTLDR"};

}  // namespace

IniEntry SplitEntry(std::string_view line) {
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {std::string(line), std::string()};
  return {std::string(line.substr(0, equals)), std::string(line.substr(equals + 1))};
}

std::vector<IniEntry> ParseSectionBuffer(std::span<const char> buffer, std::uint32_t stored) {
  std::vector<IniEntry> entries;
  // The strings lie within the stored characters; a claim beyond the buffer is not believed.
  const std::size_t limit = std::min<std::size_t>(stored, buffer.size());
  std::size_t position = 0;
  while (position < limit && buffer[position] != '\0') {
    const std::string_view rest(buffer.data() + position, limit - position);
    const auto end = std::min(rest.find('\0'), rest.size());
    entries.push_back(SplitEntry(rest.substr(0, end)));
    position += end + 1;
  }
  return entries;
}

IniSection::IniSection(platform::FileSystem& files, std::string sectionName, std::string filePath)
    : sectionName_(std::move(sectionName)), filePath_(std::move(filePath)) {
  std::vector<char> buffer(kSectionBufferSize, '\0');
  const std::uint32_t stored = files.GetPrivateProfileSection(sectionName_, buffer, filePath_);
  if (stored != 0) entries_ = ParseSectionBuffer(buffer, stored);
}

const IniEntry* IniSection::FirstEntry() {
  cursor_ = 0;
  return NextEntry();
}

const IniEntry* IniSection::NextEntry() {
  if (cursor_ >= entries_.size()) return nullptr;
  return &entries_[cursor_++];
}

bool IsBootDrive(platform::FileSystem& files, std::string_view root) {
  if (files.GetDriveType(root) != platform::kDriveFixed) return false;
  return std::all_of(kLoaderFiles.begin(), kLoaderFiles.end(), [&](std::string_view name) {
    return files.FindFirstFile(winpath::Join(root, name));
  });
}

bool ForEachBootDrive(platform::FileSystem& files,
                      const std::function<Walk(const std::string& root)>& visit) {
  std::string root = "C:\\";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    root[0] = letter;
    if (!IsBootDrive(files, root)) continue;
    if (visit(root) == Walk::kStop) return true;
  }
  return false;
}

std::string_view LineKey(std::string_view line) {
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {};
  return line.substr(0, equals);
}

bool IsOperatingSystemsHeader(std::string_view line) {
  return text::EqualsIgnoreCase(line, kOperatingSystemsHeader);
}

std::optional<std::size_t> FindOperatingSystemsLine(
    std::span<const std::string> lines, const std::function<bool(std::string_view line)>& accept) {
  bool inside = false;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    if (IsOperatingSystemsHeader(lines[index])) {
      inside = true;
    } else if (inside && accept(lines[index])) {
      return index;
    }
  }
  return std::nullopt;
}

std::vector<std::string> SplitTextLines(std::string_view bytes) {
  bytes = bytes.substr(0, std::min(bytes.find(kEndOfFile), bytes.size()));
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), kLineFeed)) + 1);
  while (!bytes.empty()) {
    const std::size_t feed = bytes.find(kLineFeed);
    if (feed == std::string_view::npos) {
      lines.emplace_back(bytes);  // the last line, without terminator; a CR there is kept
      break;
    }
    std::string_view line = bytes.substr(0, feed);
    // CR LF reads as LF; a CR anywhere else is an ordinary byte.
    if (!line.empty() && line.back() == kCarriageReturn) line.remove_suffix(1);
    lines.emplace_back(line);
    bytes.remove_prefix(feed + 1);
  }
  return lines;
}

std::string JoinTextLines(std::span<const std::string> lines) {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + kLineEnd.size();
  std::string bytes;
  bytes.reserve(size);
  for (const auto& line : lines) {
    bytes += line;
    bytes += kLineEnd;
  }
  return bytes;
}

}  // namespace halshift::bootmenu
