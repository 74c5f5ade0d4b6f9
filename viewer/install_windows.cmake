# The Windows program folder (`cmake --install <tree> --component viscana --prefix <folder>`): the
# program, the Qt plugins it loads, and every DLL these import that is not part of Windows, found in the
# Qt kit, the media libraries and the compiler's runtime. The folder runs as it is: no qt.conf, plugins
# in their subfolders beside the program. CPack packages exactly this component.

install(TARGETS Viscana RUNTIME DESTINATION . COMPONENT viscana)
set(deploy_plugins
  "Qt5::QWindowsIntegrationPlugin|platforms"
  "Qt5::QJpegPlugin|imageformats"
  "Qt5::QWindowsVistaStylePlugin|styles")
set(deploy_binaries Viscana.exe)
foreach(entry IN LISTS deploy_plugins)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 plugin)
  list(GET entry 1 folder)
  if(NOT TARGET ${plugin})
    message(FATAL_ERROR "The Qt kit has no ${plugin}: the Windows program cannot be deployed")
  endif()
  install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${folder} COMPONENT viscana)
  list(APPEND deploy_binaries "${folder}/$<TARGET_FILE_NAME:${plugin}>")
endforeach()

# Where the imported DLLs are looked for, in this order: the Qt kit's bin/, the find roots' bin/ (the
# media libraries), then the compiler's own runtime (libgcc_s, libstdc++, winpthread).
get_target_property(qt_core_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
if(NOT qt_core_dll)
  get_target_property(qt_core_dll Qt5::Core LOCATION)
endif()
get_filename_component(qt_bin_dir "${qt_core_dll}" DIRECTORY)
set(deploy_search_dirs ${qt_bin_dir})
foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
  if(IS_DIRECTORY "${root}/bin")
    list(APPEND deploy_search_dirs "${root}/bin")
  endif()
endforeach()
foreach(runtime_dll libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime_dll}
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
    get_filename_component(found_dir "${found}" DIRECTORY)
    list(APPEND deploy_search_dirs "${found_dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES deploy_search_dirs)
set(VISCANA_DEPLOY_SEARCH_DIRS "${deploy_search_dirs}" CACHE INTERNAL "Where the Windows program's DLLs are found")

set(MINGW_OBJDUMP ${CMAKE_OBJDUMP} CACHE INTERNAL "objdump of the Windows toolchain")
install(CODE "
  set(deploy_binaries \"${deploy_binaries}\")
  set(deploy_search_dirs \"${deploy_search_dirs}\")
  set(deploy_objdump \"${MINGW_OBJDUMP}\")
  set(deploy_strip \"${CMAKE_STRIP}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/DeployWindowsDlls.cmake\")
" COMPONENT viscana)
