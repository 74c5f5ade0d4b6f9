cmake_minimum_required(VERSION 3.25)
# Stages `cmake --install` under STAGE with the prefix /usr/local and checks what lands where; then
# installs into a private prefix, where the rule stays under that prefix.
if(RULES_DIR STREQUAL "")
  set(RULES_DIR /etc/udev/rules.d)
endif()
file(REMOVE_RECURSE ${STAGE})
set(ENV{DESTDIR} ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr/local --component viscana
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

set(expected
  /usr/local/bin/Viscana
  ${RULES_DIR}/70-viscana-camera.rules
  /usr/local/share/applications/viscana.desktop
  /usr/local/share/icons/hicolor/64x64/apps/viscana.png)
foreach(f ${expected})
  if(NOT EXISTS ${STAGE}${f})
    message(FATAL_ERROR "not installed: ${f}\n${out}")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${STAGE}/usr/local/bin OR IS_SYMLINK ${STAGE}/usr/local/bin/Viscana)
  message(FATAL_ERROR "the program is not a plain file")
endif()

# The installed rule is the shipped one, and the menu entry starts the installed program with its icon.
file(READ ${STAGE}${RULES_DIR}/70-viscana-camera.rules installed)
file(READ ${RULE} shipped)
if(NOT installed STREQUAL shipped)
  message(FATAL_ERROR "the installed rule differs from the shipped one")
endif()
file(STRINGS ${STAGE}/usr/local/share/applications/viscana.desktop entry)
foreach(line "Exec=Viscana" "Icon=viscana" "Type=Application")
  if(NOT line IN_LIST entry)
    message(FATAL_ERROR "viscana.desktop lacks ${line}")
  endif()
endforeach()
find_program(VALIDATE desktop-file-validate)
if(VALIDATE)
  execute_process(COMMAND ${VALIDATE} ${STAGE}/usr/local/share/applications/viscana.desktop
    RESULT_VARIABLE v OUTPUT_VARIABLE vout ERROR_VARIABLE vout)
  if(NOT v EQUAL 0)
    message(FATAL_ERROR "desktop-file-validate: ${vout}")
  endif()
endif()

# A private prefix without DESTDIR: everything, the rule too, stays under it.
unset(ENV{DESTDIR})
set(private ${STAGE}/private)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${private} --component viscana
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "cmake --install --prefix ${private} failed:\n${out}")
endif()
if(NOT EXISTS ${private}/lib/udev/rules.d/70-viscana-camera.rules OR NOT EXISTS ${private}/bin/Viscana)
  message(FATAL_ERROR "a private prefix does not hold the rule and the program:\n${out}")
endif()
