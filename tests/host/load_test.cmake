# Four client processes, each with its own store manager, at once on one
# registry hive, then one alone: every completed write must read back
# afterwards; prints the calls per second and the ratio of the four together
# against the one alone.
#   cmake -DCLIENT=<load_client> -DKELMYR=<tool> -DWORK=<scratch folder>
#         -DSAMPLE=<catalogue> [-DMS=<milliseconds per client>] -P load_test.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT MS)
  set(MS 1500)
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
execute_process(COMMAND "${KELMYR}" reg import "${SAMPLE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "importing the catalogue failed: ${rc}")
endif()

# Runs the clients of the given indices at once (as one pipeline; they read no
# input and write only their reports); sets <out>_ops to their summed calls/s
# and appends "<index>:<writes>" for each to CHECK.
function(run_clients out)
  set(commands)
  foreach(i IN LISTS ARGN)
    list(APPEND commands COMMAND "${CLIENT}" run ${i} ${MS} "${WORK}/report${i}.txt")
  endforeach()
  execute_process(${commands} RESULTS_VARIABLE codes ERROR_VARIABLE err TIMEOUT 60)
  set(ops 0)
  foreach(i IN LISTS ARGN)
    file(READ "${WORK}/report${i}.txt" report)
    string(REGEX MATCH "client [^\n]*" line "${report}")
    message(STATUS "${line}")
    string(REGEX MATCH "writes ([0-9]+)" _ "${report}")
    list(APPEND CHECK "${i}:${CMAKE_MATCH_1}")
    string(REGEX MATCH "ops_per_s ([0-9]+)" _ "${report}")
    math(EXPR ops "${ops} + ${CMAKE_MATCH_1}")
  endforeach()
  if(NOT codes MATCHES "^0(;0)*$")
    message(FATAL_ERROR "clients ${ARGN} exited with ${codes}\n${err}")
  endif()
  set(${out}_ops ${ops} PARENT_SCOPE)
  set(CHECK ${CHECK} PARENT_SCOPE)
endfunction()

set(CHECK)
run_clients(together 1 2 3 4)
run_clients(alone 0)
execute_process(COMMAND "${CLIENT}" check ${CHECK} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "not every completed write reads back: ${out}${err}")
endif()
math(EXPR ratio "100 * ${together_ops} / ${alone_ops}")
message(STATUS "${out}four clients: ${together_ops} calls/s, one alone: ${alone_ops} calls/s, "
               "ratio ${ratio}%")
