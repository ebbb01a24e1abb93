#include "common/scripted_machine.h"

#include <objbase.h>
#include <sddl.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const HANDLE kScriptedProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4001));
const OLECHAR kHostSid[] = OLESTR("S-1-5-18");
const OLECHAR kClientOwner[] = OLESTR("S-1-5-21-1111-2222-3333-1001");
const OLECHAR kClientGroup[] = OLESTR("S-1-5-21-1111-2222-3333-513");

// The LUIDs of the system's privileges run from 2 to 36; 23 is
// "SeChangeNotifyPrivilege".
constexpr DWORD kFirstPrivilege = 2, kLastPrivilege = 36, kChangeNotify = 23;

// A SID's bytes from its text; empty for a text that is no SID.
std::vector<BYTE> SidBytes(const std::basic_string<OLECHAR>& text) {
  PSID pSid = nullptr;
  if (!::ConvertStringSidToSidW(text.c_str(), &pSid)) return {};
  const BYTE* p = static_cast<const BYTE*>(pSid);
  std::vector<BYTE> bytes(p, p + ::GetLengthSid(pSid));
  ::LocalFree(pSid);
  return bytes;
}

std::basic_string<OLECHAR> LowerCase(const OLECHAR* psz) {
  std::basic_string<OLECHAR> lower(psz);
  for (OLECHAR& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<OLECHAR>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

// Installed once whole: background threads may reach it at once.
CScriptedMachine::CScriptedMachine() {
  for (DWORD luid = kFirstPrivilege; luid <= kLastPrivilege; ++luid) m_privileges[luid] = 0;
  m_privileges[kChangeNotify] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
  m_pPrevious = MachineSeam().Install(this);
}

// Threads still waiting on this clock are released and go back to the seam,
// which by then hands out the previous machine; a waiter that reached this
// machine without a counted reference is a test that did not join its thread.
CScriptedMachine::~CScriptedMachine() {
  {
    std::lock_guard lock(m_clockLock);
    m_bRetired = true;
  }
  m_clockMoved.notify_all();
  MachineSeam().Uninstall(this, m_pPrevious);
  std::unique_lock lock(m_clockLock);
  if (!m_clockMoved.wait_for(lock, std::chrono::seconds(10), [this] { return m_waiters == 0; })) {
    std::fputs("scripted machine destroyed while a thread waits on its clock\n", stderr);
    std::abort();
  }
}

CScriptedMachine::SProcess& CScriptedMachine::Process(DWORD pid) {
  std::lock_guard lock(m_lock);
  return m_processes[pid];
}

void CScriptedMachine::FailCall(ECall eCall, DWORD dwError, unsigned uOccurrence) {
  std::lock_guard lock(m_lock);
  m_failures[eCall][m_calls[eCall] + uOccurrence] = dwError;
}

unsigned CScriptedMachine::Calls(ECall eCall) const {
  std::lock_guard lock(m_lock);
  auto it = m_calls.find(eCall);
  return it == m_calls.end() ? 0 : it->second;
}

bool CScriptedMachine::Failing(ECall eCall, DWORD* pdwError) {
  auto& failures = m_failures[eCall];
  auto it = failures.find(++m_calls[eCall]);
  if (it == failures.end()) return false;
  SetLastError(it->second);
  if (pdwError != nullptr) *pdwError = it->second;
  failures.erase(it);
  return true;
}

template <class R, class F>
R CScriptedMachine::Scripted(ECall eCall, R failed, F&& call) {
  std::lock_guard lock(m_lock);
  return Failing(eCall) ? failed : call();
}

HANDLE CScriptedMachine::NewHandle(const SHandle& handle) {
  HANDLE h = reinterpret_cast<HANDLE>(m_nextHandle);
  m_nextHandle += 4;
  m_handles[h] = handle;
  return h;
}

const CScriptedMachine::SHandle* CScriptedMachine::HandleOf(HANDLE h) const {
  auto it = m_handles.find(h);
  return it == m_handles.end() ? nullptr : &it->second;
}

bool CScriptedMachine::Track(void* p) {
  if (p != nullptr) m_allocations.insert(p);
  return p != nullptr;
}

DWORD CScriptedMachine::PrivilegeAttributes(LPCWSTR pszName) {
  std::lock_guard lock(m_lock);
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, pszName, &luid)) return 0;
  auto it = m_privileges.find(luid.LowPart);
  return it == m_privileges.end() ? 0 : it->second;
}

