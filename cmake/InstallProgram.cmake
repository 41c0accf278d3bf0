# kestova_install_program(TARGET [COMPONENT console]): installs a program
# into bin/, in the kestova-collector package unless another is named, and
# lists it for the package check. One line per program.
function(kestova_install_program target)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT collector)
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ARG_COMPONENT})
  set_property(GLOBAL APPEND PROPERTY KESTOVA_INSTALLED_PROGRAMS "${ARG_COMPONENT} ${target}")
endfunction()
