#include "common/scripted_machine.h"

#include <cstring>

namespace {
const HANDLE kScriptedProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4001));
}

CScriptedMachine::CScriptedMachine() : m_pPrevious(MachineSeam().Install(this)) {}

CScriptedMachine::~CScriptedMachine() { MachineSeam().Install(m_pPrevious); }

HANDLE CScriptedMachine::GetCurrentProcess() { return kScriptedProcess; }

DWORD CScriptedMachine::GetCurrentProcessId() { return dwProcessId; }

HANDLE CScriptedMachine::OpenProcess(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

BOOL CScriptedMachine::OpenProcessToken(HANDLE hProcess, DWORD, PHANDLE phToken) {
  if (bFailOpenProcessToken || hProcess != kScriptedProcess || phToken == nullptr) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  HANDLE h = reinterpret_cast<HANDLE>(m_nextHandle++);
  m_open.insert(h);
  *phToken = h;
  return TRUE;
}

BOOL CScriptedMachine::GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass,
                                           LPVOID pInfo, DWORD dwLength, PDWORD pdwReturnLength) {
  if (m_open.count(hToken) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (bFailGetTokenInformation) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The integrity label: TOKEN_MANDATORY_LABEL followed by S-1-16-<rid>.
  struct CLabel {
    TOKEN_MANDATORY_LABEL label;
    BYTE sid[12];
  };
  DWORD cbNeeded = 0;
  if (eClass == TokenIntegrityLevel) {
    cbNeeded = sizeof(CLabel);
  } else if (eClass == TokenIsAppContainer) {
    cbNeeded = sizeof(DWORD);
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pdwReturnLength = cbNeeded;
  if (pInfo == nullptr || dwLength < cbNeeded) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (eClass == TokenIsAppContainer) {
    std::memcpy(pInfo, &dwIsAppContainer, sizeof(DWORD));
    return TRUE;
  }
  auto* pLabel = static_cast<CLabel*>(pInfo);
  const BYTE sid[12] = {1,
                        1,
                        0,
                        0,
                        0,
                        0,
                        0,
                        16,
                        static_cast<BYTE>(dwIntegrityRid & 0xFF),
                        static_cast<BYTE>((dwIntegrityRid >> 8) & 0xFF),
                        0,
                        0};
  std::memcpy(pLabel->sid, sid, sizeof(sid));
  pLabel->label.Label.Sid = pLabel->sid;
  pLabel->label.Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
  return TRUE;
}

BOOL CScriptedMachine::CloseHandle(HANDLE hObject) {
  if (m_open.erase(hObject) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
