# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Arm servers; the static binary runs under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/crossLinuxGnu.cmake)
