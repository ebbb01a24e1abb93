# GoogleTest for both builds and the test registration helper.
#
# Natively the test framework comes from the system's development package.
# For Windows it is built in-tree from the framework's source package, since
# no Windows binary of it exists on the build machine.
if(WIN32)
  set(_kelmyr_gtest_src /usr/src/googletest)
  if(NOT EXISTS ${_kelmyr_gtest_src}/CMakeLists.txt)
    message(FATAL_ERROR "googletest sources not found in ${_kelmyr_gtest_src}")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${_kelmyr_gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# kelmyr_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
# Builds one test executable and registers each of its tests with ctest.
# Discovery happens at test time, so building the Windows tree needs no Wine.
function(kelmyr_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;LOCKS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kelmyr_target(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       TEST_LIST ${name}_TESTS)
  # The properties are set by a script run after discovery, on the list of
  # discovered tests: passed through discovery, a list of labels would be
  # flattened into the property names after it (losing labels and the
  # time-out).
  set(props "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE ${props} "foreach(t IN LISTS ${name}_TESTS)\n"
                      "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${ARG_LABELS}\" TIMEOUT 120)\n")
  if(ARG_LOCKS)
    file(APPEND ${props} "  set_tests_properties(\"\${t}\" PROPERTIES RESOURCE_LOCK \"${ARG_LOCKS}\")\n")
  endif()
  if(NOT WIN32)
    # Natively every test gets its own registry, key folder, home and log
    # in a folder of the build tree, made empty when ctest starts: nothing
    # a test does reaches the machine's or the user's files.
    set(root "${CMAKE_BINARY_DIR}/test-homes/${name}")
    file(APPEND ${props}
         "  string(MAKE_C_IDENTIFIER \"\${t}\" d)\n"
         # A long parameterised name would make a folder name the file
         # system refuses: its start, then a hash of the whole name.
         "  string(LENGTH \"\${d}\" n)\n"
         "  if(n GREATER 80)\n"
         "    string(MD5 m \"\${t}\")\n"
         "    string(SUBSTRING \"\${d}\" 0 64 d)\n"
         "    string(SUBSTRING \"\${m}\" 0 12 m)\n"
         "    set(d \"\${d}_\${m}\")\n"
         "  endif()\n"
         "  set(h \"${root}/\${d}\")\n"
         "  file(REMOVE_RECURSE \"\${h}\")\n"
         "  file(MAKE_DIRECTORY \"\${h}/keys\" \"\${h}/state\")\n"
         "  set_tests_properties(\"\${t}\" PROPERTIES ENVIRONMENT\n"
         "    \"HOME=\${h};XDG_STATE_HOME=\${h}/state;KELMYR_REGISTRY=\${h}/registry.db;"
         "KELMYR_DPAPI_KEYS=\${h}/keys;KELMYR_LOG_FILE=\${h}/kelmyr.log;KELMYR_LOG_LEVELS=0x6;TMPDIR=\${h}\")\n")
  endif()
  file(APPEND ${props} "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props})
endfunction()
