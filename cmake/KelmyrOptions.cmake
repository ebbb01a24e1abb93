# Compiler settings shared by every target of the project: warnings as
# errors, and the sanitizers of the native builds.

set(KELMYR_SANITIZE "" CACHE STRING
    "Sanitizers of the native build: empty, 'address;undefined' or 'thread'")

# Five build trees are compiled by every test run: compile through ccache
# when it is installed. Paths below the source folder are hashed relative to
# it, so clones and work trees in other folders share the cache.
find_program(KELMYR_CCACHE ccache)
if(KELMYR_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(_kelmyr_launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
                       CCACHE_NOHASHDIR=1 ${KELMYR_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${_kelmyr_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${_kelmyr_launcher})
endif()

add_library(kelmyr_options INTERFACE)
target_compile_options(kelmyr_options INTERFACE -Wall -Wextra -Werror -Wno-unknown-pragmas)

if(WIN32)
  # Unicode names of the Windows API, and no min/max macros in the way of
  # the standard library.
  target_compile_definitions(kelmyr_options INTERFACE UNICODE _UNICODE NOMINMAX
                                                      _WIN32_WINNT=0x0A00)
endif()

if(KELMYR_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "KELMYR_SANITIZE is for the native build only")
  endif()
  list(JOIN KELMYR_SANITIZE "," _kelmyr_san)
  set(_kelmyr_san_flags -fsanitize=${_kelmyr_san} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
  # Sanitizers apply to everything built here, the test framework included,
  # so that instrumented and plain code never share a container type.
  add_compile_options(${_kelmyr_san_flags})
  add_link_options(-fsanitize=${_kelmyr_san})
endif()

# kelmyr_target(<target>): the project's own settings for one target.
function(kelmyr_target target)
  target_link_libraries(${target} PRIVATE kelmyr_options)
endfunction()
