# Cross build for 32-bit Windows with Debian's mingw-w64 i686 compilers.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests of the Windows leg run under 32-bit Wine.
find_program(_wine NAMES wine)
if(_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
endif()
