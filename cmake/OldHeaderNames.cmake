# The headers that moved when the folders took their floors, under their old names, for the
# code that still includes them by those names: platform/image, until the work under way there
# is merged. Each is written into the build tree (generated/, on every library's include path)
# and only includes the header at its new place, with the old namespace name where that changed.
# halshift_app declares them, so the include check lets the floors above it include them.
set(HALSHIFT_OLD_HEADER_NAMES app/locations.h app/strings.h app/registry_record.h hal/pe_file.h)

function(_halshift_old_header old new)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/${old}
       CONTENT "// ${old} under its old name: see cmake/OldHeaderNames.cmake.\n#pragma once\n\n#include \"${new}\"\n${ARGN}"
       @ONLY)
endfunction()

_halshift_old_header(app/locations.h core/locations.h)
_halshift_old_header(app/strings.h core/strings.h)
_halshift_old_header(app/registry_record.h core/registry_values.h
  "\nnamespace halshift {\nnamespace record = registry_values;\n}  // namespace halshift\n")
_halshift_old_header(hal/pe_file.h inspect/pe_file.h
  "\nnamespace halshift::hal {\nnamespace pe = halshift::pe;\n}  // namespace halshift::hal\n")
