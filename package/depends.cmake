# SPDX-License-Identifier: MIT
# Read by cpack: the package depends on the C library at the least version
# that has every symbol version the programs ask for.
set(least 0)
foreach(program IN LISTS CPACK_TEMPMEAN_PROGRAMS)
  execute_process(COMMAND ${CPACK_TEMPMEAN_READELF} --version-info ${program}
                  OUTPUT_VARIABLE versions RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CPACK_TEMPMEAN_READELF} could not read ${program}")
  endif()
  string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" asked "${versions}")
  foreach(name IN LISTS asked)
    string(REPLACE "Name: GLIBC_" "" version "${name}")
    if(version VERSION_GREATER least)
      set(least ${version})
    endif()
  endforeach()
endforeach()
if(least EQUAL 0)
  message(FATAL_ERROR "no C library version found in ${CPACK_TEMPMEAN_PROGRAMS}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${least})")
