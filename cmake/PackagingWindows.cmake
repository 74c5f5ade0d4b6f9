# What a Windows user downloads, made by CPack in a 32-bit Windows build tree
# (scripts/make-windows-downloads.sh):
#   Viscana-<version>-win32.zip        the program folder as it runs (install component viscana)
#   Viscana-<version>-win32-setup.exe  an NSIS installer of that folder: Program Files, a Start-menu entry,
#                                      an uninstaller
#   Quillon-<version>-win32-sdk.zip    the library for host programs (install components quillon_runtime,
#                                      quillon_dev and quillon): the DLL, the headers, the .def, import
#                                      libraries for MinGW (.dll.a) and MSVC (.lib, made from the .def),
#                                      quillon.exe and the reference
# The SDK needs no Qt: a tree without the viewer packs it alone.

# The SDK's additions to the library's development component.
if(TARGET Quillon)
  set(quillon_def ${CMAKE_BINARY_DIR}/bridge/Quillon.def)
  set(quillon_msvc_lib ${CMAKE_BINARY_DIR}/bridge/Quillon.lib)
  # An MSVC import library names the DLL's undecorated exports behind the cdecl symbols MSVC expects.
  find_program(LLVM_DLLTOOL NAMES llvm-dlltool)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(dlltool_machine i386)
  else()
    set(dlltool_machine i386:x86-64)
  endif()
  if(LLVM_DLLTOOL)
    set(dlltool_command ${LLVM_DLLTOOL} -m ${dlltool_machine})
  else()
    find_program(MINGW_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool i686-w64-mingw32-dlltool REQUIRED)
    set(dlltool_command ${MINGW_DLLTOOL})
  endif()
  add_custom_command(OUTPUT ${quillon_msvc_lib}
    COMMAND ${dlltool_command} -d ${quillon_def} -l ${quillon_msvc_lib} -D Quillon.dll
    DEPENDS ${quillon_def} VERBATIM
    COMMENT "MSVC import library of Quillon.dll")
  add_custom_target(quillon_msvc_import_library ALL DEPENDS ${quillon_msvc_lib})
  install(FILES ${quillon_def} ${quillon_msvc_lib} DESTINATION lib COMPONENT quillon_dev)
endif()

set(CPACK_PACKAGE_NAME Viscana)
set(CPACK_PACKAGE_VENDOR Viscana)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Viscana camera viewer")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Viscana)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_GENERATOR ZIP)
# Stripped binaries; the files sit at the top of each zip.
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)

# One zip for the program, one for the library's three components, named as the downloads are.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
foreach(component quillon_runtime quillon_dev quillon)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_GROUP quillon_sdk)
endforeach()
set(CPACK_ARCHIVE_VISCANA_FILE_NAME "Viscana-${PROJECT_VERSION}-win32")
set(CPACK_ARCHIVE_QUILLON_SDK_FILE_NAME "Quillon-${PROJECT_VERSION}-win32-sdk")
set(CPACK_COMPONENTS_ALL)
if(TARGET Viscana)
  list(APPEND CPACK_COMPONENTS_ALL viscana)
  find_program(MAKENSIS makensis)
  if(MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
  endif()
endif()
if(TARGET Quillon)
  list(APPEND CPACK_COMPONENTS_ALL quillon_runtime quillon_dev quillon)
endif()

# The installer holds the program folder only (no component page): see PackagingWindowsProject.cmake.
set(CPACK_NSIS_PACKAGE_NAME Viscana)
set(CPACK_NSIS_DISPLAY_NAME Viscana)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
set(CPACK_PACKAGE_EXECUTABLES Viscana Viscana)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALLED_ICON_NAME Viscana.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The program writes its log into its working folder, which the Start-menu entry makes the program's
# folder; the uninstaller takes the log along. Photos and videos (Camera\) are the user's and stay:
# the captures folder goes only when it is empty (RMDir without /r), and the program folder with it.
# NSIS' single quotes: double quotes do not survive CPack's rewriting of this value.
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "Delete '$INSTDIR\\CameraApp.log'\nRMDir '$INSTDIR\\Camera'\nRMDir '$INSTDIR'")
set(VISCANA_BINARY_DIR ${CMAKE_BINARY_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/PackagingWindowsProject.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(CPACK_GENERATOR STREQUAL \"NSIS\")
  set(CPACK_COMPONENTS_ALL \"\")
  set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};${PROJECT_NAME};viscana;/\")
  set(CPACK_PACKAGE_FILE_NAME \"Viscana-${PROJECT_VERSION}-win32-setup\")
endif()
")

include(CPack)
