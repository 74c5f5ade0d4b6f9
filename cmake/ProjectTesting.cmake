# GoogleTest for native and cross builds, and one helper to declare a test program.
#
#   project_add_gtest(NAME <target> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                     [ENVIRONMENT <VAR=value...>] [TIMEOUT <seconds>])
#
# Native builds register every test case with CTest (gtest_discover_tests); cross builds register the
# program once and CTest runs it through CMAKE_CROSSCOMPILING_EMULATOR (Wine for the Windows leg).

if(NOT BUILD_TESTING)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  # Debian ships the GoogleTest sources; build them with the cross compiler.
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  endif()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# The Wine prefix of a Windows tree matches its programs: whichever test starts Wine first creates it,
# and a 64-bit prefix cannot run the 32-bit programs of the tests after it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PROJECT_WINEARCH win32)
else()
  set(PROJECT_WINEARCH win64)
endif()

function(project_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
      ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEARCH=${PROJECT_WINEARCH};${T_ENVIRONMENT}")
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
    # gtest_discover_tests splits list values of PROPERTIES into separate arguments, so labels and the
    # environment are set by a script of our own that CTest includes after the discovered tests.
    set(props_script ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_properties.cmake)
    file(CONFIGURE OUTPUT ${props_script} CONTENT [=[
if(DEFINED @T_NAME@_TESTS)
  foreach(test_name IN LISTS @T_NAME@_TESTS)
    set_tests_properties("${test_name}" PROPERTIES LABELS "@T_LABELS@" ENVIRONMENT "@T_ENVIRONMENT@")
  endforeach()
endif()
]=] @ONLY)
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props_script})
  endif()
endfunction()
