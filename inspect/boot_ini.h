// The boot menu file BOOT.INI as it is read: the boot drive scan, the entry view of its
// operating-systems section (IniSection) and its text split into lines and joined again. The
// line view that edits and rewrites it (BootMenuFile) is bootmenu/boot_menu.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace halshift::bootmenu {

inline constexpr std::string_view kBootMenuName = "BOOT.INI";
inline constexpr std::string_view kBackupName = "BOOTINI.ORV";
// The section that lists the installations, as the entry view asks for it.
inline constexpr std::string_view kOperatingSystemsSection = "Operating Systems";
// The line that opens that section in the line view (compared without regard to case).
inline constexpr std::string_view kOperatingSystemsHeader = "[operating systems]";
// What the profile reader is given to fill; a larger section is cut to fit.
inline constexpr std::size_t kSectionBufferSize = 65536;
// Read-only, hidden and system: what both boot menu files carry after every save.
inline constexpr std::uint32_t kBootMenuAttributes = platform::kFileAttributeReadOnly |
                                                     platform::kFileAttributeHidden |
                                                     platform::kFileAttributeSystem;

// One line of a profile section, split at its first "=". A line without "=" is all key.
struct IniEntry {
  std::string key;
  std::string value;
  friend bool operator==(const IniEntry&, const IniEntry&) = default;
};

// Splits one section line at its first "="; without "=" the key is the whole line.
IniEntry SplitEntry(std::string_view line);

// The entries of a buffer filled by GetPrivateProfileSection, which reported `stored`
// characters: zero-terminated strings up to the first empty one. Never reads outside the
// buffer, whatever `stored` claims.
std::vector<IniEntry> ParseSectionBuffer(std::span<const char> buffer, std::uint32_t stored);

// The entries of one section of one file, read once when the object is made. A missing file
// or section gives no entries; nothing is reported.
class IniSection {
 public:
  IniSection(platform::FileSystem& files, std::string sectionName, std::string filePath);

  // The first entry, leaving the cursor on the one after it; nothing when there is none.
  const IniEntry* FirstEntry();
  // The entry at the cursor, moving the cursor on; nothing after the last one.
  const IniEntry* NextEntry();

  const std::string& SectionName() const { return sectionName_; }
  const std::string& FilePath() const { return filePath_; }
  const std::vector<IniEntry>& Entries() const { return entries_; }

 private:
  std::string sectionName_;
  std::string filePath_;
  std::vector<IniEntry> entries_;
  std::size_t cursor_ = 0;
};

// True when the drive of root ("C:\") is fixed and holds "BOOT.INI", "NTDETECT.COM" and
// "NTLDR" in its root, tested in that order; the first missing one ends the test.
bool IsBootDrive(platform::FileSystem& files, std::string_view root);

enum class Walk { kContinue, kStop };

// Hands the roots "A:\" to "Z:\" that qualify as boot drives to visit, in letter order, each
// tested just before it is handed out, until visit answers kStop. Returns true when visit
// stopped the walk.
bool ForEachBootDrive(platform::FileSystem& files,
                      const std::function<Walk(const std::string& root)>& visit);

// The text of a line before its first "="; empty when the line holds no "=".
std::string_view LineKey(std::string_view line);

// True when the whole line equals "[operating systems]" without regard to case.
bool IsOperatingSystemsHeader(std::string_view line);

// The walk over the operating-systems section of the lines: a header line sets the inside
// mark, which is never cleared (a later section does not end it); every other line after it
// is a candidate. Returns the index of the first candidate that accept takes, or nothing.
std::optional<std::size_t> FindOperatingSystemsLine(
    std::span<const std::string> lines, const std::function<bool(std::string_view line)>& accept);

// BOOT.INI read as text: CR LF becomes LF, a Ctrl-Z (26) ends the text, lines split at LF
// without their terminator, a last line without terminator included; every other byte kept.
std::vector<std::string> SplitTextLines(std::string_view bytes);

// The bytes that a save writes: every line followed by CR LF.
std::string JoinTextLines(std::span<const std::string> lines);

}  // namespace halshift::bootmenu
