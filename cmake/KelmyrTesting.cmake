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
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  kelmyr_target(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 120)
endfunction()
