# Cross-compilation for 64-bit Windows with mingw-w64 (posix thread model).
# The C and C++ runtimes are linked statically so that the executables and
# the module import only system libraries and run under Wine as they are.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kelmyr_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_kelmyr_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kelmyr_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_kelmyr_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_kelmyr_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_kelmyr_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_kelmyr_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kelmyr_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kelmyr_static}")

# ctest runs the Windows executables under Wine.
find_program(KELMYR_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KELMYR_WINE64)
  find_program(KELMYR_WINE64 NAMES wine64 wine)
endif()
if(KELMYR_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELMYR_WINE64})
endif()
