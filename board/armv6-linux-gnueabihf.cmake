# SPDX-License-Identifier: MIT
# Cross build for the board: an ARM1176JZF-S core (ARMv6, VFPv2, hard-float
# ABI) running GNU libc, with Debian's armhf cross compiler, which would
# otherwise build ARMv7 code in Thumb-2.
set(CMAKE_SYSTEM_PROCESSOR armv6l)
set(board_triple arm-linux-gnueabihf)
set(board_cpu "-marm -mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard")
set(TEMPMEAN_BOARD_ATTRIBUTES
    "Tag_CPU_arch: v6KZ|Tag_FP_arch: VFPv2|Tag_ABI_VFP_args: VFP registers")
# The Debian architecture its programs are for.
set(TEMPMEAN_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
