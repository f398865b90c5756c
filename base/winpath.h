// Windows paths as the program and the machine image handle them: joining, splitting, the
// drive designation, case folding, and wildcard matching with the rules FindFirstFileA
// follows. Pure text rules: nothing here touches a file system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::winpath {

// Paths of MAX_PATH (260) characters or more are refused, as Windows refuses them.
inline constexpr std::size_t kMaxPath = 260;

// '\' and '/' both separate components.
bool IsSeparator(char c);

// directory + name with one separator between them: "D:\" + "I386" is "D:\I386", "" + "X"
// is "\X".
std::string Join(std::string_view directory, std::string_view name);
// directory + "\" + name, the directory unchecked: one that already ends in a separator gets a
// second one ("D:\" + "I386" is "D:\\I386"). The installer's rule, kept for the paths it forms
// from SystemRoot and the media folder; otherwise the same as Join.
std::string JoinUnchecked(std::string_view directory, std::string_view name);
// The part of path before its last "\"; empty when the path holds no "\".
std::string DirectoryOf(std::string_view path);
// The part of path after its last separator; the whole path when it holds none.
std::string_view FileNameOf(std::string_view path);
// The components of a path relative to a volume's root, split at "\" and "/", empty ones left
// out ("WINNT\\System32\\" gives "WINNT", "System32"). The views point into path.
std::vector<std::string_view> SplitComponents(std::string_view path);
// The directory above, for browsing: "D:\I386" gives "D:\", and "D:\" stays "D:\".
std::string ParentDirectory(std::string_view directory);
// The drive designation at the start of a full path: its first two characters ("C:" of
// "C:\WINNT"), fewer when the path is shorter.
std::string DriveDesignation(std::string_view path);
// Two paths name the same file when their folded forms are equal (upper case, a-z only).
std::string FoldCase(std::string_view path);

// A path parsed into its drive and components.
struct WindowsPath {
  char drive = 'C';                     // upper case
  std::vector<std::string> components;  // "." and ".." resolved; none for the root
  bool trailingSeparator = false;       // the text ended in '\' or '/' after a component

  // "C:\A\B" with the components as given; "C:\" for the root.
  std::string Text() const;
  // FoldCase(Text()).
  std::string Key() const;
  bool IsRoot() const { return components.empty(); }
};

// Parses a Windows path. A path without a drive ("\I386\HAL.DLL", or a relative one) lies on
// defaultDrive, from its root. ".." at the root stays at the root. Nothing for UNC and device
// paths, for names with characters that Windows does not allow (< > : " | and control
// characters) and for paths of kMaxPath characters or more. '*' and '?' are accepted here;
// operations that take no pattern refuse them.
std::optional<WindowsPath> ParseWindowsPath(std::string_view path, char defaultDrive);

bool HasWildcard(std::string_view name);
// Matches a name against a pattern of '*' and '?' without regard to case, as FindFirstFileA
// does: "*.*" matches every name, "NAME.*" also matches "NAME", and '?' matches one character
// other than '.', or nothing at a '.' or at the end of the name ("HAL.DL?" matches "HAL.DL").
bool MatchesWildcard(std::string_view pattern, std::string_view name);
// A pattern list such as "HAL*.DLL;HAL*.DL_" (blanks around each pattern ignored): true when
// any of them matches; an empty list matches every name.
bool MatchesAnyWildcard(std::string_view patterns, std::string_view name);

// True when name has exactly the form GetTempFileNameA gives a file of prefix: the first three
// characters of prefix (all of a shorter one), one to four hexadecimal digits and ".TMP", all
// without regard to case ("hsn1A2F.TMP", "del7.tmp"). A pattern such as "del*.TMP" says less:
// FindFirstFileA matches it against the 8.3 short names too, so it finds "delivery.tmpl"
// (DELIVE~1.TMP) and "delete.tmp".
bool IsTempFileName(std::string_view name, std::string_view prefix);

}  // namespace halshift::winpath
