# SPDX-License-Identifier: MIT
# Read by cpack: each package depends on each library at the least version
# that has every symbol version its executables ask for (GLIBC_2.34: the
# C library 2.34; FUSE_3.0: libfuse3 3.0), and on libfuse3 by the package
# of the soname it links (libfuse3.so.4: libfuse3-4).

# The highest version named PREFIX<version> that FILES ask for, into OUT.
function(least_version out prefix)
  set(least 0)
  foreach(file IN LISTS ARGN)
    execute_process(COMMAND ${CPACK_TEMPMEAN_READELF} --version-info ${file}
                    OUTPUT_VARIABLE versions RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${CPACK_TEMPMEAN_READELF} could not read ${file}")
    endif()
    string(REGEX MATCHALL "Name: ${prefix}[0-9.]+" asked "${versions}")
    foreach(name IN LISTS asked)
      string(REPLACE "Name: ${prefix}" "" version "${name}")
      if(version VERSION_GREATER least)
        set(least ${version})
      endif()
    endforeach()
  endforeach()
  if(least EQUAL 0)
    message(FATAL_ERROR "no ${prefix} version found in ${ARGN}")
  endif()
  set(${out} ${least} PARENT_SCOPE)
endfunction()

least_version(libc GLIBC_ ${CPACK_TEMPMEAN_PROGRAMS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= ${libc})")
if(CPACK_TEMPMEAN_DAEMON)
  least_version(libc GLIBC_ ${CPACK_TEMPMEAN_DAEMON})
  least_version(fuse FUSE_ ${CPACK_TEMPMEAN_DAEMON})
  execute_process(COMMAND ${CPACK_TEMPMEAN_READELF} --dynamic ${CPACK_TEMPMEAN_DAEMON}
                  OUTPUT_VARIABLE dynamic)
  if(NOT dynamic MATCHES "\\[libfuse3\\.so\\.([0-9]+)\\]")
    message(FATAL_ERROR "${CPACK_TEMPMEAN_DAEMON} links no libfuse3.so.N")
  endif()
  # adduser: the package's postinst makes the daemon's user.
  set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS
      "adduser, libc6 (>= ${libc}), libfuse3-${CMAKE_MATCH_1} (>= ${fuse})")
endif()
