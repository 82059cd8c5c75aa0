# Runs qelsim on one scenario in a fresh directory and compares what it left:
# the whole Qel.log byte for byte, the last line of its output, its exit status.
#   cmake -DQELSIM=... -DCASE_DIR=... -DARGS="a|b" [-DGOLDEN_LOG=file] [-DFINAL=0xHHHH]
#         [-DSTATUS=n] [-DSTDERR_MATCH=regex] [-DNO_LOG=1] -P run_case.cmake
string(REPLACE "|" ";" ARGS "${ARGS}")
if(NOT DEFINED STATUS)
  set(STATUS 0)
endif()
file(REMOVE_RECURSE ${CASE_DIR})
file(MAKE_DIRECTORY ${CASE_DIR})
# QEL_E2E_LAUNCHER in the environment runs qelsim under another program (valgrind).
separate_arguments(launcher UNIX_COMMAND "$ENV{QEL_E2E_LAUNCHER}")
execute_process(
  COMMAND ${launcher} ${QELSIM} --dir ${CASE_DIR} ${ARGS}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 600)
if(NOT status STREQUAL "${STATUS}")
  message(FATAL_ERROR "qelsim exited with ${status}, expected ${STATUS}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(DEFINED STDERR_MATCH AND NOT err MATCHES "${STDERR_MATCH}")
  message(FATAL_ERROR "stderr does not match '${STDERR_MATCH}':\n${err}")
endif()
if(DEFINED FINAL)
  string(REGEX MATCH "[^\n]*\n$" last "${out}")
  if(NOT last STREQUAL "final light word: ${FINAL}\n")
    message(FATAL_ERROR "last line is '${last}', expected 'final light word: ${FINAL}'")
  endif()
endif()
set(log ${CASE_DIR}/modules/Qel.log)
if(NO_LOG AND EXISTS ${log})
  message(FATAL_ERROR "the module ran although the input was bad: ${log} exists")
endif()
if(DEFINED GOLDEN_LOG)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${log} ${GOLDEN_LOG}
                  RESULT_VARIABLE differs)
  if(differs)
    execute_process(COMMAND diff ${GOLDEN_LOG} ${log} OUTPUT_VARIABLE diff)
    message(FATAL_ERROR "Qel.log differs from ${GOLDEN_LOG}:\n${diff}")
  endif()
endif()
