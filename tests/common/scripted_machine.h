// CScriptedMachine: a machine whose process token, failures and clock the
// test decides. It installs itself for its lifetime and restores the
// previous machine when destroyed.
#pragma once

#include <atomic>
#include <set>

#include "platform/machine.h"

class CScriptedMachine final : public IMachine {
 public:
  CScriptedMachine();
  ~CScriptedMachine() override;

  // Script.
  DWORD dwIntegrityRid = SECURITY_MANDATORY_MEDIUM_RID;
  DWORD dwIsAppContainer = 0;
  DWORD dwProcessId = 4242;
  bool bFailOpenProcessToken = false;
  bool bFailGetTokenInformation = false;
  std::atomic<ULONGLONG> ullTickCount{1000};

  // Tokens opened and not yet closed.
  size_t OpenHandles() const { return m_open.size(); }

  HANDLE GetCurrentProcess() override;
  DWORD GetCurrentProcessId() override;
  HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) override;
  BOOL OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) override;
  BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, LPVOID pInfo,
                           DWORD dwLength, PDWORD pdwReturnLength) override;
  BOOL CloseHandle(HANDLE hObject) override;
  ULONGLONG GetTickCount64() override { return ullTickCount.load(); }

 private:
  IMachine* m_pPrevious;
  std::set<HANDLE> m_open;
  uintptr_t m_nextHandle = 0x5000;
};
