# The module registered as an administrator registers it, then its clients:
# e2e_client (and on Windows a VBScript client under cscript), timed.
#   cmake -DCLIENT=<e2e_client> -DKELMYR=<tool> -DMODULE=<module> [-DEMULATOR=<wine>]
#         -DWINDOWS=<0|1> -DWORK=<scratch folder> -DSAMPLE=<catalogue>
#         [-DSESSIONS=<login-session.sh>] -P e2e_test.cmake
# Natively the client runs in a login session where one can be made, and
# must then make its PIN store round trip.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
# Protected values (the PINs) with keys of the test's own.
set(ENV{KELMYR_DPAPI_KEYS} "${WORK}/keys")
file(MAKE_DIRECTORY "${WORK}/keys")
get_filename_component(dir "${MODULE}" DIRECTORY)
get_filename_component(name "${MODULE}" NAME)
set(register "${KELMYR}" register)
set(unregister "${KELMYR}" unregister)
set(module "${MODULE}")
if(WINDOWS)
  set(register ${EMULATOR} regsvr32 /s)
  set(unregister ${register} /u)
  set(module ${name})  # loaded from beside the client
endif()

# run(<what> <seconds> <output pattern> command...): exit 0 and the pattern
# within the time, or fail.
function(run what seconds pattern)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${dir}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT ${seconds})
  if(NOT rc STREQUAL "0" OR NOT "${out}" MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: exit ${rc}\n${out}\n${err}")
  endif()
  message(STATUS "${what}:\n${out}")
endfunction()

run("import the catalogue" 60 "" ${EMULATOR} "${KELMYR}" reg import "${SAMPLE}")
run("register" 60 "" ${register} ${module})
set(client ${EMULATOR} "${CLIENT}" "${module}")
set(pattern "\ne2e: ok\n$")
if(NOT WINDOWS)
  string(RANDOM LENGTH 4 ALPHABET 123456789 session)
  set(client "${SESSIONS}" run ${session} 65534 ${client})
  execute_process(COMMAND "${SESSIONS}" check RESULT_VARIABLE noSessions)
  if(noSessions EQUAL 0)
    set(pattern "PIN store: round trip in login session [0-9]+\n.*${pattern}")
  endif()
endif()
# A client that waited for the session monitor's 5 seconds would time out.
run("e2e_client" 5 "${pattern}" ${client})
if(WINDOWS)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/e2e_client.vbs" "${dir}" COPYONLY)
  # Wine's cscript exits 0 even after a script error: every line must be
  # there. The caller is an ordinary process, refused by the trust check, yet
  # the variables given for out parameters come back replaced: no list, zeros,
  # no store. An out parameter given by value is converted to its type where
  # the automation can (not to an array: 13, type mismatch).
  string(CONCAT script "^FlushDataStores: 80010117\nFlushAuthStores: 80010117\n"
         "ListDataStoreIds: 80010117\n  Empty \"\"\nListAuthStoreIds: 80010117\n  Empty \"\"\n"
         "ListDataStoreIds by value: error 13\nGetDataStoreInfo: 80010117\n"
         "  Long \"0\", Long \"0\", Long \"0\", String \"\"\n"
         "GetDataStoreInfo by value: 80010117\nGetDataStore: 80010117\n  Nothing\nNope: error 438\n"
         "FlushDataStores with one argument: error 450\nscript: done\n$")
  run("cscript" 60 "${script}" ${EMULATOR} cscript //nologo e2e_client.vbs)
endif()
run("unregister" 60 "" ${unregister} ${module})
