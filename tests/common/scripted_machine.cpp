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

// The host runs as the local system account.
const OLECHAR kHostSid[] = OLESTR("S-1-5-18");

// The LUIDs of the system's privileges run from 2 to 36; 23 is
// "SeChangeNotifyPrivilege".
constexpr DWORD kFirstPrivilege = 2;
constexpr DWORD kLastPrivilege = 36;
constexpr DWORD kChangeNotify = 23;

// A SID's bytes from its text; empty for a text that is no SID.
std::vector<BYTE> SidBytes(const std::basic_string<OLECHAR>& text) {
  PSID pSid = nullptr;
  if (!::ConvertStringSidToSidW(text.c_str(), &pSid)) return {};
  const BYTE* p = static_cast<const BYTE*>(pSid);
  std::vector<BYTE> bytes(p, p + ::GetLengthSid(pSid));
  ::LocalFree(pSid);
  return bytes;
}

// The answer to a token information class holding one SID after a fixed
// structure whose first member points to it.
std::vector<BYTE> SidAnswer(size_t cbFixed, const std::vector<BYTE>& sid) {
  std::vector<BYTE> answer(cbFixed, 0);
  answer.insert(answer.end(), sid.begin(), sid.end());
  return answer;
}

}  // namespace

CScriptedMachine::CScriptedMachine() : m_pPrevious(MachineSeam().Install(this)) {
  for (DWORD luid = kFirstPrivilege; luid <= kLastPrivilege; ++luid) m_privileges[luid] = 0;
  m_privileges[kChangeNotify] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
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
  for (;;) {
    if (m_ullWakeCount != ullWakeCount || m_bRetired) break;
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

namespace {

std::basic_string<OLECHAR> LowerCase(const OLECHAR* psz) {
  std::basic_string<OLECHAR> lower(psz);
  for (OLECHAR& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<OLECHAR>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

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

CScriptedMachine::SModule* CScriptedMachine::ModuleOf(LPCWSTR pszName) {
  auto it = m_modules.find(LowerCase(pszName));
  return it == m_modules.end() ? nullptr : &it->second;
}

// A provided module's handle is its entry in the table, which stays put.
HMODULE CScriptedMachine::LoadLibraryW(LPCWSTR lpLibFileName) {
  std::lock_guard lock(m_lock);
  SModule* pModule = lpLibFileName != nullptr ? ModuleOf(lpLibFileName) : nullptr;
  if (pModule == nullptr) return ::LoadLibraryW(lpLibFileName);
  if (pModule->bWithheld) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++pModule->loads;
  return reinterpret_cast<HMODULE>(pModule);
}

FARPROC CScriptedMachine::GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::lock_guard lock(m_lock);
  for (auto& entry : m_modules) {
    if (reinterpret_cast<HMODULE>(&entry.second) != hModule) continue;
    if (entry.second.loads == 0) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    const bool bOrdinal = reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF;
    auto it = bOrdinal ? entry.second.exports.end() : entry.second.exports.find(lpProcName);
    if (it == entry.second.exports.end()) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return it->second;
  }
  return ::GetProcAddress(hModule, lpProcName);
}

BOOL CScriptedMachine::FreeLibrary(HMODULE hLibModule) {
  std::lock_guard lock(m_lock);
  for (auto& entry : m_modules) {
    if (reinterpret_cast<HMODULE>(&entry.second) != hLibModule) continue;
    if (entry.second.loads == 0) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    --entry.second.loads;
    return TRUE;
  }
  return ::FreeLibrary(hLibModule);
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
  const unsigned occurrence = ++m_calls[eCall];
  auto& failures = m_failures[eCall];
  auto it = failures.find(occurrence);
  if (it == failures.end()) return false;
  const DWORD error = it->second;
  failures.erase(it);
  SetLastError(error);
  if (pdwError != nullptr) *pdwError = error;
  return true;
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

void* CScriptedMachine::Track(void* p) {
  if (p != nullptr) m_allocations.insert(p);
  return p;
}

DWORD CScriptedMachine::PrivilegeAttributes(LPCWSTR pszName) {
  std::lock_guard lock(m_lock);
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, pszName, &luid)) return kNotHeld;
  m_privilegeNames[luid.LowPart] = pszName;
  auto it = m_privileges.find(luid.LowPart);
  return it == m_privileges.end() ? kNotHeld : it->second;
}

void CScriptedMachine::SetPrivilege(LPCWSTR pszName, DWORD dwAttributes) {
  std::lock_guard lock(m_lock);
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, pszName, &luid)) return;
  m_privilegeNames[luid.LowPart] = pszName;
  if (dwAttributes == kNotHeld) {
    m_privileges.erase(luid.LowPart);
  } else {
    m_privileges[luid.LowPart] = dwAttributes;
  }
}

std::vector<BYTE> CScriptedMachine::LastPrivilegeRequest() const {
  std::lock_guard lock(m_lock);
  return m_lastRequest;
}

DWORD CScriptedMachine::LastPrivilegeRequestLength() const {
  std::lock_guard lock(m_lock);
  return m_lastRequestLength;
}

std::vector<std::string> CScriptedMachine::Trace() const {
  std::lock_guard lock(m_lock);
  return m_trace;
}

void CScriptedMachine::ClearTrace() {
  std::lock_guard lock(m_lock);
  m_trace.clear();
}

size_t CScriptedMachine::OpenHandles() const {
  std::lock_guard lock(m_lock);
  return m_handles.size();
}

size_t CScriptedMachine::OutstandingAllocations() const {
  std::lock_guard lock(m_lock);
  return m_allocations.size();
}

HANDLE CScriptedMachine::GetCurrentProcess() { return kScriptedProcess; }

DWORD CScriptedMachine::GetCurrentProcessId() { return dwProcessId; }

HANDLE CScriptedMachine::OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwPid) {
  std::lock_guard lock(m_lock);
  m_trace.push_back("OpenProcess " + std::to_string(dwPid));
  if (Failing(ECall::OpenProcess)) return nullptr;
  if (dwPid != dwProcessId) {
    auto it = m_processes.find(dwPid);
    if (it == m_processes.end() || it->second.bGone) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  return NewHandle(SHandle{false, dwPid, dwDesiredAccess});
}

BOOL CScriptedMachine::OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) {
  std::lock_guard lock(m_lock);
  if (bFailOpenProcessToken) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Failing(ECall::OpenProcessToken)) return FALSE;
  if (phToken == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  DWORD pid = dwProcessId;
  if (hProcess != kScriptedProcess) {
    const SHandle* pHandle = HandleOf(hProcess);
    if (pHandle == nullptr || pHandle->bToken) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    pid = pHandle->dwProcessId;
  }
  *phToken = NewHandle(SHandle{true, pid, dwDesiredAccess});
  return TRUE;
}

