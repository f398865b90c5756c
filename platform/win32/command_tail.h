// The command-line tail of a Windows program: what follows the program's name.
//
// May contain: C++ standard library only, so that the rule is exercised on every build.
#pragma once

#include <string_view>

namespace halshift::win32 {

// The text after the program name in a full command line as GetCommandLineA hands it over,
// with the blanks and control characters in front of it removed. The name ends at the closing
// quotation mark when it begins with one (it may then hold blanks), else at the first blank or
// control character. Bytes 0x80 and above belong to names, never to the blanks.
std::string_view CommandLineTail(std::string_view commandLine);

}  // namespace halshift::win32
