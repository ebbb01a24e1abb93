# The commands of `kelmyr` that drive the service, on the sample catalogue,
# run by ctest:
#   cmake -DKELMYR=<tool> [-DEMULATOR=<wine>] -DWINDOWS=<0|1> -DWORK=<scratch folder>
#         -DSAMPLE=<catalogue> -DMODULE=<the component's module>
#         -DSESSIONS=<login-session.sh> -P kelmyr_service_test.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
# Protected values (the PINs) with keys of the test's own.
set(ENV{KELMYR_DPAPI_KEYS} "${WORK}/keys")
file(MAKE_DIRECTORY "${WORK}/keys")
file(WRITE "${WORK}/pin.txt" "1234\n")
set(TOOL ${EMULATOR} "${KELMYR}")

# run(<expected exit code> <pattern the output must match> args...): TOOL
# with the args, a PIN on standard input, which no output may show.
function(run expected pattern)
  execute_process(COMMAND ${TOOL} ${ARGN} INPUT_FILE "${WORK}/pin.txt"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc STREQUAL "${expected}" OR NOT "${out}${err}" MATCHES "${pattern}" OR out MATCHES "1234")
    message(FATAL_ERROR "${TOOL} ${ARGN}: exit ${rc}, expected ${expected} and output "
                        "matching '${pattern}'\n${out}\n${err}")
  endif()
endfunction()

run(0 "" reg import "${SAMPLE}")
if(WINDOWS)
  run(2 "not available on Windows" stores --low)
else()
  run(0 "flushed the data stores of product \"Brenmoor\"" flush Brenmoor --low)
  run(0 "flushed the PIN store" flush --pins --low)
  run(0 "flushed the PIN store" pin flush --low)
  # The PIN store serves a child in a login session only.
  execute_process(COMMAND "${SESSIONS}" check RESULT_VARIABLE inSession)
  string(RANDOM LENGTH 4 ALPHABET 123456789 session)
  set(TOOL "${SESSIONS}" run ${session} 65534 "${KELMYR}")
  set(pin pin set Cards 1 + state Cards 1 + remove Cards 1 + state Cards 1 --low)
  if(inSession EQUAL 0)
    run(0 "Cards/1: cached\nCards/1: cached; a client gets the cached PIN\nCards/1: removed\nCards/1: no PIN cached\n$" ${pin})
  else()
    run(1 "set failed: 0x80004005 E_FAIL" ${pin})
  endif()
  set(TOOL "${KELMYR}")
  # A memory store lives as long as its process: one invocation sets and
  # reads it; a registry store keeps its items for the next one.
  run(0 "string: hello world\n.*version 1, content version 1\n.*int: 1 -2 16\n.*version 1, content version 2\nid\nn\n$"
      data set ReaderState Cards/A id string hello world + get ReaderState Cards/A id +
      versions ReaderState Cards/A + set ReaderState Cards/A n int 1 -2 0x10 +
      get ReaderState Cards/A n + versions ReaderState Cards/A + list ReaderState Cards/A --low)
  run(0 "set Reader/name: done" data set MachineSettings Reader name string r1 --low)
  run(0 "string: r1" data get MachineSettings Reader name --low)
  run(1 "GetDataStore Nope failed: 0x80004005 E_FAIL" data get Nope a b --low)
  execute_process(COMMAND "${KELMYR}" flush "" --low RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 1 OR NOT err MATCHES "FlushDataStores failed: 0x80070057 E_INVALIDARG")
    message(FATAL_ERROR "kelmyr flush of an empty product: exit ${rc}\n${err}")
  endif()
  run(0 "low-integrity child.*\n  CardCache +memory +encrypted +per session +Brenmoor\n  Mach[^\n]+ +registry +clear +shared +Brenmoor\n  ReaderState +memory +clear +shared +Tallis\nPIN store: {29BE165D-F06B-4E91-BE91-3B997E994683}\n$"
      stores --low)
endif()
run(1 "kelmyr itself.*does not trust process" stores)
run(1 "FlushDataStores failed.*does not trust" flush Brenmoor)
run(2 "--pid needs a process id" stores --pid x)
run(2 "--module needs the path of the module" stores --module)
run(1 "cannot load the module [^\n]*missing.dll \\(named with --module\\)" stores --module "${WORK}/missing.dll")
run(1 "kelmyr itself.*does not trust process" stores --module "${MODULE}")
run(2 "usage: kelmyr stores" stores extra)
run(2 "usage: kelmyr flush" flush)
run(2 "unsupported value type or element: float" data set ReaderState a b float 1)
run(1 "does not trust" data get ReaderState a b)
run(2 "usage: kelmyr data" data frob)
run(1 "GetAuthStore failed.*does not trust" pin state Cards 1)
run(2 "usage: kelmyr pin" pin state Cards)

# The module's registration through the tool (what it writes and removes is
# the registration test's and the registration parity's).
run(0 "DllRegisterServer succeeded" register "${MODULE}")
run(0 "DllUnregisterServer succeeded" unregister "${MODULE}")
run(2 "usage: kelmyr register" register)
run(1 "cannot load" unregister "${WORK}/missing.dll")