BOOL CScriptedMachine::GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass,
                                           LPVOID pInfo, DWORD dwLength, PDWORD pdwReturnLength) {
  std::lock_guard lock(m_lock);
  const SHandle* pHandle = HandleOf(hToken);
  if (pHandle == nullptr || !pHandle->bToken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (bFailGetTokenInformation) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Failing(ECall::GetTokenInformation)) return FALSE;

  const bool bHost = pHandle->dwProcessId == dwProcessId;
  const SProcess* pProcess = bHost ? nullptr : &m_processes[pHandle->dwProcessId];
  // The answer, with the offset of the SID its first member points to.
  std::vector<BYTE> answer;
  size_t sidOffset = 0;
  switch (eClass) {
    case TokenIntegrityLevel: {
      const DWORD rid = bHost ? dwIntegrityRid : pProcess->dwIntegrityRid;
      const BYTE sid[12] = {1,
                            1,
                            0,
                            0,
                            0,
                            0,
                            0,
                            16,
                            static_cast<BYTE>(rid & 0xFF),
                            static_cast<BYTE>((rid >> 8) & 0xFF),
                            0,
                            0};
      answer = SidAnswer(sizeof(TOKEN_MANDATORY_LABEL), std::vector<BYTE>(sid, sid + 12));
      const DWORD attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
      std::memcpy(answer.data() + offsetof(SID_AND_ATTRIBUTES, Attributes), &attributes,
                  sizeof attributes);
      sidOffset = sizeof(TOKEN_MANDATORY_LABEL);
      break;
    }
    case TokenUser:
      answer = SidAnswer(sizeof(TOKEN_USER), SidBytes(bHost ? kHostSid : pProcess->user));
      sidOffset = sizeof(TOKEN_USER);
      break;
    case TokenIsAppContainer: {
      const DWORD flag = bHost ? dwIsAppContainer : 0;
      answer.resize(sizeof flag);
      std::memcpy(answer.data(), &flag, sizeof flag);
      break;
    }
    default:
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
  if (hObject == kScriptedProcess) return TRUE;
  if (m_handles.erase(hObject) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL CScriptedMachine::ProcessIdToSessionId(DWORD dwPid, DWORD* pSessionId) {
  std::lock_guard lock(m_lock);
  m_trace.push_back("ProcessIdToSessionId " + std::to_string(dwPid));
  if (Failing(ECall::ProcessIdToSessionId)) return FALSE;
  DWORD dwSessionId = dwHostSessionId;
  if (dwPid != dwProcessId) {
    auto it = m_processes.find(dwPid);
    if (it == m_processes.end() || it->second.bGone) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    dwSessionId = it->second.dwSessionId;
  }
  *pSessionId = dwSessionId;
  return TRUE;
}

BOOL CScriptedMachine::LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::LookupPrivilegeValueW)) return FALSE;
  if (!::LookupPrivilegeValueW(lpSystemName, lpName, lpLuid)) return FALSE;
  m_privilegeNames[lpLuid->LowPart] = lpName;
  return TRUE;
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
  if (bDisableAllPrivileges || pPreviousState != nullptr || pdwReturnLength != nullptr ||
      pNewState == nullptr) {
    // The system asks for none of these.
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD count = 0;
  std::memcpy(&count, pNewState, sizeof count);
  const auto* pBytes = reinterpret_cast<const BYTE*>(pNewState);
  m_lastRequest.assign(pBytes, pBytes + sizeof(DWORD) + count * sizeof(LUID_AND_ATTRIBUTES));
  m_lastRequestLength = dwBufferLength;
  if (Failing(ECall::AdjustTokenPrivileges)) return FALSE;

  bool bNotAll = false;
  for (DWORD i = 0; i < count; ++i) {
    LUID_AND_ATTRIBUTES entry;
    std::memcpy(&entry, pBytes + sizeof(DWORD) + i * sizeof entry, sizeof entry);
    auto name = m_privilegeNames.find(entry.Luid.LowPart);
    std::string line;
    if (name == m_privilegeNames.end() || entry.Luid.HighPart != 0) {
      line = "?";
    } else {
      for (OLECHAR c : name->second) line.push_back(static_cast<char>(c));
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
  std::vector<BYTE> owner = SidBytes(kHostSid);
  std::vector<BYTE> group = owner;
  if (pHandle != nullptr && pHandle->dwProcessId != dwProcessId) {
    const SProcess& process = m_processes[pHandle->dwProcessId];
    owner = SidBytes(process.owner);
    group = SidBytes(process.group);
  }

  // Self-relative: the header, then the parts asked for.
  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE;
  std::vector<BYTE> body;
  auto append = [&body](const std::vector<BYTE>& part) {
    const auto offset = static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + body.size());
    body.insert(body.end(), part.begin(), part.end());
    return offset;
  };
  if ((securityInfo & OWNER_SECURITY_INFORMATION) != 0) header.Owner = append(owner);
  if ((securityInfo & GROUP_SECURITY_INFORMATION) != 0) header.Group = append(group);
  if ((securityInfo & DACL_SECURITY_INFORMATION) != 0) {
    // Full access for the owner.
    ACL acl{};
    acl.AclRevision = ACL_REVISION;
    acl.AceCount = 1;
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace.Header.AceSize = static_cast<WORD>(offsetof(ACCESS_ALLOWED_ACE, SidStart) + owner.size());
    ace.Mask = PROCESS_ALL_ACCESS;
    acl.AclSize = static_cast<WORD>(sizeof acl + ace.Header.AceSize);
    std::vector<BYTE> dacl(reinterpret_cast<BYTE*>(&acl),
                           reinterpret_cast<BYTE*>(&acl) + sizeof acl);
    dacl.insert(dacl.end(), reinterpret_cast<BYTE*>(&ace),
                reinterpret_cast<BYTE*>(&ace) + offsetof(ACCESS_ALLOWED_ACE, SidStart));
    dacl.insert(dacl.end(), owner.begin(), owner.end());
    header.Dacl = append(dacl);
    header.Control |= SE_DACL_PRESENT;
  }
  auto* pSd = static_cast<BYTE*>(Track(::LocalAlloc(LMEM_FIXED, sizeof header + body.size())));
  if (pSd == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(pSd, &header, sizeof header);
  if (!body.empty()) std::memcpy(pSd + sizeof header, body.data(), body.size());
  auto at = [pSd](DWORD offset) -> BYTE* { return offset != 0 ? pSd + offset : nullptr; };
  if (ppsidOwner != nullptr) *ppsidOwner = at(header.Owner);
  if (ppsidGroup != nullptr) *ppsidGroup = at(header.Group);
  if (ppDacl != nullptr) *ppDacl = reinterpret_cast<PACL>(at(header.Dacl));
  if (ppSacl != nullptr) *ppSacl = nullptr;
  *ppSecurityDescriptor = pSd;
  return ERROR_SUCCESS;
}

BOOL CScriptedMachine::ConvertSecurityDescriptorToStringSecurityDescriptorW(
    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision, SECURITY_INFORMATION securityInfo,
    LPWSTR* ppszText, PULONG pulTextLength) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::ConvertSecurityDescriptorToStringSecurityDescriptorW)) return FALSE;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          pSecurityDescriptor, dwRevision, securityInfo, ppszText, pulTextLength)) {
    return FALSE;
  }
  Track(*ppszText);
  return TRUE;
}

