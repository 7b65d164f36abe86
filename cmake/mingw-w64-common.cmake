# What both MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and PELKRON_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

# The plain name follows Debian's alternatives (win32 or posix threads); the
# programs use no threads, so either variant will do.
find_program(PELKRON_MINGW_CXX
  NAMES ${PELKRON_MINGW_TRIPLE}-g++ ${PELKRON_MINGW_TRIPLE}-g++-win32 ${PELKRON_MINGW_TRIPLE}-g++-posix
  REQUIRED)
set(CMAKE_CXX_COMPILER ${PELKRON_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${PELKRON_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries come from the MinGW tree only; programs (such as the
# compiler's helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PELKRON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
