// Changes of a single file that a cut at any call cannot leave half done: the new bytes, or a
// copy, go to a temporary file in the target's folder, are flushed, and replace the target in
// one step; and the removal of the temporary files a cut-off change leaves.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace halshift {

// The read-only, hidden, system and archive bits of attributes, which SetFileAttributes can
// give back to a file; FILE_ATTRIBUTE_NORMAL for none of them or for invalid attributes.
std::uint32_t RestorableAttributes(std::uint32_t attributes);

// Removes a file when it exists, clearing its attributes first.
void RemoveFile(platform::FileSystem& files, std::string_view path);

// Removes every file in folder (such as "C:\" or "C:\WINNT\repair") whose long name has
// exactly the form GetTempFileName gives a file of prefix (winpath::IsTempFileName), and, when
// onlyEmpty, that is empty. Nothing else that prefix*.TMP finds is the program's to remove.
void RemoveTemporaryFiles(platform::FileSystem& files, std::string_view folder,
                          std::string_view prefix, bool onlyEmpty = false);

// Copies source over target through a temporary file named by prefix in folder, the target's
// folder: afterwards target is the old or a whole new copy, and no temporary file is left. The
// target's attributes are cleared to replace it; the caller gives it the ones it wants.
bool CopyWhole(platform::FileSystem& files, std::string_view source, std::string_view target,
               std::string_view folder, std::string_view prefix);

// The same for new bytes.
bool WriteWhole(platform::FileSystem& files, std::string_view target, std::string_view bytes,
                std::string_view folder, std::string_view prefix);

}  // namespace halshift
