# cmake -DWRITTEN=<file> -DKEPT=<file> -P check-manual-page.cmake: fails when the manual page
# kept in the repository is not the one the build writes from docs/manual/.
file(READ ${WRITTEN} written)
file(READ ${KEPT} kept)
if(NOT written STREQUAL kept)
  message(FATAL_ERROR "${KEPT} is not the manual page that docs/manual/ makes; write it again "
          "with: cmake --build --preset linux --target manual_page")
endif()
