// String resource ids of halshift by name (from the list in strings.inc), and the built-in
// copy of the table for platforms without resources.
#pragma once

#include <string>
#include <string_view>

#include "core/state.h"

namespace halshift::strings {

// Every text's resource id by its name.
enum : unsigned {
#define HALSHIFT_STRING(name, id, text) name = id,
#include "core/strings.inc"
#undef HALSHIFT_STRING
};

// The texts that show a HAL kind ("Uniprocessor HAL" for the uniprocessor HAL, else
// "Multiprocessor HAL") and whether the recovery entry is there ("Present", "Not Present").
constexpr unsigned HalKindText(HalKind kind) {
  return kind == HalKind::kUniprocessor ? kUniprocessorHal : kMultiprocessorHal;
}
constexpr unsigned RecoveryStateText(bool present) {
  return present ? kRecoveryPresent : kRecoveryNotPresent;
}

// The text of id from the table compiled into the program; empty for an unknown id.
std::string_view BuiltInString(unsigned id);

}  // namespace halshift::strings
