# Fails unless the dynamic section of PROGRAM names libc.so.6 and no other
# library.
execute_process(COMMAND ${READELF} --dynamic ${PROGRAM}
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} could not read ${PROGRAM}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "${PROGRAM} needs: ${needed}")
endif()
