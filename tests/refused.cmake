# SPDX-License-Identifier: MIT
# Passes when RUNS exits 0 and REFUSED does not: the same program, first on
# qemu's default core, then on the board's. (Each a command, its words
# separated by |.) So the core, and nothing else, refuses it.
foreach(which RUNS REFUSED)
  string(REPLACE "|" ";" command "${${which}}")
  execute_process(COMMAND ${command} RESULT_VARIABLE ${which}_status
                  OUTPUT_QUIET ERROR_QUIET)
endforeach()
if(NOT RUNS_status STREQUAL "0")
  message(FATAL_ERROR "${RUNS} did not run: ${RUNS_status}")
endif()
if(REFUSED_status STREQUAL "0")
  message(FATAL_ERROR "${REFUSED} ran, where the board's core must refuse it")
endif()
message(STATUS "refused: ${REFUSED_status}")
