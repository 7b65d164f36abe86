# Cross-builds the 64-bit Windows programs with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELKRON_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
