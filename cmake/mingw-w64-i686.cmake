# Cross-builds the 32-bit Windows programs, for 32-bit Windows 7 and later,
# with Debian's MinGW-w64 (package g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#   cmake --build build-win32
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELKRON_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
