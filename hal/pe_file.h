// Moved to inspect/pe_file.h. Only platform/image still includes it by this name, until the
// branches that change platform/image are merged; everything else includes inspect/pe_file.h.
#pragma once

#include "inspect/pe_file.h"

namespace halshift::hal {
namespace pe = halshift::pe;
}  // namespace halshift::hal
