# SPDX-License-Identifier: MIT
# Cross build for Debian's armel port: ARMv5TE in ARM state with the
# soft-float ABI, the port's own baseline, so that one package runs on
# every armel machine, ARM1176 boards among them.
set(CMAKE_SYSTEM_PROCESSOR armv5tel)
set(board_triple arm-linux-gnueabi)
set(board_cpu "-marm -march=armv5te -mfloat-abi=soft")
# Soft float means libgcc's helpers do the arithmetic: linked in, so that
# the programs still need nothing but libc.so.6.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc")
set(TEMPMEAN_BOARD_ATTRIBUTES "Tag_CPU_arch: v5TE|Tag_ABI_FP_number_model: IEEE 754")
# The Debian architecture its programs are for.
set(TEMPMEAN_DEBIAN_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
