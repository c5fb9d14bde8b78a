# Cross-compiling for Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-posix). Set ZENTRAFOLD_MINGW_ARCH to x86_64 (default) or
# i686 before this file is read, e.g. -DZENTRAFOLD_MINGW_ARCH=i686.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT DEFINED ZENTRAFOLD_MINGW_ARCH)
  set(ZENTRAFOLD_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${ZENTRAFOLD_MINGW_ARCH})
set(triple ${ZENTRAFOLD_MINGW_ARCH}-w64-mingw32)

# The posix flavour (winpthreads) of the compilers.
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix ${triple}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
