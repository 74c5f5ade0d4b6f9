# Cross build for 64-bit Windows with Debian's mingw-w64 x86_64 compilers. The product is the 32-bit
# build (toolchain-mingw-i686.cmake); this one runs the Windows code under 64-bit Wine on hosts that
# cannot execute 32-bit x86 programs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_mingw x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(_wine64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT _wine64)
  find_program(_wine64 NAMES wine64 wine)
endif()
if(_wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine64})
endif()
