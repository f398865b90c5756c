# The libraries of halshift and the rule that keeps them layered.
#
#   halshift_library(<name> [INTERFACE] SOURCES <files...> [DEPENDS <halshift libraries...>]
#                    [LINK <other libraries...>] [GENERATED_HEADERS <include names...>])
#
# Declares one library: its sources (headers included), the halshift libraries it builds on,
# and any other library it links. A folder builds one library, from its own files only. After
# every library is declared, halshift_check_layers() fails the configuration when the DEPENDS
# edges form a circle or a library builds on one that is not on a floor below its own
# (HALSHIFT_FLOORS), and gives each library a build step that checks every #include "..." of a
# project header in its sources: a library may include its own headers and those of the
# libraries it builds on, directly or not, and no other. So a library cannot reach a library
# above it or beside it, and a new circle fails the build.

set_property(GLOBAL PROPERTY HALSHIFT_LIBRARIES "")

# The floors, lowest first; the libraries of one floor (separated by "|") stand side by side
# and do not build on each other. Read-only code sits below the code that changes the machine:
# inspect below hal and bootmenu. The programs (programs/) stand on top of every floor.
set(HALSHIFT_FLOORS
  halshift_base
  halshift_platform
  halshift_core
  halshift_inspect
  "halshift_hal|halshift_bootmenu"
  halshift_app
  halshift_ui
  "halshift_image|halshift_win32|halshift_terminal")

# The top-level folders whose headers belong to a library; an include of any other path
# (a system header, a generated file of the build) is not checked.
set(HALSHIFT_PROJECT_FOLDERS base platform core inspect hal bootmenu app ui programs)

function(halshift_library name)
  cmake_parse_arguments(ARG "INTERFACE" "" "SOURCES;DEPENDS;LINK;GENERATED_HEADERS" ${ARGN})
  set(sources "")
  set(headers "")
  foreach(source ${ARG_SOURCES})
    get_filename_component(absolute ${source} ABSOLUTE)
    list(APPEND sources ${absolute})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${absolute})
    if(relative MATCHES "\\.(h|inc)$")
      list(APPEND headers ${relative})
    endif()
  endforeach()
  list(APPEND headers ${ARG_GENERATED_HEADERS})

  # One folder, one library, of that folder's files.
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  get_property(owner GLOBAL PROPERTY HALSHIFT_FOLDER_${folder})
  if(owner)
    message(FATAL_ERROR "${folder}/ builds ${owner} already; ${name} needs a folder of its own")
  endif()
  set_property(GLOBAL PROPERTY HALSHIFT_FOLDER_${folder} ${name})
  foreach(source ${sources})
    get_filename_component(sourceFolder ${source} DIRECTORY)
    if(NOT sourceFolder STREQUAL CMAKE_CURRENT_SOURCE_DIR)
      message(FATAL_ERROR "${name} (${folder}/) takes ${source}, a file of another folder")
    endif()
  endforeach()

  if(ARG_INTERFACE)
    add_library(${name} INTERFACE ${sources})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS} ${ARG_LINK})
  else()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${HALSHIFT_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} ${ARG_LINK})
  endif()

  set_property(GLOBAL APPEND PROPERTY HALSHIFT_LIBRARIES ${name})
  set_property(GLOBAL PROPERTY HALSHIFT_${name}_DEPENDS "${ARG_DEPENDS}")
  set_property(GLOBAL PROPERTY HALSHIFT_${name}_HEADERS "${headers}")
  set_property(GLOBAL PROPERTY HALSHIFT_${name}_SOURCES "${sources}")
endfunction()

# The headers a library may include: its own and those of everything below it. Also fails on
# a circle through the library.
function(_halshift_visible_headers name trail out)
  if(name IN_LIST trail)
    list(APPEND trail ${name})
    list(JOIN trail " -> " circle)
    message(FATAL_ERROR "halshift libraries depend on each other in a circle: ${circle}")
  endif()
  list(APPEND trail ${name})
  get_property(visible GLOBAL PROPERTY HALSHIFT_${name}_HEADERS)
  get_property(depends GLOBAL PROPERTY HALSHIFT_${name}_DEPENDS)
  foreach(dependency ${depends})
    get_property(known GLOBAL PROPERTY HALSHIFT_LIBRARIES)
    if(NOT dependency IN_LIST known)
      message(FATAL_ERROR "${name} builds on ${dependency}, which is not a halshift library")
    endif()
    _halshift_visible_headers(${dependency} "${trail}" below)
    list(APPEND visible ${below})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set(${out} "${visible}" PARENT_SCOPE)
endfunction()

# The index of a library's floor in HALSHIFT_FLOORS; fails for a library on no floor.
function(_halshift_floor name out)
  set(index 0)
  foreach(floor ${HALSHIFT_FLOORS})
    string(REPLACE "|" ";" members "${floor}")
    if(name IN_LIST members)
      set(${out} ${index} PARENT_SCOPE)
      return()
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
  message(FATAL_ERROR "${name} stands on no floor: add it to HALSHIFT_FLOORS")
endfunction()

function(halshift_check_layers)
  get_property(libraries GLOBAL PROPERTY HALSHIFT_LIBRARIES)
  foreach(name ${libraries})
    _halshift_floor(${name} floor)
    get_property(depends GLOBAL PROPERTY HALSHIFT_${name}_DEPENDS)
    foreach(dependency ${depends})
      _halshift_floor(${dependency} dependencyFloor)
      if(NOT dependencyFloor LESS floor)
        message(FATAL_ERROR "${name} builds on ${dependency}, which is not on a floor below it")
      endif()
    endforeach()
    _halshift_visible_headers(${name} "" visible)
    get_property(sources GLOBAL PROPERTY HALSHIFT_${name}_SOURCES)
    set(listFile ${CMAKE_BINARY_DIR}/layers/${name}.cmake)
    set(stamp ${CMAKE_BINARY_DIR}/layers/${name}.checked)
    file(WRITE ${listFile}
      "set(LIBRARY ${name})\nset(SOURCES \"${sources}\")\nset(VISIBLE \"${visible}\")\n"
      "set(FOLDERS \"${HALSHIFT_PROJECT_FOLDERS}\")\nset(TOP \"${PROJECT_SOURCE_DIR}\")\n")
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${CMAKE_COMMAND} -DLIST_FILE=${listFile} -DSTAMP=${stamp}
              -P ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
      DEPENDS ${sources} ${listFile} ${PROJECT_SOURCE_DIR}/cmake/CheckIncludes.cmake
      COMMENT "Checking the includes of ${name} against its layer"
      VERBATIM)
    add_custom_target(${name}_layering ALL DEPENDS ${stamp})
    get_target_property(type ${name} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      add_dependencies(${name} ${name}_layering)
    endif()
  endforeach()
endfunction()
