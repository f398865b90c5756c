# The manual, written once with Halibut in docs/manual/ and turned into each form the program
# ships: the manual page and the terminal's Help (with the Linux build's own pages), the
# Windows help file HALSHIFT.HLP with its contents file HALSHIFT.CNT, and the Windows package's
# README.TXT. Halibut reads the files of a list in order, as one document.
find_program(HALSHIFT_HALIBUT halibut)
if(NOT HALSHIFT_HALIBUT)
  message(FATAL_ERROR "halibut was not found: it writes the manual page, the terminal's Help and "
          "the Windows help file. Install the Debian package halibut "
          "(bash scripts/install-deps.sh installs it with everything else the presets need).")
endif()

set(HALSHIFT_MANUAL_DIR ${PROJECT_SOURCE_DIR}/docs/manual)
# The manual page and the terminal's Help.
set(HALSHIFT_MANUAL_PAGE_SOURCES man overview description interactive terminal silent options
    exit-status files offline environment diagnostics examples linux-examples notes)
# The Windows help file: the same without the Linux build's own pages.
set(HALSHIFT_HELP_FILE_SOURCES help overview description interactive silent options exit-status
    files diagnostics examples notes)
# README.TXT of the Windows package: what it is, how to run it, the keywords.
set(HALSHIFT_README_SOURCES readme overview options exit-status)
foreach(list HALSHIFT_MANUAL_PAGE_SOURCES HALSHIFT_HELP_FILE_SOURCES HALSHIFT_README_SOURCES)
  list(TRANSFORM ${list} PREPEND ${HALSHIFT_MANUAL_DIR}/)
  list(TRANSFORM ${list} APPEND .but)
endforeach()

# halshift_manual_page(<dir>): <dir>/halshift.1 and <dir>/halshift.txt (the terminal's Help).
function(halshift_manual_page dir)
  add_custom_command(OUTPUT ${dir}/halshift.1 ${dir}/halshift.txt
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${HALSHIFT_HALIBUT} --man=${dir}/halshift.1 --text=${dir}/halshift.txt
            ${HALSHIFT_MANUAL_PAGE_SOURCES}
    DEPENDS ${HALSHIFT_MANUAL_PAGE_SOURCES}
    COMMENT "Writing the manual page and the terminal's Help"
    VERBATIM)
endfunction()

# halshift_help_file(<dir>): <dir>/HALSHIFT.HLP and <dir>/HALSHIFT.CNT.
function(halshift_help_file dir)
  add_custom_command(OUTPUT ${dir}/HALSHIFT.HLP ${dir}/HALSHIFT.CNT
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${HALSHIFT_HALIBUT} --winhelp=${dir}/HALSHIFT.HLP ${HALSHIFT_HELP_FILE_SOURCES}
    # Halibut names the contents file in lower case.
    COMMAND ${CMAKE_COMMAND} -E rename ${dir}/HALSHIFT.cnt ${dir}/HALSHIFT.CNT
    DEPENDS ${HALSHIFT_HELP_FILE_SOURCES}
    COMMENT "Writing the Windows help file HALSHIFT.HLP and HALSHIFT.CNT"
    VERBATIM)
endfunction()

# halshift_readme_text(<file>): the package's README.TXT, with CR LF line ends.
function(halshift_readme_text file)
  add_custom_command(OUTPUT ${file}
    COMMAND ${HALSHIFT_HALIBUT} --text=${file}.lf ${HALSHIFT_README_SOURCES}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${file}.lf -DOUTPUT=${file} -P
            ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    DEPENDS ${HALSHIFT_README_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    COMMENT "Writing README.TXT"
    VERBATIM)
endfunction()
