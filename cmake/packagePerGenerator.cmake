# SPDX-License-Identifier: MIT
# Read by cpack once for each package generator.
if(CPACK_GENERATOR STREQUAL "DEB")
  # One .deb holds every component, the lintian override among them, which
  # a plain install leaves out.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # A .deb whose Depends would not name the C library versions a dynamically
  # linked tool needs installs where it cannot run, so it is not made.
  find_program(INITHASHDATA_SHLIBDEPS dpkg-shlibdeps)
  if(NOT CPACK_INITHASHDATA_STATIC AND NOT INITHASHDATA_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is missing: without it the .deb of a dynamically "
      "linked tool would not say which C library it needs")
  endif()
elseif(CPACK_GENERATOR STREQUAL "RPM")
  # The lintian override is Debian's alone: an .rpm of it would hold nothing.
  set(CPACK_COMPONENTS_ALL tool devel)
endif()
