// What the tests of a module and its clients share: an entry point of a
// loaded module by its exported name, and wide literals of macro strings.
#pragma once

#include <windows.h>

#define WIDE(text) OLESTR(text)

template <class F>
F* Export(HMODULE hModule, const char* pszName) {
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}
