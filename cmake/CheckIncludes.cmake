# Build step of halshift_check_layers(): fails when a source of a library includes a project
# header that belongs neither to the library nor to one it builds on.
#   cmake -DLIST_FILE=<layers/name.cmake> -DSTAMP=<file> -P CheckIncludes.cmake
cmake_minimum_required(VERSION 3.25)
include(${LIST_FILE})

set(problems "")
foreach(source ${SOURCES})
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" included "${line}")
    string(REGEX REPLACE "/.*$" "" folder "${included}")
    if(folder IN_LIST FOLDERS AND NOT included IN_LIST VISIBLE)
      file(RELATIVE_PATH shown ${TOP} ${source})
      string(APPEND problems "\n  ${shown} includes ${included}")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "${LIBRARY} reaches headers outside the libraries it builds on:${problems}")
endif()
file(TOUCH ${STAMP})
