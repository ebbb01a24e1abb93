# Four client processes, each with its own store manager, at once on one
# registry hive, then one alone: every completed write must read back
# afterwards; prints the calls per second and the ratio of the four together
# against the one alone. Each client calls for a child in a login session of
# its own, which ends a third into the run: each client's session monitor
# then flushes the session's PINs and the PIN store refuses the session for
# the catalogue's time-out (one second here), after which the PIN is gone.
#   cmake -DCLIENT=<load_client> -DKELMYR=<tool> -DWORK=<scratch folder>
#         -DSAMPLE=<catalogue> -DSESSIONS=<login-session.sh>
#         [-DMS=<milliseconds per client>] -P load_test.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT MS)
  set(MS 3000)
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
# Protected values (the PINs) with keys of the test's own.
set(ENV{KELMYR_DPAPI_KEYS} "${WORK}/keys")
file(MAKE_DIRECTORY "${WORK}/keys")
execute_process(COMMAND "${KELMYR}" reg import "${SAMPLE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "importing the catalogue failed: ${rc}")
endif()
execute_process(COMMAND "${KELMYR}" reg add "HKLM\\Software\\Orvane\\Kelmyr" /v
                        DisableTimeoutAfterEndSession /t REG_DWORD /d 1 /f RESULT_VARIABLE rc)

execute_process(COMMAND "${SESSIONS}" check RESULT_VARIABLE noSessions)
string(RANDOM LENGTH 4 ALPHABET 123456789 base)

# Runs the clients of the given indices at once (as one pipeline; they read no
# input and write only their reports), each in session <base><index>, with
# the sessions ending and coming back meanwhile; sets <out>_ops to their
# summed calls/s and <out>_gone to the PINs the ends took, and appends
# "<index>:<writes>" for each to CHECK.
function(run_clients out)
  set(commands)
  set(ids)
  foreach(i IN LISTS ARGN)
    list(APPEND commands COMMAND "${SESSIONS}" run ${base}${i} 65534 "${CLIENT}" run ${i} ${MS}
         "${WORK}/report${i}.txt")
    list(APPEND ids ${base}${i})
  endforeach()
  # A third into the run, every client's session ends; its record stays
  # ("closing") until the client is done, as logind keeps a session while
  # its processes finish. (No semicolons: the script goes through a list.)
  list(APPEND commands COMMAND bash -c [[
    sleep "$(awk "BEGIN { print $1 / 3000 }")"
    script=$2
    shift 2
    for id
    do
      "$script" state "$id" closing
    done]] end ${MS} "${SESSIONS}" ${ids})
  execute_process(${commands} RESULTS_VARIABLE codes ERROR_VARIABLE err TIMEOUT 60)
  set(ops 0)
  set(gone 0)
  set(refused 0)
  foreach(i IN LISTS ARGN)
    file(READ "${WORK}/report${i}.txt" report)
    string(REGEX MATCH "client [^\n]*" line "${report}")
    message(STATUS "${line}")
    string(REGEX MATCH "writes ([0-9]+)" _ "${report}")
    list(APPEND CHECK "${i}:${CMAKE_MATCH_1}")
    string(REGEX MATCH "ops_per_s ([0-9]+)" _ "${report}")
    math(EXPR ops "${ops} + ${CMAKE_MATCH_1}")
    string(REGEX MATCH "pins_gone ([0-9]+)" _ "${report}")
    math(EXPR gone "${gone} + ${CMAKE_MATCH_1}")
    string(REGEX MATCH "pins_refused ([0-9]+)" _ "${report}")
    math(EXPR refused "${refused} + ${CMAKE_MATCH_1}")
  endforeach()
  if(NOT codes MATCHES "^0(;0)*$")
    message(FATAL_ERROR "clients ${ARGN} exited with ${codes}\n${err}")
  endif()
  set(${out}_ops ${ops} PARENT_SCOPE)
  set(${out}_gone ${gone} PARENT_SCOPE)
  set(${out}_refused ${refused} PARENT_SCOPE)
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
# Where sessions can be made, the ends must have reached the PIN stores.
if(noSessions EQUAL 0 AND (together_gone EQUAL 0 OR alone_gone EQUAL 0 OR together_refused EQUAL 0
                           OR alone_refused EQUAL 0))
  message(FATAL_ERROR "the sessions' ends did not reach the PIN stores: PINs gone "
                      "${together_gone} and ${alone_gone}, calls refused ${together_refused} and "
                      "${alone_refused}")
endif()
math(EXPR ratio "100 * ${together_ops} / ${alone_ops}")
message(STATUS "${out}four clients: ${together_ops} calls/s, one alone: ${alone_ops} calls/s, "
               "ratio ${ratio}%; after the sessions' ends: PIN calls refused ${together_refused} and "
               "${alone_refused}, PINs gone ${together_gone} and ${alone_gone}")
