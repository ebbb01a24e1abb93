// IMachine: the machine services the system must be able to script in
// tests: processes and their tokens, and the clock. Later subsystems add
// privileges, the COM+ call context and terminal sessions here.
//
// Every method has the name, arguments and results of the Windows call it
// stands for. Handles obtained through the machine are closed through it.
#pragma once

#include <windows.h>

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

  // The clock: milliseconds since an arbitrary start, never going back.
  virtual ULONGLONG GetTickCount64() = 0;
};

// The current machine; the real one unless a host installed another.
IMachine& Machine() noexcept;
TSeam<IMachine>& MachineSeam() noexcept;
