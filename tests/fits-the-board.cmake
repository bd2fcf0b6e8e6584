# SPDX-License-Identifier: MIT
# Fails unless the dynamic section of PROGRAM names libc.so.6 and no other
# library. With BOARD on, also unless it is ARMv6 code (no Thumb-2) with
# VFPv2 floating point, and asks nothing of the C library beyond its first
# ARM EABI version, GLIBC_2.4.
function(read_elf option out)
  execute_process(COMMAND ${READELF} ${option} ${PROGRAM}
                  OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${READELF} ${option} could not read ${PROGRAM}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

read_elf(--dynamic dynamic)
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${PROGRAM} needs: ${needed}")
endif()

if(BOARD)
  read_elf(--arch-specific attributes)
  foreach(wanted "Tag_CPU_arch: v6KZ" "Tag_FP_arch: VFPv2"
                 "Tag_ABI_VFP_args: VFP registers")
    string(FIND "${attributes}" "${wanted}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${PROGRAM} is not \"${wanted}\":\n${attributes}")
    endif()
  endforeach()
  if(attributes MATCHES "Thumb-2")
    message(FATAL_ERROR "${PROGRAM} has Thumb-2 code:\n${attributes}")
  endif()
  read_elf(--version-info versions)
  string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" asked "${versions}")
  list(REMOVE_DUPLICATES asked)
  if(NOT asked STREQUAL "Name: GLIBC_2.4")
    message(FATAL_ERROR "${PROGRAM} asks for C library versions: ${asked}")
  endif()
endif()
