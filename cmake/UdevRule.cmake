# install_udev_rule(RULE <file> COMPONENT <component> DIR <folder or empty> SUBSYSTEMS <subsystem>...)
#
# Installs a udev rule where udev reads it for the prefix given at install time: udev reads
# /etc/udev/rules.d and /usr/lib/udev/rules.d, not a rules folder under /usr/local, so /usr/local puts
# the rule into /etc/udev/rules.d, /usr into /usr/lib/udev/rules.d and any other prefix (a staging or
# private one) into <prefix>/lib/udev/rules.d. DIR, when not empty, wins. On the running system (not
# when staging into DESTDIR, not into a private prefix) udev then applies the rule to the devices of
# SUBSYSTEMS already plugged in; without udev (a container) that step does nothing.
function(install_udev_rule)
  cmake_parse_arguments(R "" "RULE;COMPONENT;DIR" "SUBSYSTEMS" ${ARGN})
  set(trigger_args)
  foreach(subsystem IN LISTS R_SUBSYSTEMS)
    string(APPEND trigger_args " --subsystem-match=${subsystem}")
  endforeach()
  install(CODE "set(udev_rule_file \"${R_RULE}\")\nset(udev_rules_dir \"${R_DIR}\")
separate_arguments(udev_trigger_args UNIX_COMMAND \"${trigger_args}\")" COMPONENT ${R_COMPONENT})
  install(CODE [[
if(udev_rules_dir STREQUAL "")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
    set(udev_rules_dir /etc/udev/rules.d)
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(udev_rules_dir /usr/lib/udev/rules.d)
  else()
    set(udev_rules_dir "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d")
  endif()
endif()
file(INSTALL DESTINATION "${udev_rules_dir}" TYPE FILE FILES "${udev_rule_file}")
if("$ENV{DESTDIR}" STREQUAL "" AND udev_rules_dir MATCHES "^(/etc/udev|/usr/lib/udev|/lib/udev)/")
  execute_process(COMMAND udevadm control --reload-rules RESULT_VARIABLE r OUTPUT_QUIET ERROR_QUIET)
  if(r EQUAL 0)
    execute_process(COMMAND udevadm trigger --action=add ${udev_trigger_args} OUTPUT_QUIET ERROR_QUIET)
  endif()
endif()
]] COMPONENT ${R_COMPONENT})
endfunction()
