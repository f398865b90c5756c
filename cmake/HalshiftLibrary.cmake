# The libraries of halshift and the rule that keeps them layered.
#
#   halshift_library(<name> [INTERFACE] SOURCES <files...> [DEPENDS <halshift libraries...>]
#                    [LINK <other libraries...>] [GENERATED_HEADERS <include names...>])
#
# Declares one library: its sources (headers included), the halshift libraries it builds on,
# and any other library it links. After every library is declared, halshift_check_layers()
# fails the configuration when the DEPENDS edges form a circle, and gives each library a build
# step that checks every #include "..." of a project header in its sources: a library may
# include its own headers and those of the libraries it builds on, directly or not, and no
# other. So a library cannot reach a library above it, and a new circle fails the build.

set_property(GLOBAL PROPERTY HALSHIFT_LIBRARIES "")

# The top-level folders whose headers belong to a library; an include of any other path
# (a system header, a generated file of the build) is not checked.
set(HALSHIFT_PROJECT_FOLDERS base platform app log inspect hal bootmenu ui)

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

function(halshift_check_layers)
  get_property(libraries GLOBAL PROPERTY HALSHIFT_LIBRARIES)
  foreach(name ${libraries})
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
