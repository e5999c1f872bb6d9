# SPDX-License-Identifier: MIT
# What `cmake --install` puts in place: the tool and its compressed manual
# page, the licence and changelog, and the field hash library with its header,
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

# A host project that installs the library gets no tool of ours.
if(PROJECT_IS_TOP_LEVEL)
  install(TARGETS initHashData RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/initHashData.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${INITHASHDATA_DOCDIR})
# Debian names the licence "copyright", beside the changelog; the RPM family
# keeps licences apart.
if(INITHASHDATA_PACKAGE_FAMILY STREQUAL "rpm")
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/inithashdata)
else()
  install(FILES doc/copyright DESTINATION ${INITHASHDATA_DOCDIR})
endif()

install(TARGETS initHashDataFieldHash EXPORT initHashDataTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/initHashData/fieldHash.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/initHashData)
install(EXPORT initHashDataTargets NAMESPACE initHashData:: DESTINATION ${INITHASHDATA_CMAKEDIR})
configure_package_config_file(cmake/initHashDataConfig.cmake.in ${PROJECT_BINARY_DIR}/initHashDataConfig.cmake
  INSTALL_DESTINATION ${INITHASHDATA_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/initHashDataConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/initHashDataConfig.cmake ${PROJECT_BINARY_DIR}/initHashDataConfigVersion.cmake
  DESTINATION ${INITHASHDATA_CMAKEDIR})

# Relocatable: the prefix is found from where the file lies.
file(RELATIVE_PATH pkgConfigToPrefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/initHashData.pc.in ${PROJECT_BINARY_DIR}/initHashData.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/initHashData.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
