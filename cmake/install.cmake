# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place: the tool and its compressed manual
# page, the licence and changelog, the field hash's page and checkers, and
# the field hash library with its header,
# CMake package and pkg-config file.
include(CMakePackageConfigHelpers)

set(INITHASHDATA_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/inithashdata)
set(INITHASHDATA_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/initHashData)

# Debian wants both compressed without a timestamp, so that builds repeat.
set(gzipped ${PROJECT_BINARY_DIR}/initHashData.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${gzipped}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/initHashData.1 > ${PROJECT_BINARY_DIR}/initHashData.1.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/initHashData.1 ${PROJECT_SOURCE_DIR}/doc/changelog
  VERBATIM)
add_custom_target(initHashDataCompressedDocs ALL DEPENDS ${gzipped})

# Two components: the tool with its documents, and the library for other
# programs, which the RPM family packages apart (package.cmake).
# A host project that installs the library gets no tool of ours.
if(PROJECT_IS_TOP_LEVEL)
  install(TARGETS initHashData RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${PROJECT_BINARY_DIR}/initHashData.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  # lintian takes a static PIE, which needs no shared library, for a shared
  # library that lacks them; the file says so, in the .deb alone.
  if(INITHASHDATA_STATIC AND NOT INITHASHDATA_PACKAGE_FAMILY STREQUAL "rpm")
    install(FILES doc/lintian-overrides RENAME inithashdata DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
endif()
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${INITHASHDATA_DOCDIR} COMPONENT tool)
# With only the installed files, a colleague can write a checker in any
# language: the hash's steps, and checkers in Python and JavaScript to copy
# from (examples, so not executable).
install(FILES doc/fieldHash.md DESTINATION ${INITHASHDATA_DOCDIR} COMPONENT tool)
install(FILES examples/checkPassword.py examples/checkPassword.js DESTINATION ${INITHASHDATA_DOCDIR}/examples
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT tool)
# Debian names the licence "copyright", beside the changelog; the RPM family
# keeps licences apart.
if(INITHASHDATA_PACKAGE_FAMILY STREQUAL "rpm")
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/inithashdata COMPONENT tool)
else()
  install(FILES doc/copyright DESTINATION ${INITHASHDATA_DOCDIR} COMPONENT tool)
endif()

install(TARGETS initHashDataFieldHash EXPORT initHashDataTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  COMPONENT devel)
install(FILES include/initHashData/fieldHash.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/initHashData COMPONENT devel)
install(EXPORT initHashDataTargets NAMESPACE initHashData:: DESTINATION ${INITHASHDATA_CMAKEDIR} COMPONENT devel)
configure_package_config_file(cmake/initHashDataConfig.cmake.in ${PROJECT_BINARY_DIR}/initHashDataConfig.cmake
  INSTALL_DESTINATION ${INITHASHDATA_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/initHashDataConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/initHashDataConfig.cmake ${PROJECT_BINARY_DIR}/initHashDataConfigVersion.cmake
  DESTINATION ${INITHASHDATA_CMAKEDIR} COMPONENT devel)

# Relocatable: the prefix is found from where the file lies.
file(RELATIVE_PATH pkgConfigToPrefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/initHashData.pc.in ${PROJECT_BINARY_DIR}/initHashData.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/initHashData.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)
