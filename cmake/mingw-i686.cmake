# mingw-w64 for i686 with the win32 thread model, aimed at Windows NT 4.0.
# A machine without them is told what to install, rather than that a compiler "is not a full
# path and was not found".
foreach(tool i686-w64-mingw32-gcc-win32 i686-w64-mingw32-g++-win32 i686-w64-mingw32-windres)
  find_program(halshift_mingw_tool ${tool} NO_CACHE)
  if(NOT halshift_mingw_tool)
    message(FATAL_ERROR "${tool} was not found: the win32 preset needs mingw-w64 for i686 with "
            "the win32 thread model (Debian packages gcc-mingw-w64-i686-win32, "
            "g++-mingw-w64-i686-win32 and binutils-mingw-w64-i686). Install them with: "
            "bash scripts/install-deps.sh win32")
  endif()
  unset(halshift_mingw_tool)
endforeach()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# NT 4.0 headers: nothing newer than Windows NT 4.0 is declared.
add_compile_definitions(_WIN32_WINNT=0x0400 WINVER=0x0400 _WIN32_IE=0x0300 NOMINMAX WIN32_LEAN_AND_MEAN)
