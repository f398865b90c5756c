// Moved to core/strings.h. Only platform/image still includes it by this name, until the
// branches that change platform/image are merged; everything else includes core/strings.h.
#pragma once

#include "core/strings.h"