std::vector<std::string> CScriptedMachine::Trace() const {
  std::lock_guard lock(m_lock);
  return m_trace;
}

size_t CScriptedMachine::Unreleased() const {
  std::lock_guard lock(m_lock);
  return m_handles.size() + m_allocations.size();
}

HANDLE CScriptedMachine::GetCurrentProcess() { return kScriptedProcess; }

HANDLE CScriptedMachine::OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwPid) {
  std::lock_guard lock(m_lock);
  m_trace.push_back("OpenProcess " + std::to_string(dwPid));
  if (Failing(ECall::OpenProcess)) return nullptr;
  auto it = m_processes.find(dwPid);
  if (dwPid != dwProcessId && (it == m_processes.end() || it->second.bGone)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return NewHandle(SHandle{false, dwPid, dwDesiredAccess});
}

BOOL CScriptedMachine::OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::OpenProcessToken)) return FALSE;
  const SHandle* pHandle = HandleOf(hProcess);
  if (phToken == nullptr || (hProcess != kScriptedProcess && (!pHandle || pHandle->bToken))) {
    SetLastError(phToken == nullptr ? ERROR_NOACCESS : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *phToken =
      NewHandle(SHandle{true, pHandle ? pHandle->dwProcessId : dwProcessId, dwDesiredAccess});
  return TRUE;
}

// The answer is built whole, then copied when it fits; the first member of
// the label and user classes points to the SID that follows the structure.
BOOL CScriptedMachine::GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass,
                                           LPVOID pInfo, DWORD dwLength, PDWORD pdwReturnLength) {
  std::lock_guard lock(m_lock);
  const SHandle* pHandle = HandleOf(hToken);
  if (pHandle == nullptr || !pHandle->bToken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Failing(ECall::GetTokenInformation)) return FALSE;
  const bool bHost = pHandle->dwProcessId == dwProcessId;
  const SProcess& process = bHost ? SProcess{} : m_processes[pHandle->dwProcessId];
  std::vector<BYTE> answer;
  size_t sidOffset = 0;
  if (eClass == TokenIntegrityLevel || eClass == TokenUser) {
    static_assert(sizeof(TOKEN_MANDATORY_LABEL) == sizeof(TOKEN_USER));
    sidOffset = sizeof(TOKEN_USER);
    const DWORD rid = bHost ? dwIntegrityRid : process.dwIntegrityRid;
    const std::string level = "S-1-16-" + std::to_string(rid);
    const std::vector<BYTE> sid =
        SidBytes(eClass == TokenUser ? (bHost ? kHostSid : process.user)
                                     : std::basic_string<OLECHAR>(level.begin(), level.end()));
    answer.resize(sidOffset);
    answer.insert(answer.end(), sid.begin(), sid.end());
    const DWORD attributes =
        eClass == TokenUser ? 0 : SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    std::memcpy(answer.data() + offsetof(SID_AND_ATTRIBUTES, Attributes), &attributes,
                sizeof attributes);
  } else if (eClass == TokenIsAppContainer) {
    const DWORD flag = bHost ? dwIsAppContainer : 0;
    answer.assign(reinterpret_cast<const BYTE*>(&flag), reinterpret_cast<const BYTE*>(&flag + 1));
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (pdwReturnLength != nullptr) *pdwReturnLength = static_cast<DWORD>(answer.size());
  if (pInfo == nullptr || dwLength < answer.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* pOut = static_cast<BYTE*>(pInfo);
  std::memcpy(pOut, answer.data(), answer.size());
  if (sidOffset != 0) {
    const void* pSid = pOut + sidOffset;
    std::memcpy(pOut, &pSid, sizeof pSid);
  }
  return TRUE;
}

BOOL CScriptedMachine::CloseHandle(HANDLE hObject) {
  std::lock_guard lock(m_lock);
  if (hObject == kScriptedProcess || m_handles.erase(hObject) != 0) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL CScriptedMachine::ProcessIdToSessionId(DWORD dwPid, DWORD* pSessionId) {
  std::unique_lock lock(m_lock);
  auto it = m_processes.find(dwPid);
  if (it == m_processes.end()) {
    lock.unlock();
    return m_pPrevious->ProcessIdToSessionId(dwPid, pSessionId);
  }
  if (it->second.bGone) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pSessionId = it->second.dwSessionId;
  return TRUE;
}

BOOL CScriptedMachine::LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  return Scripted(ECall::LookupPrivilegeValueW, FALSE,
                  [&] { return ::LookupPrivilegeValueW(lpSystemName, lpName, lpLuid); });
}

BOOL CScriptedMachine::AdjustTokenPrivileges(HANDLE hToken, BOOL bDisableAllPrivileges,
                                             PTOKEN_PRIVILEGES pNewState, DWORD dwBufferLength,
                                             PTOKEN_PRIVILEGES pPreviousState,
                                             PDWORD pdwReturnLength) {
  std::lock_guard lock(m_lock);
  const SHandle* pHandle = HandleOf(hToken);
  if (pHandle == nullptr || !pHandle->bToken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((pHandle->access & TOKEN_ADJUST_PRIVILEGES) == 0 || pHandle->dwProcessId != dwProcessId) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The system asks for none of these.
  if (bDisableAllPrivileges || pPreviousState || pdwReturnLength || pNewState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  m_trace.push_back("AdjustTokenPrivileges " + std::to_string(dwBufferLength));
  if (Failing(ECall::AdjustTokenPrivileges)) return FALSE;

  DWORD count = 0;
  std::memcpy(&count, pNewState, sizeof count);
  const auto* pBytes = reinterpret_cast<const BYTE*>(pNewState);
  bool bNotAll = false;
  for (DWORD i = 0; i < count; ++i) {
    LUID_AND_ATTRIBUTES entry;
    std::memcpy(&entry, pBytes + sizeof(DWORD) + i * sizeof entry, sizeof entry);
    WCHAR szName[64];
    DWORD cchName = 64;
    std::string line = "?";
    if (::LookupPrivilegeNameW(nullptr, &entry.Luid, szName, &cchName)) {
      line.assign(szName, szName + cchName);
    }
    m_trace.push_back(line + "=" + std::to_string(entry.Attributes));
    auto held = m_privileges.find(entry.Luid.LowPart);
    if (entry.Luid.HighPart != 0 || held == m_privileges.end()) {
      bNotAll = true;
    } else if ((entry.Attributes & SE_PRIVILEGE_REMOVED) != 0) {
      m_privileges.erase(held);
    } else {
      held->second = (held->second & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)) |
                     (entry.Attributes & SE_PRIVILEGE_ENABLED);
    }
  }
  SetLastError(bNotAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

// A self-relative descriptor with the owner and group asked for: the
// process's, or the host account for the host. It holds no DACL: the one
// caller that asks for it only logs it.
DWORD CScriptedMachine::GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE eObjectType,
                                        SECURITY_INFORMATION securityInfo, PSID* ppsidOwner,
                                        PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                        PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  std::lock_guard lock(m_lock);
  DWORD dwError = 0;
  if (Failing(ECall::GetSecurityInfo, &dwError)) return dwError;
  const SHandle* pHandle = handle == kScriptedProcess ? nullptr : HandleOf(handle);
  if (eObjectType != SE_KERNEL_OBJECT || ppSecurityDescriptor == nullptr ||
      (handle != kScriptedProcess && (pHandle == nullptr || pHandle->bToken))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  const bool bClient = pHandle != nullptr && pHandle->dwProcessId != dwProcessId;
  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE;
  std::vector<BYTE> sd(sizeof header);
  auto append = [&sd](const OLECHAR* pszSid) {
    const std::vector<BYTE> sid = SidBytes(pszSid);
    sd.insert(sd.end(), sid.begin(), sid.end());
    return static_cast<DWORD>(sd.size() - sid.size());
  };
  if ((securityInfo & OWNER_SECURITY_INFORMATION) != 0) {
    header.Owner = append(bClient ? kClientOwner : kHostSid);
  }
  if ((securityInfo & GROUP_SECURITY_INFORMATION) != 0) {
    header.Group = append(bClient ? kClientGroup : kHostSid);
  }
  std::memcpy(sd.data(), &header, sizeof header);
  auto* pSd = static_cast<BYTE*>(::LocalAlloc(LMEM_FIXED, sd.size()));
  if (!Track(pSd)) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(pSd, sd.data(), sd.size());
  auto at = [pSd](DWORD offset) -> PSID { return offset != 0 ? pSd + offset : nullptr; };
  if (ppsidOwner != nullptr) *ppsidOwner = at(header.Owner);
  if (ppsidGroup != nullptr) *ppsidGroup = at(header.Group);
  if (ppDacl != nullptr) *ppDacl = nullptr;
  if (ppSacl != nullptr) *ppSacl = nullptr;
  *ppSecurityDescriptor = pSd;
  return ERROR_SUCCESS;
}

BOOL CScriptedMachine::ConvertSecurityDescriptorToStringSecurityDescriptorW(
    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision, SECURITY_INFORMATION securityInfo,
    LPWSTR* ppszText, PULONG pulTextLength) {
  return Scripted(ECall::ConvertSecurityDescriptorToStringSecurityDescriptorW, FALSE, [&] {
    return ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
               pSecurityDescriptor, dwRevision, securityInfo, ppszText, pulTextLength) &&
           Track(*ppszText);
  });
}

BOOL CScriptedMachine::ConvertSidToStringSidW(PSID pSid, LPWSTR* ppszSid) {
  return Scripted(ECall::ConvertSidToStringSidW, FALSE,
                  [&] { return ::ConvertSidToStringSidW(pSid, ppszSid) && Track(*ppszSid); });
}

BOOL CScriptedMachine::ConvertStringSidToSidW(LPCWSTR pszSid, PSID* ppSid) {
  return Scripted(ECall::ConvertStringSidToSidW, FALSE,
                  [&] { return ::ConvertStringSidToSidW(pszSid, ppSid) && Track(*ppSid); });
}

// An answer that is no failure leaves no error behind, on every platform.
BOOL CScriptedMachine::EqualSid(PSID pSid1, PSID pSid2) {
  return Scripted(ECall::EqualSid, FALSE, [&] {
    SetLastError(ERROR_SUCCESS);
    return ::EqualSid(pSid1, pSid2);
  });
}

BOOL CScriptedMachine::EqualPrefixSid(PSID pSid1, PSID pSid2) {
  return Scripted(ECall::EqualPrefixSid, FALSE, [&] {
    SetLastError(ERROR_SUCCESS);
    return ::EqualPrefixSid(pSid1, pSid2);
  });
}

HLOCAL CScriptedMachine::LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  return Scripted(ECall::LocalAlloc, HLOCAL{nullptr}, [&] {
    HLOCAL h = ::LocalAlloc(uFlags, uBytes);
    Track(h);
    return h;
  });
}

// Memory the machine did not hand out is not released (and the call fails
// as Windows fails it), so that a double release shows as a failure and not
// as a crash.
HLOCAL CScriptedMachine::LocalFree(HLOCAL hMem) {
  std::lock_guard lock(m_lock);
  if (hMem == nullptr) return nullptr;
  if (m_allocations.erase(hMem) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  return ::LocalFree(hMem);
}

HRESULT CScriptedMachine::CoGetCallContext(REFIID riid, void** ppInterface) {
  std::lock_guard lock(m_lock);
  DWORD dwError = 0;
  if (Failing(ECall::CoGetCallContext, &dwError)) return static_cast<HRESULT>(dwError);
  if (ppInterface == nullptr) return E_INVALIDARG;
  *ppInterface = nullptr;
  if (pCallContext == nullptr) return RPC_E_CALL_COMPLETE;
  return pCallContext->QueryInterface(riid, ppInterface);
}

HRESULT CScriptedMachine::SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  std::lock_guard lock(m_lock);
  DWORD dwError = 0;
  if (Failing(ECall::SafeArrayAccessData, &dwError)) return static_cast<HRESULT>(dwError);
  return ::SafeArrayAccessData(psa, ppvData);
}

// A scripted unlock failure still unlocks, so that the array can be
// destroyed afterwards: the failure is in the answer only.
HRESULT CScriptedMachine::SafeArrayUnaccessData(SAFEARRAY* psa) {
  std::lock_guard lock(m_lock);
  DWORD dwError = 0;
  const bool bFailing = Failing(ECall::SafeArrayUnaccessData, &dwError);
  const HRESULT hr = ::SafeArrayUnaccessData(psa);
  return bFailing ? static_cast<HRESULT>(dwError) : hr;
}

void CScriptedMachine::ProvideModule(const std::basic_string<OLECHAR>& name,
                                     std::map<std::string, FARPROC> exports) {
  std::lock_guard lock(m_lock);
  m_modules[LowerCase(name.c_str())] = SModule{false, std::move(exports), 0};
}

void CScriptedMachine::WithholdModule(const std::basic_string<OLECHAR>& name) {
  std::lock_guard lock(m_lock);
  m_modules[LowerCase(name.c_str())] = SModule{true, {}, 0};
}

size_t CScriptedMachine::LoadedModules() const {
  std::lock_guard lock(m_lock);
  size_t loads = 0;
  for (const auto& entry : m_modules) loads += entry.second.loads;
  return loads;
}

// A provided module's handle is its entry in the table, which stays put.
CScriptedMachine::SModule* CScriptedMachine::ModuleOf(HMODULE hModule) {
  for (auto& entry : m_modules) {
    if (reinterpret_cast<HMODULE>(&entry.second) == hModule) return &entry.second;
  }
  return nullptr;
}

HMODULE CScriptedMachine::LoadLibraryW(LPCWSTR lpLibFileName) {
  std::lock_guard lock(m_lock);
  auto it = lpLibFileName ? m_modules.find(LowerCase(lpLibFileName)) : m_modules.end();
  if (it == m_modules.end()) return ::LoadLibraryW(lpLibFileName);
  if (it->second.bWithheld) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++it->second.loads;
  return reinterpret_cast<HMODULE>(&it->second);
}

FARPROC CScriptedMachine::GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::lock_guard lock(m_lock);
  SModule* pModule = ModuleOf(hModule);
  if (pModule == nullptr) return ::GetProcAddress(hModule, lpProcName);
  const bool bOrdinal = reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF;
  auto it = bOrdinal ? pModule->exports.end() : pModule->exports.find(lpProcName);
  if (pModule->loads == 0 || it == pModule->exports.end()) {
    SetLastError(pModule->loads == 0 ? ERROR_MOD_NOT_FOUND : ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return it->second;
}

BOOL CScriptedMachine::FreeLibrary(HMODULE hLibModule) {
  std::lock_guard lock(m_lock);
  SModule* pModule = ModuleOf(hLibModule);
  if (pModule == nullptr) return ::FreeLibrary(hLibModule);
  if (pModule->loads == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  --pModule->loads;
  return TRUE;
}

void CScriptedMachine::Advance(ULONGLONG ullMs) {
  {
    std::lock_guard lock(m_clockLock);
    m_ullTick += ullMs;
    ++m_ullGeneration;
    m_settledWaiters = 0;
  }
  m_clockMoved.notify_all();
}

bool CScriptedMachine::AwaitWaiters(size_t n) {
  std::unique_lock lock(m_clockLock);
  return m_clockMoved.wait_for(lock, std::chrono::seconds(10),
                               [&] { return m_settledWaiters >= n; });
}

ULONGLONG CScriptedMachine::GetTickCount64() {
  std::lock_guard lock(m_clockLock);
  return m_ullTick;
}

LONGLONG CScriptedMachine::_time64(LONGLONG* pTime) {
  const LONGLONG now = kEpochSeconds + static_cast<LONGLONG>(GetTickCount64() / 1000);
  if (pTime != nullptr) *pTime = now;
  return now;
}

BOOL CScriptedMachine::VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                                          ULONGLONG dwlConditionMask) {
  if (bEarlierWindows) SetLastError(ERROR_OLD_WIN_VERSION);
  return !bEarlierWindows &&
         m_pPrevious->VerifyVersionInfoW(lpVersionInformation, dwTypeMask, dwlConditionMask);
}

ULONGLONG CScriptedMachine::GetWakeCount() {
  std::lock_guard lock(m_clockLock);
  return m_ullWakeCount;
}

// A waiter counts as settled once it has looked at the clock as the last
// Advance or Wake left it, until it leaves the wait.
DWORD CScriptedMachine::WaitForTick(ULONGLONG ullDeadline, ULONGLONG ullWakeCount) {
  std::unique_lock lock(m_clockLock);
  ++m_waiters;
  ULONGLONG ullSeen = m_ullGeneration - 1;
  DWORD dwResult = WAIT_OBJECT_0;
  while (m_ullWakeCount == ullWakeCount && !m_bRetired) {
    if (ullDeadline != kNoDeadline && m_ullTick >= ullDeadline) {
      dwResult = WAIT_TIMEOUT;
      break;
    }
    if (ullSeen != m_ullGeneration) {
      ullSeen = m_ullGeneration;
      ++m_settledWaiters;
      m_clockMoved.notify_all();
    }
    m_clockMoved.wait(lock);
  }
  if (ullSeen == m_ullGeneration) --m_settledWaiters;
  --m_waiters;
  m_clockMoved.notify_all();
  return dwResult;
}

void CScriptedMachine::Wake() {
  {
    std::lock_guard lock(m_clockLock);
    ++m_ullWakeCount;
    ++m_ullGeneration;
    m_settledWaiters = 0;
  }
  m_clockMoved.notify_all();
}
