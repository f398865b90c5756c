// The command line of the Linux build as Windows would hold it: the arguments, split by the
// shell, joined again so that the program sees the same tail as halshift.exe would.
//
// May contain: C++ standard library only.
#pragma once

#include <span>
#include <string>

namespace halshift::image {

// The arguments after the program name, separated by one blank. An empty argument, or one with
// a blank or a tab, is enclosed in double quotes; within them a quotation mark is written \"
// and the backslashes just before it, or before the closing quote, are doubled, as
// CommandLineToArgvW reads them back.
std::string JoinCommandLine(std::span<const char* const> arguments);

}  // namespace halshift::image
