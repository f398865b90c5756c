// Small text helpers shared by every part of the program: case folding and comparison without
// regard to case over 8-bit text, trimming, lines, and text made safe for the ...A calls.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::text {

// The upper-case form of one byte: only a-z change; every other byte is kept (multibyte lead
// and trail bytes of the ANSI code page are left alone, as the system's multibyte-aware
// upper-casing leaves them).
char UpperAscii(char c);
std::string ToUpper(std::string_view s);
// The lower-case form, likewise: only A-Z change.
std::string ToLower(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Orders by the upper-case forms, a shorter text before a longer one with the same start.
bool LessIgnoreCase(std::string_view a, std::string_view b);
bool Contains(std::string_view haystack, std::string_view needle);
inline constexpr std::string_view kBlanks = " \t";
inline constexpr std::string_view kBlanksAndLineEnds = " \t\r\n";
// The text without the characters of `characters` at its start and end; by default the
// blanks and tabs, as the profile functions read keys and values.
std::string_view Trim(std::string_view text, std::string_view characters = kBlanks);
std::string_view TrimBlanks(std::string_view text);  // the same as Trim(text)
// The text without the characters of `characters` at its end.
std::string_view TrimEnd(std::string_view text, std::string_view characters);
// The lines of text in order, each with the bytes that end it ("\n", "\r\n", nothing on a
// last line without one): every byte belongs to exactly one line. An empty text has none.
std::vector<std::string_view> SplitLines(std::string_view text);

// pattern with each "%s" or "%d" replaced by the next of values, in order, and "%%" by "%";
// a marker without a value left is kept as it is. For texts of the string table, whose
// markers the program fills itself: never a printf format from outside.
std::string FillIn(std::string_view pattern, std::initializer_list<std::string_view> values);

// The text with every zero byte shown as a blank: a zero-terminated ...A call would otherwise
// cut it short there.
std::string Printable(std::string_view text);

}  // namespace halshift::text
