# Installation on Linux (`cmake --install`, component viscana): the program, the camera access rule,
# the menu entry and its icon, each where the desktop and udev look for them.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

# udev reads /etc/udev/rules.d and /usr/lib/udev/rules.d, not a rules folder under /usr/local. The
# folder follows the prefix given at install time: /usr/local puts the rule into /etc/udev/rules.d, /usr
# into /usr/lib/udev/rules.d, any other prefix (a staging or private one) into <prefix>/lib/udev/rules.d.
# VISCANA_UDEV_RULES_INSTALL_DIR, when set, wins.
set(VISCANA_UDEV_RULES_INSTALL_DIR "" CACHE PATH "Where the camera access rule is installed (empty: from the prefix)")
install(TARGETS Viscana RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT viscana)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/viscana.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT viscana)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/img/camera.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME viscana.png COMPONENT viscana)

set(rule_file ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/70-viscana-camera.rules)
install(CODE "set(viscana_rule_file \"${rule_file}\")\nset(viscana_rules_dir \"${VISCANA_UDEV_RULES_INSTALL_DIR}\")"
  COMPONENT viscana)
install(CODE [[
if(viscana_rules_dir STREQUAL "")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
    set(viscana_rules_dir /etc/udev/rules.d)
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(viscana_rules_dir /usr/lib/udev/rules.d)
  else()
    set(viscana_rules_dir "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d")
  endif()
endif()
file(INSTALL DESTINATION "${viscana_rules_dir}" TYPE FILE FILES "${viscana_rule_file}")
# On the running system (not when staging into DESTDIR, not into a private prefix), udev applies the new
# rule to a camera that is already plugged in. Without udev (a container) this does nothing.
if("$ENV{DESTDIR}" STREQUAL "" AND viscana_rules_dir MATCHES "^(/etc/udev|/usr/lib/udev|/lib/udev)/")
  execute_process(COMMAND udevadm control --reload-rules RESULT_VARIABLE r OUTPUT_QUIET ERROR_QUIET)
  if(r EQUAL 0)
    execute_process(COMMAND udevadm trigger --action=add --subsystem-match=usb OUTPUT_QUIET ERROR_QUIET)
  endif()
endif()
]] COMPONENT viscana)
