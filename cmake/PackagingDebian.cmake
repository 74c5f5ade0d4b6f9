# Debian packages from this tree (`cpack -G DEB`, run by scripts/make-packages.sh), one per install
# component:
#
#   component        package         contents
#   viscana          viscana         the viewer, viscana-virtual, udev rule, menu entry, icon, metainfo
#   quillon_runtime  libquillon0     libQuillon.so.0 (the soname stays while the exports stay compatible)
#   quillon_dev      libquillon-dev  headers, quillon.pc, libQuillon.so, the library reference
#   quillon          quillon-tools   the quillon tool with its virtual bridge, its completion
#
# Each package also gets the copyright file and the changelog of cmake/debian/ under
# share/doc/<package>/, and the lintian overrides found there. Man pages come from docs/man/.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
include(GNUInstallDirs)
set(deb_dir ${CMAKE_CURRENT_LIST_DIR}/debian)

# The changelog's newest entry names the version being packaged; it must be the project's.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb_dir}/changelog)
file(STRINGS ${deb_dir}/changelog changelog_lines)
list(GET changelog_lines 0 changelog_top)
if(NOT changelog_top MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^)]+)\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: cannot read the first line \"${changelog_top}\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is ${CMAKE_MATCH_1}, the project is "
    "${PROJECT_VERSION}; add an entry for ${PROJECT_VERSION}")
endif()
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^ -- (.+)  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(VISCANA_MAINTAINER "${CMAKE_MATCH_1}")
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND months ${CMAKE_MATCH_3} month)
    math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
    string(LENGTH "${month}" month_len)
    if(month_len EQUAL 1)
      set(month "0${month}")
    endif()
    set(VISCANA_RELEASE_DATE "${CMAKE_MATCH_4}-${month}-${CMAKE_MATCH_2}")
    break()
  endif()
endforeach()
if(NOT VISCANA_RELEASE_DATE)
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry has no trailer line")
endif()

# AppStream metainfo of the viewer: its release is the changelog's newest entry.
if(TARGET Viscana)
  configure_file(${PROJECT_SOURCE_DIR}/viewer/platform/linux/viscana.metainfo.xml.in
    ${CMAKE_CURRENT_BINARY_DIR}/org.viscana.Viscana.metainfo.xml @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/org.viscana.Viscana.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT viscana)
endif()

set(deb_packages "")
set(deb_components "")
foreach(entry viscana=viscana quillon_runtime=libquillon0 quillon_dev=libquillon-dev quillon=quillon-tools)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 component)
  list(GET entry 1 package)
  get_cmake_property(components COMPONENTS)
  if(NOT component IN_LIST components)
    continue()
  endif()
  list(APPEND deb_components ${component})
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package})
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${deb_dir}/copyright DESTINATION ${doc} COMPONENT ${component})
  # Native packages keep their changelog as changelog.gz, compressed without a time stamp.
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
  if(NOT EXISTS ${gz} OR ${deb_dir}/changelog IS_NEWER_THAN ${gz})
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian)
    execute_process(COMMAND gzip -9nc ${deb_dir}/changelog OUTPUT_FILE ${gz} RESULT_VARIABLE r)
    if(NOT r EQUAL 0)
      message(FATAL_ERROR "gzip failed on cmake/debian/changelog")
    endif()
  endif()
  install(FILES ${gz} DESTINATION ${doc} COMPONENT ${component})
  if(EXISTS ${deb_dir}/${package}.lintian-overrides)
    install(FILES ${deb_dir}/${package}.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      RENAME ${package} COMPONENT ${component})
  endif()
  file(GLOB extra LIST_DIRECTORIES false ${deb_dir}/${package}/*)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${extra}")
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL ${deb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME viscana)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Viscana and Quillon developers")
set(CPACK_PACKAGE_CONTACT "${VISCANA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VISCANA_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE viscana)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 0)

set(CPACK_DEBIAN_VISCANA_PACKAGE_SECTION video)
set(CPACK_DEBIAN_VISCANA_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_COMPONENT_VISCANA_DESCRIPTION "viewer for USB bulk-streaming cameras: live view, photos, videos
Viscana shows the live picture of a USB camera that streams JPEG frames over
USB bulk endpoints (vendor ids 0329, 2ce3 and 3301), takes photos at once,
after a countdown or from the camera's button, and records MP4 (H.264) videos
at 25 frames per second. It follows the camera being plugged in and pulled
out, and has a Chinese and an English interface.
.
The package installs a udev rule that gives the user at the seat access to
the camera, a menu entry, and viscana-virtual, the viewer on an emulated
camera, to see it work without the hardware.")

set(CPACK_DEBIAN_QUILLON_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_QUILLON_RUNTIME_DESCRIPTION "library for managing USB storage bridges
Quillon finds USB storage bridges of one controller family and drives them
with vendor SCSI commands: SPI flash and firmware, passwords, hidden partition
and custom data, encrypted-region sizing with FAT32 and exFAT formatting, the
fingerprint module, SD cards, serial numbers and connection traces.
.
This package holds the shared library.")

set(CPACK_DEBIAN_QUILLON_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_QUILLON_DEV_DEPENDS quillon_runtime)
set(CPACK_COMPONENT_QUILLON_DEV_DESCRIPTION "library for managing USB storage bridges (development files)
Quillon finds USB storage bridges of one controller family and drives them
with vendor SCSI commands: SPI flash and firmware, passwords, hidden partition
and custom data, encrypted-region sizing with FAT32 and exFAT formatting, the
fingerprint module, SD cards, serial numbers and connection traces.
.
This package holds the C headers, the pkg-config file and the library
reference.")

set(CPACK_DEBIAN_QUILLON_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QUILLON_PACKAGE_SUGGESTS "dosfstools, exfatprogs, mtools")
set(CPACK_COMPONENT_QUILLON_DESCRIPTION "command-line tool for USB storage bridges, with a virtual bridge
quillon runs every export of the Quillon library from the command line: it
lists bridges, reads and erases SPI flash, checks and updates firmware, sets
passwords, sizes and formats the encrypted region, drives the fingerprint
module and SD cards, and reads serial numbers and traces.
.
With --virtual DIR it works on an emulated bridge kept in a folder, whose
disks are image files, so the library can be tried without hardware.")

include(CPack)
