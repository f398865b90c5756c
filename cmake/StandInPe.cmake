# Stand-in system files: small PE images with version resources, built with mingw-w64 and
# windres (no Windows binary is kept in the repository) and given their image checksum by
# tests/fixtures/pe/pe_checksum.py, which older GNU ld does not write. They stand for the HALs,
# kernels and other system files of Windows NT 4.0 media and installations, in the tests and in
# the example machine images.
#
# Including this file sets HALSHIFT_STANDIN_TOOLS_FOUND. halshift_standin() adds one file.
find_program(HALSHIFT_MINGW_GCC i686-w64-mingw32-gcc)
find_program(HALSHIFT_MINGW_WINDRES i686-w64-mingw32-windres)
find_package(Python3 COMPONENTS Interpreter)
if(HALSHIFT_MINGW_GCC AND HALSHIFT_MINGW_WINDRES AND Python3_Interpreter_FOUND)
  set(HALSHIFT_STANDIN_TOOLS_FOUND TRUE)
else()
  set(HALSHIFT_STANDIN_TOOLS_FOUND FALSE)
endif()

set(HALSHIFT_STANDIN_SOURCES ${PROJECT_SOURCE_DIR}/tests/fixtures/pe)

# halshift_standin(<path> <DLL|EXE> <version> <OriginalFilename> [NO_VERSION] [NO_CHECKSUM]
#                  [ODD_LENGTH] [COMMENTS <text>]
#                  [FIRST_TABLE <language+code page> <OriginalFilename>])
# One stand-in file at <path> under the current binary directory. Appends its full path to
# standin_outputs in the caller's scope, and a line to standin_manifest: the path, the version
# and OriginalFilename a reader must find ("-" for none), and "checksum" when the header
# checksum is set, "none" when it is zero (as a linker that computes none leaves it). COMMENTS
# gives the version resource a Comments string, which tells apart stand-ins that are otherwise
# the same file.
function(halshift_standin path type version original)
  cmake_parse_arguments(PARSE_ARGV 4 arg "NO_VERSION;NO_CHECKSUM;ODD_LENGTH" "COMMENTS"
                        "FIRST_TABLE")
  set(fixture_dir ${CMAKE_CURRENT_BINARY_DIR})
  string(MAKE_C_IDENTIFIER ${path} id)
  get_filename_component(name ${path} NAME)
  set(output ${fixture_dir}/${path})
  set(linked ${fixture_dir}/work/${id}.linked)
  set(objects "")
  set(expected_version ${version})
  set(expected_original ${original})
  set(source ${HALSHIFT_STANDIN_SOURCES}/standin.c)
  set(patch_tool ${HALSHIFT_STANDIN_SOURCES}/pe_checksum.py)
  set(template ${HALSHIFT_STANDIN_SOURCES}/version.rc.in)

  if(NOT arg_NO_VERSION)
    string(REPLACE "." "," STANDIN_VERSION_COMMAS ${version})
    set(STANDIN_VERSION ${version})
    set(STANDIN_ORIGINAL ${original})
    string(TOUPPER ${name} STANDIN_INTERNAL)
    set(STANDIN_FILETYPE VFT_APP)
    if(type STREQUAL "DLL")
      set(STANDIN_FILETYPE VFT_DLL)
    endif()
    set(STANDIN_COMMENTS "")
    if(arg_COMMENTS)
      set(STANDIN_COMMENTS "      VALUE \"Comments\", \"${arg_COMMENTS}\"")
    endif()
    set(STANDIN_FIRST_TABLE "")
    set(STANDIN_TRANSLATIONS "0x409, 1200")
    if(arg_FIRST_TABLE)
      # A string table of another language ahead of the English one: its OriginalFilename is
      # the one that counts.
      list(GET arg_FIRST_TABLE 0 table)
      list(GET arg_FIRST_TABLE 1 expected_original)
      string(SUBSTRING ${table} 0 4 language)
      set(STANDIN_FIRST_TABLE "    BLOCK \"${table}\"\n    BEGIN\n      VALUE \"OriginalFilename\", \"${expected_original}\"\n    END")
      set(STANDIN_TRANSLATIONS "0x${language}, 1200, 0x409, 1200")
    endif()
    set(rc ${fixture_dir}/work/${id}.rc)
    set(res ${fixture_dir}/work/${id}.res.o)
    configure_file(${template} ${rc} @ONLY)
    add_custom_command(OUTPUT ${res}
      COMMAND ${HALSHIFT_MINGW_WINDRES} -i ${rc} -o ${res}
      DEPENDS ${rc} ${template}
      COMMENT "Compiling the version resource of stand-in ${path}" VERBATIM)
    set(objects ${res})
  else()
    set(expected_version "-")
    set(expected_original "-")
  endif()

  set(link_flags -nostdlib -s -Wl,--no-insert-timestamp -Wl,--entry,_StandInEntry@12)
  if(type STREQUAL "DLL")
    list(APPEND link_flags -shared)
  endif()
  set(patch_flags "")
  if(arg_ODD_LENGTH)
    set(patch_flags --odd)
  endif()
  if(arg_NO_CHECKSUM)
    set(finish ${Python3_EXECUTABLE} ${patch_tool} clear ${linked} ${output})
    set(checksum none)
  else()
    set(finish ${Python3_EXECUTABLE} ${patch_tool} patch ${linked} ${output} ${patch_flags})
    set(checksum checksum)
  endif()
  get_filename_component(output_dir ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${fixture_dir}/work)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${HALSHIFT_MINGW_GCC} -O2 -Wall -Wextra -Werror ${link_flags} -o ${linked} ${source} ${objects}
    COMMAND ${finish}
    DEPENDS ${source} ${objects} ${patch_tool}
    COMMENT "Building stand-in ${path}" VERBATIM)

  set(standin_outputs ${standin_outputs} ${output} PARENT_SCOPE)
  set(standin_manifest "${standin_manifest}${path}\t${expected_version}\t${expected_original}\t${checksum}\n" PARENT_SCOPE)
endfunction()
