# SPDX-License-Identifier: MIT
# What the board's cross builds share, for the toolchain file that sets
# board_triple (Debian's cross compiler) and board_cpu (its flags), and
# for arm64 TEMPMEAN_QEMU and its own TEMPMEAN_START_FILE; on 32-bit ARM: ARM
# state throughout, the board's own process entry, and qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${board_triple}-gcc)
set(CMAKE_CXX_COMPILER ${board_triple}-g++)
set(CMAKE_ASM_COMPILER ${board_triple}-gcc)
set(CMAKE_C_FLAGS_INIT "${board_cpu}")
set(CMAKE_CXX_FLAGS_INIT "${board_cpu}")
set(CMAKE_ASM_FLAGS_INIT "${board_cpu}")
if(NOT TEMPMEAN_QEMU)
  set(TEMPMEAN_QEMU qemu-arm)
  set(TEMPMEAN_START_FILE ${CMAKE_CURRENT_LIST_DIR}/start-arm.S)
  # The first ARM EABI version of the C library.
  set(TEMPMEAN_GLIBC_FLOOR GLIBC_2.4)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${board_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The unit tests need the toolchain's C++ library, which Debian builds for
# its port's baseline core: they run on qemu's default core, with Debian's
# C library. The programs' own runs name their core and C library (the
# presets' TEMPMEAN_QEMU_ variables).
set(CMAKE_CROSSCOMPILING_EMULATOR ${TEMPMEAN_QEMU} -L /usr/${board_triple})
