# halshift_separate_symbols(target): in every build but Debug, the program is stripped after
# linking (halshift.exe is copied onto old machines, often on a floppy disk) and its symbols
# and debugging sections go to <program>.debug beside it in the build directory, for reading
# addresses from a crash with objdump or gdb.
function(halshift_separate_symbols target)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    return()
  endif()
  if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "objcopy and strip are needed to strip ${target}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
    COMMENT "Stripping ${target}; symbols in $<TARGET_FILE_NAME:${target}>.debug"
    VERBATIM)
endfunction()
