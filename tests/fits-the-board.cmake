# SPDX-License-Identifier: MIT
# Fails unless the dynamic section of PROGRAM names libc.so.6 and no other
# library. With ATTRIBUTES (the ARM build attributes a board's core needs,
# separated by |), also unless it has each of them and no Thumb-2 code.
# With GLIBC, unless it asks nothing of the C library beyond that version,
# the port's first, so that any glibc of the port will do: GLIBC_2.4 for
# ARM EABI (armhf, armel), GLIBC_2.17 for arm64.
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

if(ATTRIBUTES)
  read_elf(--arch-specific attributes)
  string(REPLACE "|" ";" ATTRIBUTES "${ATTRIBUTES}")
  foreach(wanted IN LISTS ATTRIBUTES)
    string(FIND "${attributes}" "${wanted}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${PROGRAM} is not \"${wanted}\":\n${attributes}")
    endif()
  endforeach()
  if(attributes MATCHES "Thumb-2")
    message(FATAL_ERROR "${PROGRAM} has Thumb-2 code:\n${attributes}")
  endif()
endif()

if(GLIBC)
  read_elf(--version-info versions)
  string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" asked "${versions}")
  list(REMOVE_DUPLICATES asked)
  if(NOT asked STREQUAL "Name: ${GLIBC}")
    message(FATAL_ERROR "${PROGRAM} asks for C library versions: ${asked}")
  endif()
endif()
