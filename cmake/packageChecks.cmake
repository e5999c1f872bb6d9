# SPDX-License-Identifier: MIT
# Read by cpack for each package of a dynamically linked tool: a .deb whose
# Depends would not name the C library versions the tool needs installs where
# it cannot run, so it is not made.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(INITHASHDATA_SHLIBDEPS dpkg-shlibdeps)
  if(NOT INITHASHDATA_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is missing: without it the .deb of a dynamically "
      "linked tool would not say which C library it needs")
  endif()
endif()
