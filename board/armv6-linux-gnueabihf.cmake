# SPDX-License-Identifier: MIT
# Cross build for the board: an ARM1176JZF-S core (ARMv6, VFPv2, hard-float
# ABI) running GNU libc, with Debian's armhf cross compiler. The tests run
# under qemu-arm against Debian's armhf C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv6l)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_ASM_COMPILER arm-linux-gnueabihf-gcc)
# Debian's armhf compiler defaults to ARMv7 in Thumb-2.
set(board_cpu "-marm -mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard")
set(CMAKE_C_FLAGS_INIT "${board_cpu}")
set(CMAKE_CXX_FLAGS_INIT "${board_cpu}")
set(CMAKE_ASM_FLAGS_INIT "${board_cpu}")
set(TEMPMEAN_START_FILE ${CMAKE_CURRENT_LIST_DIR}/start-armv6.S)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
