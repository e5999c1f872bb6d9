# SPDX-License-Identifier: MIT
# The Debian and RPM packages: `cpack -G DEB` or `cpack -G RPM` in the build tree.
set(CPACK_PACKAGE_NAME inithashdata)
set(CPACK_PACKAGE_VENDOR "The initHashData developers")
set(CPACK_PACKAGE_CONTACT "initHashData developers <maintainers@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert a plain user data file into a hashed user data file")
set(toolDescription "initHashData reads the name of a user data file (records of four
colon-separated fields) from standard input and writes userData.txt, with the
second field of every record replaced by its 32-bit MurmurHash2 as decimal
text. It replaces the output atomically where it can, and otherwise writes it
in place: a failed run exits with status 1 and leaves the output untouched,
but a write in place that fails part-way exits with status 2 and may leave it
damaged. The hash's steps and checkers in Python and JavaScript are in the
package's documents.")
set(CPACK_PACKAGE_DESCRIPTION "${toolDescription}
The package also holds the field hash as a C++17 library, with a CMake
package and a pkg-config file, for programs that read userData.txt.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Each package in the layout of the systems it is for: configure with
# INITHASHDATA_PACKAGE_FAMILY=rpm (the rpm preset) for an .rpm.
if(INITHASHDATA_PACKAGE_FAMILY STREQUAL "rpm")
  set(CPACK_GENERATOR RPM)
else()
  set(CPACK_GENERATOR DEB)
endif()

# The machine the packages are for, which a cross build names: Debian's and
# the RPM family's names of it.
set(debianArchitectures x86_64 amd64 aarch64 arm64 s390x s390x i686 i386)
list(FIND debianArchitectures ${CMAKE_SYSTEM_PROCESSOR} known)
if(known GREATER_EQUAL 0)
  math(EXPR known "${known} + 1")
  list(GET debianArchitectures ${known} CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# What differs between the generators is set as each runs.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packagePerGenerator.cmake)
set(CPACK_COMPONENTS_ALL tool devel debian)
# A static tool needs no shared library; a dynamic one's .deb names those it needs.
set(CPACK_INITHASHDATA_STATIC ${INITHASHDATA_STATIC})
if(NOT INITHASHDATA_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_SUMMARY ${CPACK_PACKAGE_DESCRIPTION_SUMMARY})
# The library is in inithashdata-devel, below.
set(CPACK_RPM_PACKAGE_DESCRIPTION ${toolDescription})
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
# The tool alone in inithashdata; the library, its header, CMake package and
# pkg-config file in inithashdata-devel, as the RPM family splits them, so
# that the tool pulls in no pkg-config.
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_MAIN_COMPONENT tool)
set(CPACK_RPM_DEVEL_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_DEVEL_PACKAGE_SUMMARY "the field hash of initHashData as a C++17 library")
set(CPACK_RPM_DEVEL_PACKAGE_DESCRIPTION "The field hash that initHashData writes into userData.txt, as a static
C++17 library with a CMake package and a pkg-config file, for programs that
read userData.txt.")
set(CPACK_RPM_DEVEL_PACKAGE_REQUIRES "inithashdata = ${PROJECT_VERSION}")
set(CPACK_RPM_DEVEL_PACKAGE_GROUP "Development/Libraries")
# rpmbuild strips with the build machine's tools, which cannot read another
# machine's executables: a cross build's own go in their place.
if(CMAKE_CROSSCOMPILING AND CMAKE_STRIP AND CMAKE_OBJCOPY)
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define __strip ${CMAKE_STRIP}\n%define __objcopy ${CMAKE_OBJCOPY}")
endif()
# The package owns its own files, not the directories every system has.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/man/man1 /usr/share/doc /usr/share/licenses /usr/include /usr/${CMAKE_INSTALL_LIBDIR}
  /usr/${CMAKE_INSTALL_LIBDIR}/cmake /usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(CPack)
