# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit big-endian IBM Z; the static binary runs under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/crossLinuxGnu.cmake)
