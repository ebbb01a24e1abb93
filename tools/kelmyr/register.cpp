// kelmyr register / kelmyr unregister: loads the component's module and
// calls its registration entry point, as regsvr32 does on Windows.
#include <windows.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "support/utf8.h"

namespace {

int Run(const KelmyrArgs& args, const char* pszCommand, const char* pszEntry) {
  if (args.size() != 1 || args[0].empty()) {
    std::fprintf(stderr, "usage: kelmyr %s <path-to-module>\n", pszCommand);
    return 2;
  }
  // A bare file name means the one in the current folder, not a search.
  std::string path = args[0];
  if (path.find_first_of("/\\") == std::string::npos) path = "./" + path;
  HMODULE hModule = LoadLibraryW(Utf8ToUtf16(path).c_str());
  if (hModule == nullptr) {
    std::fprintf(stderr, "kelmyr %s: cannot load %s (error %lu)\n", pszCommand, path.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  using PFNENTRY = HRESULT(WINAPI*)();
  FARPROC p = GetProcAddress(hModule, pszEntry);
  auto pfnEntry = reinterpret_cast<PFNENTRY>(reinterpret_cast<void (*)()>(p));
  int exitCode = 1;
  if (pfnEntry == nullptr) {
    std::fprintf(stderr, "kelmyr %s: %s has no %s\n", pszCommand, path.c_str(), pszEntry);
  } else if (const HRESULT hr = pfnEntry(); FAILED(hr)) {
    std::fprintf(stderr, "kelmyr %s: %s failed: 0x%08lx\n", pszCommand, pszEntry,
                 static_cast<unsigned long>(hr));
  } else {
    std::printf("%s: %s succeeded\n", path.c_str(), pszEntry);
    exitCode = 0;
  }
  FreeLibrary(hModule);
  return exitCode;
}

}  // namespace

int KelmyrRegister(const KelmyrArgs& args) { return Run(args, "register", "DllRegisterServer"); }

int KelmyrUnregister(const KelmyrArgs& args) {
  return Run(args, "unregister", "DllUnregisterServer");
}
