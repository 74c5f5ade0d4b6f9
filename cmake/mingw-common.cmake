# Settings shared by the mingw-w64 toolchain files; they set _mingw (the target triplet) first.
# The posix thread flavour is used because GCC 12's win32 flavour lacks std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

find_program(_mingw_cxx NAMES ${_mingw}-g++-posix ${_mingw}-g++ REQUIRED)
find_program(_mingw_cc NAMES ${_mingw}-gcc-posix ${_mingw}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${_mingw_cc})
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# Kits given on the command line (-DCMAKE_FIND_ROOT_PATH="<qt>;<deps>") stay find roots.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained binaries: no libgcc, libstdc++ or winpthread DLLs needed beside them under Wine. The
# viewer's tree undoes this (see the top-level CMakeLists): a Qt program shares the runtime DLLs with Qt.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
