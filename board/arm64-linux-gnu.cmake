# SPDX-License-Identifier: MIT
# Cross build for Debian's arm64 port, which 64-bit Raspberry Pi OS is
# built on (Pi 3, 4, 5, Zero 2 W): ARMv8-A, the port's own baseline.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(board_triple aarch64-linux-gnu)
set(board_cpu "")
set(TEMPMEAN_QEMU qemu-aarch64)
set(TEMPMEAN_START_FILE ${CMAKE_CURRENT_LIST_DIR}/start-arm64.S)
# The first C library version of the port: any arm64 glibc will do.
set(TEMPMEAN_GLIBC_FLOOR GLIBC_2.17)
# The Debian architecture its programs are for.
set(TEMPMEAN_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