BOOL CScriptedMachine::ConvertSidToStringSidW(PSID pSid, LPWSTR* ppszSid) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::ConvertSidToStringSidW)) return FALSE;
  if (!::ConvertSidToStringSidW(pSid, ppszSid)) return FALSE;
  Track(*ppszSid);
  return TRUE;
}

BOOL CScriptedMachine::ConvertStringSidToSidW(LPCWSTR pszSid, PSID* ppSid) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::ConvertStringSidToSidW)) return FALSE;
  if (!::ConvertStringSidToSidW(pszSid, ppSid)) return FALSE;
  Track(*ppSid);
  return TRUE;
}

BOOL CScriptedMachine::EqualSid(PSID pSid1, PSID pSid2) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::EqualSid)) return FALSE;
  // An answer that is no failure leaves no error behind, on every platform.
  SetLastError(ERROR_SUCCESS);
  return ::EqualSid(pSid1, pSid2);
}

BOOL CScriptedMachine::EqualPrefixSid(PSID pSid1, PSID pSid2) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::EqualPrefixSid)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return ::EqualPrefixSid(pSid1, pSid2);
}

HLOCAL CScriptedMachine::LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::LocalAlloc)) return nullptr;
  return Track(::LocalAlloc(uFlags, uBytes));
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
  m_trace.push_back("CoGetCallContext");
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
