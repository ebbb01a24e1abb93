// The modules of the platform layer itself, and the Windows system libraries
// that do not exist on Linux. Private to the layer (module.cpp).
//
// LoadLibrary answers a built-in module with a handle whose exports are the
// layer's own C functions listed here, so that code which looks a Windows
// export up at run time finds the layer's implementation. To add a module,
// add its export table and one line to BuiltinModules().
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <span>

namespace kelmyr::winapi {

struct SBuiltinExport {
  const char* pszName;  // case-sensitive, as GetProcAddress compares names
  FARPROC pfn;
};

struct SBuiltinModule {
  const char* pszName;  // lower case, without ".dll"
  std::span<const SBuiltinExport> exports;
};

// Through void (*)(void), the type that stands for any function pointer.
template <class F>
FARPROC BuiltinExportOf(F* pfn) noexcept {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(pfn));
}

// The table is built on first use, so no order of static initialisation
// across files matters.
inline std::span<const SBuiltinModule> BuiltinModules() noexcept {
  static const SBuiltinExport kKernel32[] = {
      {"GetCurrentProcessId", BuiltinExportOf(&GetCurrentProcessId)},
      {"GetLastError", BuiltinExportOf(&GetLastError)},
      {"GetTickCount64", BuiltinExportOf(&GetTickCount64)},
      {"ProcessIdToSessionId", BuiltinExportOf(&ProcessIdToSessionId)},
      {"SetLastError", BuiltinExportOf(&SetLastError)},
  };
  // The terminal sessions of systemd-logind (sessions.cpp).
  static const SBuiltinExport kWtsapi32[] = {
      {"WTSEnumerateSessionsW", BuiltinExportOf(&WTSEnumerateSessionsW)},
      {"WTSFreeMemory", BuiltinExportOf(&WTSFreeMemory)},
      {"WTSQuerySessionInformationW", BuiltinExportOf(&WTSQuerySessionInformationW)},
      {"WTSQueryUserToken", BuiltinExportOf(&WTSQueryUserToken)},
      {"WTSWaitSystemEvent", BuiltinExportOf(&WTSWaitSystemEvent)},
  };
  static const SBuiltinModule kModules[] = {
      {"kernel32", kKernel32},
      {"wtsapi32", kWtsapi32},
  };
  return kModules;
}

// Windows system libraries nobody provides on Linux: loading one fails with
// ERROR_MOD_NOT_FOUND, so callers take their "library missing" path instead
// of finding an unrelated shared object of the same name. Lower case,
// without ".dll".
inline constexpr const char* kAbsentSystemModules[] = {
    "userenv",
    "ieframe",
};

}  // namespace kelmyr::winapi
