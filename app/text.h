// Small text helpers shared by every subsystem: upper-casing and comparison without regard to
// case, over 8-bit text.
#pragma once

#include <string>
#include <string_view>

namespace halshift::text {

// Upper-cases the letters a-z; every other byte is kept (multibyte lead and trail bytes of the
// ANSI code page are left alone, as the system's multibyte-aware upper-casing leaves them).
std::string ToUpper(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool Contains(std::string_view haystack, std::string_view needle);

}  // namespace halshift::text
