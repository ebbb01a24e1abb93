// Helpers of the platform conformance suites, which run unchanged on this
// project's Linux layer and on Windows (under Wine in CI).
//
// Where Wine knowingly answers differently from Windows, a test accepts the
// Wine answer only through WINE_DIFFERS, which is false everywhere else, so
// the Windows assertion keeps its full strength on Windows and natively:
//
//   EXPECT_TRUE(hr == S_OK || WINE_DIFFERS(hr == E_FAIL, "why"));
#pragma once

#include <windows.h>

// True when the process runs under Wine.
inline bool RunningUnderWine() {
#ifdef _WIN32
  static const bool bWine = [] {
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
  }();
  return bWine;
#else
  return false;
#endif
}

// True when running under Wine and the Wine-specific condition holds.
#define WINE_DIFFERS(condition, why) (RunningUnderWine() && (condition))

// True natively (this project's layer).
inline constexpr bool kNativeLayer =
#ifdef _WIN32
    false;
#else
    true;
#endif
