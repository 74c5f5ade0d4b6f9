# Installation on Linux (`cmake --install`): the program, the camera access rule, the menu entry and
# its icon, each where the desktop and udev look for them.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

# udev reads /etc/udev/rules.d and /usr/lib/udev/rules.d, not a rules folder under /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(default_rules_dir /usr/lib/udev/rules.d)
else()
  set(default_rules_dir /etc/udev/rules.d)
endif()
set(VISCANA_UDEV_RULES_DIR ${default_rules_dir} CACHE PATH "Where the camera access rule is installed")

install(TARGETS Viscana RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/70-viscana-camera.rules
  DESTINATION ${VISCANA_UDEV_RULES_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/viscana.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/img/camera.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME viscana.png)

# On the running system (not when staging into DESTDIR): udev applies the new rule to a camera that is
# already plugged in. Without udev (a container) this does nothing.
install(CODE [[
if("$ENV{DESTDIR}" STREQUAL "")
  execute_process(COMMAND udevadm control --reload-rules RESULT_VARIABLE r OUTPUT_QUIET ERROR_QUIET)
  if(r EQUAL 0)
    execute_process(COMMAND udevadm trigger --action=add --subsystem-match=usb OUTPUT_QUIET ERROR_QUIET)
  endif()
endif()
]])
