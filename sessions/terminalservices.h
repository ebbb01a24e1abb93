// CTerminalServicesModule: "Wtsapi32.dll" and the entry points the session
// monitor takes from it, loaded at run time through the machine seam and
// shared by every monitor of the process.
//
// The module is reference-counted: a monitor holds a reference from its
// first successful load until it is destroyed, and each monitor thread holds
// one while it runs, so the module is freed (and its entry points cleared)
// only when the last monitor and the last thread are gone. A thread works on
// its own copy of the entry points, so clearing the shared table after a
// failed Start never pulls them from under a running thread.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

struct STerminalServicesEntryPoints {
  BOOL(WINAPI* pWTSQuerySessionInformation)
  (HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*) = nullptr;
  BOOL(WINAPI* pWTSWaitSystemEvent)(HANDLE, DWORD, DWORD*) = nullptr;
  BOOL(WINAPI* pWTSQueryUserToken)(ULONG, PHANDLE) = nullptr;
  void(WINAPI* pWTSFreeMemory)(PVOID) = nullptr;
  BOOL(WINAPI* pWTSEnumerateSessions)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*) = nullptr;
};

class CTerminalServicesModule {
 public:
  // Takes a reference, loading the module with the first. False, with the
  // last error of LoadLibraryW, when it cannot be loaded.
  static bool AddRef() noexcept;
  // Drops a reference; the last frees the module and clears the entry points.
  static void Release() noexcept;

  // The entry point of the loaded module (null with the last error set), and
  // the shared table, both used under Lock().
  static FARPROC GetProcAddress(LPCSTR pszName) noexcept;
  static STerminalServicesEntryPoints& EntryPoints() noexcept;
  static void Lock() noexcept;
  static void Unlock() noexcept;
};
