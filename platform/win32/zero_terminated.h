// Text arguments for the ...A functions of Win32, which take zero-terminated strings.
//
// May contain: C++ standard library only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halshift::win32 {

// The text as a zero-terminated string, or nothing when it holds a zero byte of its own: the
// system would read only the part before that zero, and so act on another name than the one
// asked for.
inline std::optional<std::string> ZeroTerminated(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(text);
}

// The text of a buffer that the system filled: up to the first zero, or the whole buffer when
// it holds none.
inline std::string TextUpToZero(std::string_view buffer) {
  return std::string(buffer.substr(0, buffer.find('\0')));
}

}  // namespace halshift::win32
