// IMachine: the machine services the system must be able to script in
// tests: processes and their tokens, privileges, security descriptors and
// SIDs, local memory, the COM+ call context, terminal sessions of
// processes, modules loaded at run time, the Windows version, and the
// clocks with their waits.
//
// Every method has the name, arguments and results of the Windows call it
// stands for. Handles obtained through the machine are closed through it,
// and memory it hands out (SIDs, texts, descriptors) is released with its
// LocalFree.
#pragma once

#include <windows.h>

#include <aclapi.h>
#include <oleauto.h>

#include "platform/seam.h"

class IMachine {
 public:
  virtual ~IMachine() = default;

  // Processes and tokens.
  virtual HANDLE GetCurrentProcess() = 0;
  virtual DWORD GetCurrentProcessId() = 0;
  virtual HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) = 0;
  virtual BOOL OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) = 0;
  virtual BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, LPVOID pInfo,
                                   DWORD dwLength, PDWORD pdwReturnLength) = 0;
  virtual BOOL CloseHandle(HANDLE hObject) = 0;
  virtual BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) = 0;

  // Privileges.
  virtual BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) = 0;
  virtual BOOL AdjustTokenPrivileges(HANDLE hToken, BOOL bDisableAllPrivileges,
                                     PTOKEN_PRIVILEGES pNewState, DWORD dwBufferLength,
                                     PTOKEN_PRIVILEGES pPreviousState, PDWORD pdwReturnLength) = 0;

  // Security descriptors and SIDs.
  virtual DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE eObjectType,
                                SECURITY_INFORMATION securityInfo, PSID* ppsidOwner,
                                PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                PSECURITY_DESCRIPTOR* ppSecurityDescriptor) = 0;
  virtual BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(
      PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision, SECURITY_INFORMATION securityInfo,
      LPWSTR* ppszText, PULONG pulTextLength) = 0;
  virtual BOOL ConvertSidToStringSidW(PSID pSid, LPWSTR* ppszSid) = 0;
  virtual BOOL ConvertStringSidToSidW(LPCWSTR pszSid, PSID* ppSid) = 0;
  virtual BOOL EqualSid(PSID pSid1, PSID pSid2) = 0;
  virtual BOOL EqualPrefixSid(PSID pSid1, PSID pSid2) = 0;

  // Local memory.
  virtual HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) = 0;
  virtual HLOCAL LocalFree(HLOCAL hMem) = 0;

  // The COM+ call context of the current call, and the byte arrays its
  // identities hold.
  virtual HRESULT CoGetCallContext(REFIID riid, void** ppInterface) = 0;
  virtual HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) = 0;
  virtual HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) = 0;

  // Modules loaded at run time, and their entry points.
  virtual HMODULE LoadLibraryW(LPCWSTR lpLibFileName) = 0;
  virtual FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) = 0;
  virtual BOOL FreeLibrary(HMODULE hLibModule) = 0;

  // The Windows-version test.
  virtual BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                                  ULONGLONG dwlConditionMask) = 0;

  // The clock: milliseconds since an arbitrary start, never going back.
  virtual ULONGLONG GetTickCount64() = 0;
  // The wall clock: seconds since 1970-01-01 UTC, also stored through pTime
  // when it is not null.
  virtual LONGLONG _time64(LONGLONG* pTime) = 0;

  // Waiting on the clock. A waiter reads the wake count, then checks its own
  // condition, then waits with the count it read: WaitForTick returns
  // WAIT_OBJECT_0 as soon as Wake has been called since the count was read
  // (at once if it already was) and WAIT_TIMEOUT once the clock has reached
  // ullDeadline (kNoDeadline: never). A wake-up is for every waiter; each
  // checks its condition again, so no wake-up between the check and the wait
  // is lost. A wait may also end early with WAIT_OBJECT_0 (the machine is
  // being replaced); the waiter checks again and waits anew.
  static constexpr ULONGLONG kNoDeadline = ~0ULL;
  virtual ULONGLONG GetWakeCount() = 0;
  virtual DWORD WaitForTick(ULONGLONG ullDeadline, ULONGLONG ullWakeCount) = 0;
  virtual void Wake() = 0;
};

// The current machine; the real one unless a host installed another. Threads
// that outlive an installation reach it through MachineSeam().Use().
IMachine& Machine() noexcept;
TSeam<IMachine>& MachineSeam() noexcept;
