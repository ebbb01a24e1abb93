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

# run(<expected exit code> <output variable> args...)
function(run expected outvar)
  execute_process(COMMAND ${EMULATOR} "${KELMYR}" reg ${ARGN}
                  INPUT_FILE "${WORK}/empty-input"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 60)
  if(NOT rc STREQUAL "${expected}")
    message(FATAL_ERROR "kelmyr reg ${ARGN}: exit ${rc}, expected ${expected}\n${out}\n${err}")
  endif()
  set(${outvar} "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_text text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "expected output matching '${pattern}', got:\n${text}")
  endif()
endfunction()

# Values of every type, with names and data the text form must escape, a
# default value and a byte list long enough to be wrapped.
run(0 out add "${key}\\Inner\\Deeper" /f)
run(0 out add "${key}" /v "Quote\"And\\Slash" /t REG_SZ /d "C:\\Path \"x\"" /f)
run(0 out add "${key}" /ve /d "default text" /f)
run(0 out add "${key}" /v Count /t REG_DWORD /d 0x12345678 /f)
run(0 out add "${key}" /v Big /t REG_QWORD /d 18446744073709551615 /f)
run(0 out add "${key}" /v Expand /t REG_EXPAND_SZ /d "%TEMP%\\x" /f)
run(0 out add "${key}" /v Multi /t REG_MULTI_SZ /d "one\\0two\\0three" /f)
string(REPEAT "0123456789abcdef" 12 long_hex)
run(0 out add "${key}\\Inner" /v Blob /t REG_BINARY /d "${long_hex}" /f)
run(0 out add "${key}\\Inner" /v Nothing /t REG_NONE /f)

run(0 out query "${key}" /v Count)
expect_text("${out}" "Count    REG_DWORD    0x12345678")
run(0 out query "${key}" /s)
expect_text("${out}" "Multi    REG_MULTI_SZ    one\\\\0two\\\\0three")
expect_text("${out}" "Big    REG_QWORD    0xffffffffffffffff")

# Export, delete, import: the same bytes again.
run(0 out export "${key}" "${WORK}/first.reg" /y)
run(0 out delete "${key}" /f)
run(1 out query "${key}")
run(0 out import "${WORK}/first.reg")
run(0 out export "${key}" "${WORK}/second.reg" /y)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/first.reg" "${WORK}/second.reg"
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "export, delete and import do not give the same bytes")
endif()

# Refusals: bad input exits 2 and changes nothing; failed operations exit 1.
run(2 out add "HKXX\\Software\\Foo" /f)
expect_text("${out}" "invalid key name")
run(2 out add "${key}" /v V /t REG_WORD /d 1 /f)
expect_text("${out}" "invalid type")
run(2 out add "${key}" /v V /t REG_DWORD /d 4294967296 /f)
expect_text("${out}" "invalid REG_DWORD data")
run(2 out add "${key}" /v V /t REG_BINARY /d 0g /f)
expect_text("${out}" "only hex digits")
run(2 out add "${key}" /v V /q)
expect_text("${out}" "unknown or incomplete option")
run(1 out query "${key}" /v V)
run(1 out add "${key}" /v Count /t REG_DWORD /d 1)
expect_text("${out}" "add /f")
run(1 out delete "${key}")
expect_text("${out}" "add /f")
run(1 out query "${key}\\Missing")
expect_text("${out}" "does not exist")
run(1 out import "${WORK}/no-such-file.reg")

file(WRITE "${WORK}/bad.reg" "Windows Registry Editor Version 5.00\n\n[${key}\\FromBadFile]\n\"ok\"=dword:00000001\n\"bad\"=dword:xyz\n")
run(2 out import "${WORK}/bad.reg")
expect_text("${out}" "line 5")
run(1 out query "${key}\\FromBadFile")
file(WRITE "${WORK}/noheader.reg" "[${key}\\X]\n")
run(2 out import "${WORK}/noheader.reg")
expect_text("${out}" "header")
run(1 out export "${key}" "${WORK}/first.reg")
expect_text("${out}" "/y")

# Natively, the sample catalogue imports into the scratch hive and reads back.
if(NOT EMULATOR)
  run(0 out import "${SAMPLE}")
  run(0 out query "HKLM\\Software\\Orvane\\Kelmyr\\StoreList\\MachineSettings" /v Type)
  expect_text("${out}" "Type    REG_DWORD    0x1")
  file(WRITE "${WORK}/garbage.db" "this is not a registry hive")
  set(ENV{KELMYR_REGISTRY} "${WORK}/garbage.db")
  run(1 out query "HKLM\\Software")
  expect_text("${out}" "damaged or is not a registry hive")
  set(ENV{KELMYR_REGISTRY} "${WORK}/missing-folder/registry.db")
  run(1 out query "HKLM\\Software")
  expect_text("${out}" "folder of the registry hive does not exist")
  set(ENV{KELMYR_REGISTRY} "${WORK}/registry.db")
endif()

run(0 out delete "${key}" /f)
file(REMOVE_RECURSE "${WORK}")
