// Moved to core/registry_values.h. Only platform/image still includes it by this name, until the
// branches that change platform/image are merged; everything else includes core/registry_values.h.
#pragma once

#include "core/registry_values.h"

namespace halshift {
namespace record = registry_values;
}  // namespace halshift
