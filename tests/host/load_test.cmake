# Four client processes, each with its own store managers, at once on one
# registry hive, then one alone: every completed write must read back
# afterwards; prints the calls per second and the ratio of the four together
# against the one alone. Each client calls for a child in a login session of
# its own, which the client ends a tenth into its run: its session monitor
# then flushes the session's PINs and the PIN store refuses the session for
# the catalogue's time-out (two seconds here), after which the PIN is gone.
#   cmake -DCLIENT=<load_client> -DKELMYR=<tool> -DWORK=<scratch folder>
#         -DSAMPLE=<catalogue> -DSESSIONS=<login-session.sh>
#         -P load_test.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
# Protected values (the PINs) with keys of the test's own.
set(ENV{KELMYR_DPAPI_KEYS} "${WORK}/keys")
file(MAKE_DIRECTORY "${WORK}/keys")
execute_process(COMMAND "${KELMYR}" reg import "${SAMPLE}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${KELMYR}" reg add "HKLM\\Software\\Orvane\\Kelmyr" /v
                        DisableTimeoutAfterEndSession /t REG_DWORD /d 2 /f COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${SESSIONS}" check RESULT_VARIABLE noSessions)
string(RANDOM LENGTH 4 ALPHABET 123456789 base)

# Runs the clients of the given indices at once for 4.5 s (as one pipeline;
# they read no input and write only their reports), each in session
# <base><index> and checking the writes of the runs in CHECK; sets <out> to
# their summed calls/s and appends "<index>:<writes>" for each to CHECK.
# Where sessions can be made, the clients together must have seen PIN calls
# refused and PINs gone.
function(run_clients out)
  foreach(i IN LISTS ARGN)
    list(APPEND commands COMMAND "${SESSIONS}" run ${base}${i} 65534 "${CLIENT}" ${i} 4500
         "${WORK}/report${i}.txt" "${SESSIONS} state ${base}${i} closing" ${CHECK})
  endforeach()
  execute_process(${commands} RESULTS_VARIABLE codes ERROR_VARIABLE err TIMEOUT 60)
  foreach(i IN LISTS ARGN)
    include("${WORK}/report${i}.txt")
    message(STATUS "client ${i}: ${writes} writes, ${ops} calls/s, PIN calls refused ${refused}, "
                   "PINs gone ${gone}; ${faults}")
    list(APPEND CHECK "${i}:${writes}")
    string(APPEND sum "+${ops}")
    string(APPEND pins " ${refused}:${gone}")
  endforeach()
  math(EXPR sum "0${sum}")
  if(NOT codes MATCHES "^0(;0)*$")
    message(FATAL_ERROR "clients ${ARGN} exited with ${codes}\n${err}")
  elseif(noSessions EQUAL 0 AND NOT (pins MATCHES " [1-9]" AND pins MATCHES ":[1-9]"))
    message(FATAL_ERROR "the sessions' ends did not reach the PIN stores of clients ${ARGN}")
  endif()
  set(${out} ${sum} PARENT_SCOPE)
  set(CHECK ${CHECK} PARENT_SCOPE)
endfunction()

run_clients(together 1 2 3 4)
run_clients(alone 0)
math(EXPR ratio "100 * ${together} / ${alone}")
message(STATUS "four clients: ${together} calls/s, one alone: ${alone} calls/s, ratio ${ratio}%")
