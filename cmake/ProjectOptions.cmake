# Compiler warnings and sanitizers shared by every target of the project.

option(ENABLE_SANITIZERS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ENABLE_TSAN "Build with ThreadSanitizer" OFF)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
endif()

if(ENABLE_SANITIZERS AND ENABLE_TSAN)
  message(FATAL_ERROR "ENABLE_SANITIZERS and ENABLE_TSAN cannot be combined")
endif()
if(ENABLE_SANITIZERS)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ENABLE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Rebuilds of the several build trees (plain, sanitizers, Windows legs) share one compiler cache when
# ccache is installed; VISCANA_CCACHE=OFF turns it off.
option(VISCANA_CCACHE "Use ccache as the compiler launcher when it is installed" ON)
find_program(CCACHE_PROGRAM ccache)
if(VISCANA_CCACHE AND CCACHE_PROGRAM AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  # Paths under the source tree are hashed relative to it, so clones in other folders (CI's) hit the
  # same cache entries.
  set(_ccache ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_NOHASHDIR=1
    CCACHE_MAXSIZE=20G ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${_ccache})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${_ccache})
endif()
