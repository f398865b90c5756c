// Moved to core/locations.h. Only platform/image still includes it by this name, until the
// branches that change platform/image are merged; everything else includes core/locations.h.
#pragma once

#include "core/locations.h"
