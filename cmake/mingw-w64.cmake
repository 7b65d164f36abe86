# Cross-builds the Windows programs with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELKRON_MINGW_TRIPLE x86_64-w64-mingw32)

# The plain name follows Debian's alternatives (win32 or posix threads); the
# programs use no threads, so either variant will do.
find_program(PELKRON_MINGW_CXX
  NAMES ${PELKRON_MINGW_TRIPLE}-g++ ${PELKRON_MINGW_TRIPLE}-g++-win32 ${PELKRON_MINGW_TRIPLE}-g++-posix
  REQUIRED)
set(CMAKE_CXX_COMPILER ${PELKRON_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${PELKRON_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW tree only; programs (such as the
# compiler's helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PELKRON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
