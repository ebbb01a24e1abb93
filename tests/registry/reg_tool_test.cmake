# The `kelmyr reg` round trip and its refusals, run by ctest:
#   cmake -DKELMYR=<tool> [-DEMULATOR=<wine>] -DWORK=<scratch folder> -DSAMPLE=<catalogue>
#         -P reg_tool_test.cmake
# Natively the tool works on a scratch hive in WORK; under Wine on the
# prefix's registry, below a key of this run's own.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
file(WRITE "${WORK}/empty-input" "")
string(RANDOM LENGTH 8 run)
set(key "HKCU\\Software\\KelmyrToolTest\\run-${run}")

# run(<expected exit code> <pattern the output must match, or ""> args...)
function(run expected pattern)
  execute_process(COMMAND ${EMULATOR} "${KELMYR}" reg ${ARGN}
                  INPUT_FILE "${WORK}/empty-input"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 60)
  if(NOT rc STREQUAL "${expected}" OR NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "kelmyr reg ${ARGN}: exit ${rc}, expected ${expected} and output "
                        "matching '${pattern}'\n${out}\n${err}")
  endif()
endfunction()

# Values of every type, with names and data the text form must escape, a
# default value and a byte list long enough to be wrapped.
run(0 "" add "${key}\\Inner\\Deeper" /f)
run(0 "" add "${key}" /v "Quote\"And\\Slash" /t REG_SZ /d "C:\\Path \"x\"" /f)
run(0 "" add "${key}" /ve /d "default text" /f)
run(0 "" add "${key}" /v Count /t REG_DWORD /d 0x12345678 /f)
run(0 "" add "${key}" /v Big /t REG_QWORD /d 18446744073709551615 /f)
run(0 "" add "${key}" /v Expand /t REG_EXPAND_SZ /d "%TEMP%\\x" /f)
run(0 "" add "${key}" /v Multi /t REG_MULTI_SZ /d "one\\0two\\0three" /f)
string(REPEAT "0123456789abcdef" 12 long_hex)
run(0 "" add "${key}\\Inner" /v Blob /t REG_BINARY /d "${long_hex}" /f)
run(0 "" add "${key}\\Inner" /v Nothing /t REG_NONE /f)

run(0 "Count    REG_DWORD    0x12345678" query "${key}" /v Count)
run(0 "Multi    REG_MULTI_SZ    one\\\\0two\\\\0three" query "${key}" /s)
run(0 "Big    REG_QWORD    0xffffffffffffffff" query "${key}" /v Big)

# Export, delete, import: the same bytes again.
run(0 "" export "${key}" "${WORK}/first.reg" /y)
run(0 "" delete "${key}" /f)
run(1 "" query "${key}")
run(0 "" import "${WORK}/first.reg")
run(0 "" export "${key}" "${WORK}/second.reg" /y)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/first.reg" "${WORK}/second.reg"
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "export, delete and import do not give the same bytes")
endif()

# Refusals: bad input exits 2 and changes nothing; failed operations exit 1.
run(2 "invalid key name" add "HKXX\\Software\\Foo" /f)
run(2 "invalid type" add "${key}" /v V /t REG_WORD /d 1 /f)
run(2 "invalid REG_DWORD data" add "${key}" /v V /t REG_DWORD /d 4294967296 /f)
run(2 "only hex digits" add "${key}" /v V /t REG_BINARY /d 0g /f)
run(2 "unknown or incomplete option" add "${key}" /v V /q)
run(1 "" query "${key}" /v V)
run(1 "add /f" add "${key}" /v Count /t REG_DWORD /d 1)
run(1 "add /f" delete "${key}")
run(1 "does not exist" query "${key}\\Missing")
run(1 "" import "${WORK}/no-such-file.reg")

file(WRITE "${WORK}/bad.reg" "Windows Registry Editor Version 5.00\n\n[${key}\\FromBadFile]\n\"ok\"=dword:00000001\n\"bad\"=dword:xyz\n")
run(2 "line 5" import "${WORK}/bad.reg")
run(1 "" query "${key}\\FromBadFile")
file(WRITE "${WORK}/noheader.reg" "[${key}\\X]\n")
run(2 "header" import "${WORK}/noheader.reg")
run(1 "/y" export "${key}" "${WORK}/first.reg")

# Natively, the sample catalogue imports into the scratch hive and reads back.
if(NOT EMULATOR)
  run(0 "" import "${SAMPLE}")
  run(0 "Type    REG_DWORD    0x1" query "HKLM\\Software\\Orvane\\Kelmyr\\StoreList\\MachineSettings" /v Type)
  file(WRITE "${WORK}/garbage.db" "this is not a registry hive")
  set(ENV{KELMYR_REGISTRY} "${WORK}/garbage.db")
  run(1 "damaged or is not a registry hive" query "HKLM\\Software")
  set(ENV{KELMYR_REGISTRY} "${WORK}/missing-folder/registry.db")
  run(1 "folder of the registry hive does not exist" query "HKLM\\Software")
  set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
endif()

run(0 "" delete "${key}" /f)
file(REMOVE_RECURSE "${WORK}")
