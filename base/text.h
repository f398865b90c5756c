// Small text helpers shared by every part of the program: case folding and comparison without
// regard to case over 8-bit text, and text made safe for the ...A calls.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace halshift::text {

// The upper-case form of one byte: only a-z change; every other byte is kept (multibyte lead
// and trail bytes of the ANSI code page are left alone, as the system's multibyte-aware
// upper-casing leaves them).
char UpperAscii(char c);
std::string ToUpper(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Orders by the upper-case forms, a shorter text before a longer one with the same start.
bool LessIgnoreCase(std::string_view a, std::string_view b);
bool Contains(std::string_view haystack, std::string_view needle);
// The text without the blanks and tabs at its start and end, as the profile functions read
// keys and values.
std::string_view TrimBlanks(std::string_view text);

// pattern with each "%s" or "%d" replaced by the next of values, in order, and "%%" by "%";
// a marker without a value left is kept as it is. For texts of the string table, whose
// markers the program fills itself: never a printf format from outside.
std::string FillIn(std::string_view pattern, std::initializer_list<std::string_view> values);

// The text with every zero byte shown as a blank: a zero-terminated ...A call would otherwise
// cut it short there.
std::string Printable(std::string_view text);

}  // namespace halshift::text
