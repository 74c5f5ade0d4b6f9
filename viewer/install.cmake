# Installation on Linux (`cmake --install`, component viscana): the program, the camera access rule,
# the menu entry and its icon, each where the desktop and udev look for them.
if(WIN32)
  return()
endif()
include(GNUInstallDirs)

# The camera access rule goes where udev reads it for the install prefix (cmake/UdevRule.cmake);
# VISCANA_UDEV_RULES_INSTALL_DIR, when set, wins.
include(UdevRule)
set(VISCANA_UDEV_RULES_INSTALL_DIR "" CACHE PATH "Where the camera access rule is installed (empty: from the prefix)")
install(TARGETS Viscana RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT viscana)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/viscana.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT viscana)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/img/camera.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME viscana.png COMPONENT viscana)

install_udev_rule(RULE ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux/70-viscana-camera.rules COMPONENT viscana
  DIR "${VISCANA_UDEV_RULES_INSTALL_DIR}" SUBSYSTEMS usb)
