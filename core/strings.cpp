// The built-in string table, generated from the same list as the resource script.
#include "core/strings.h"

namespace halshift::strings {

std::string_view BuiltInString(unsigned id) {
  switch (id) {
#define HALSHIFT_STRING(number, text) \
  case number:                        \
    return text;
#include "core/strings.inc"
#undef HALSHIFT_STRING
    default:
      return {};
  }
}

}  // namespace halshift::strings
