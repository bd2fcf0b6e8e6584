# SPDX-License-Identifier: MIT
# What the board's cross builds share, for the toolchain file that sets
# board_triple (Debian's cross compiler) and board_cpu (its flags): ARM
# state throughout, the board's own process entry, and qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${board_triple}-gcc)
set(CMAKE_CXX_COMPILER ${board_triple}-g++)
set(CMAKE_ASM_COMPILER ${board_triple}-gcc)
set(CMAKE_C_FLAGS_INIT "${board_cpu}")
set(CMAKE_CXX_FLAGS_INIT "${board_cpu}")
set(CMAKE_ASM_FLAGS_INIT "${board_cpu}")
set(TEMPMEAN_START_FILE ${CMAKE_CURRENT_LIST_DIR}/start-arm.S)

set(CMAKE_FIND_ROOT_PATH /usr/${board_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The unit tests need the toolchain's C++ library, which Debian builds for
# its port's baseline core: they run on qemu's default core, with Debian's
# C library. The programs' own runs name their core and C library (the
# presets' TEMPMEAN_QEMU_ variables).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${board_triple})
