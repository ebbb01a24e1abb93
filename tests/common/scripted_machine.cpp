#include "common/scripted_machine.h"

#include <objbase.h>
#include <sddl.h>

#include <chrono>
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

// Sets the last error and answers what the call answers on failure.
template <class R>
R Fail(DWORD dwError, R failed) {
  SetLastError(dwError);
  return failed;
}

// A SID's bytes from its text; empty for a text that is no SID.
std::vector<BYTE> SidBytes(const std::basic_string<OLECHAR>& text) {
  PSID pSid = nullptr;
  if (!::ConvertStringSidToSidW(text.c_str(), &pSid)) return {};
  const BYTE* p = static_cast<const BYTE*>(pSid);
  std::vector<BYTE> bytes(p, p + ::GetLengthSid(pSid));
  ::LocalFree(pSid);
  return bytes;
}

template <class T>
std::vector<BYTE> BytesOf(const T& value) {
  const auto* p = reinterpret_cast<const BYTE*>(&value);
  return std::vector<BYTE>(p, p + sizeof value);
}

std::basic_string<OLECHAR> LowerCase(std::basic_string<OLECHAR> text) {
  for (OLECHAR& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<OLECHAR>(c - 'A' + 'a') : c;
  return text;
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

std::optional<DWORD> CScriptedMachine::Failing(ECall eCall) {
  auto& failures = m_failures[eCall];
  auto failure = failures.extract(++m_calls[eCall]);
  if (failure.empty()) return std::nullopt;
  SetLastError(failure.mapped());
  return failure.mapped();
}

HANDLE CScriptedMachine::NewHandle(const SHandle& handle) {
  m_nextHandle += 4;
  return m_handles.emplace(reinterpret_cast<HANDLE>(m_nextHandle - 4), handle).first->first;
}

const CScriptedMachine::SHandle* CScriptedMachine::HandleOf(HANDLE h, bool bToken) const {
  static const SHandle kHost{false, kHostProcessId, PROCESS_ALL_ACCESS};
  if (h == kScriptedProcess) return bToken ? nullptr : &kHost;
  auto it = m_handles.find(h);
  return it == m_handles.end() || it->second.bToken != bToken ? nullptr : &it->second;
}

DWORD CScriptedMachine::PrivilegeAttributes(LPCWSTR pszName) {
  std::lock_guard lock(m_lock);
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, pszName, &luid)) return 0;
  return m_privileges.count(luid.LowPart) != 0 ? m_privileges.at(luid.LowPart) : 0;
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
  const bool bLive = dwPid == kHostProcessId || (it != m_processes.end() && !it->second.bGone);
  if (!bLive) return Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
  return NewHandle(SHandle{false, dwPid, dwDesiredAccess});
}

BOOL CScriptedMachine::OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) {
  std::lock_guard lock(m_lock);
  if (Failing(ECall::OpenProcessToken)) return FALSE;
  const SHandle* pProcess = HandleOf(hProcess, false);
  if (phToken == nullptr) return Fail(ERROR_NOACCESS, FALSE);
  if (pProcess == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  *phToken = NewHandle(SHandle{true, pProcess->dwProcessId, dwDesiredAccess});
  return TRUE;
}

// The answer is built whole, then copied when it fits; the first member of
// the label and user classes points to where the SID follows the structure.
BOOL CScriptedMachine::GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass,
                                           LPVOID pInfo, DWORD dwLength, PDWORD pdwReturnLength) {
  std::lock_guard lock(m_lock);
  const SHandle* pToken = HandleOf(hToken, true);
  if (pToken == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (Failing(ECall::GetTokenInformation)) return FALSE;
  const bool bHost = pToken->dwProcessId == kHostProcessId;
  const SProcess process =
      bHost ? SProcess{kHostSid, dwIntegrityRid} : m_processes[pToken->dwProcessId];
  const bool bSid = eClass == TokenIntegrityLevel || eClass == TokenUser;
  if (!bSid && eClass != TokenIsAppContainer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::vector<BYTE> answer = BytesOf(DWORD{bHost ? dwIsAppContainer : 0});
  if (bSid) {
    static_assert(sizeof(TOKEN_MANDATORY_LABEL) == sizeof(TOKEN_USER));
    const DWORD attributes =
        eClass == TokenUser ? 0 : SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    std::basic_string<OLECHAR> label = OLESTR("S-1-16-");
    for (char c : std::to_string(process.dwIntegrityRid)) label += static_cast<OLECHAR>(c);
    const std::vector<BYTE> sid = SidBytes(eClass == TokenUser ? process.user : label);
    const auto pSid =
        reinterpret_cast<PSID>(reinterpret_cast<uintptr_t>(pInfo) + sizeof(TOKEN_USER));
    answer = BytesOf(TOKEN_USER{{pSid, attributes}});
    answer.insert(answer.end(), sid.begin(), sid.end());
  }
  if (pdwReturnLength != nullptr) *pdwReturnLength = static_cast<DWORD>(answer.size());
  if (pInfo == nullptr || dwLength < answer.size()) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(pInfo, answer.data(), answer.size());
  return TRUE;
}

BOOL CScriptedMachine::CloseHandle(HANDLE hObject) {
  std::lock_guard lock(m_lock);
  if (hObject == kScriptedProcess || m_handles.erase(hObject) != 0) return TRUE;
  return Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL CScriptedMachine::ProcessIdToSessionId(DWORD dwPid, DWORD* pSessionId) {
  std::lock_guard lock(m_lock);
  auto it = m_processes.find(dwPid);
  if (it == m_processes.end()) return m_pPrevious->ProcessIdToSessionId(dwPid, pSessionId);
  if (it->second.bGone) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *pSessionId = it->second.dwSessionId;
  return TRUE;
}

BOOL CScriptedMachine::AdjustTokenPrivileges(HANDLE hToken, BOOL bDisableAllPrivileges,
                                             PTOKEN_PRIVILEGES pNewState, DWORD dwBufferLength,
                                             PTOKEN_PRIVILEGES pPreviousState,
                                             PDWORD pdwReturnLength) {
  std::lock_guard lock(m_lock);
  const SHandle* pToken = HandleOf(hToken, true);
  if (pToken == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((pToken->access & TOKEN_ADJUST_PRIVILEGES) == 0 || pToken->dwProcessId != kHostProcessId) {
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  // The system asks for none of these.
  if (bDisableAllPrivileges || pPreviousState || pdwReturnLength || pNewState == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  m_trace.push_back("AdjustTokenPrivileges " + std::to_string(dwBufferLength));
  if (Failing(ECall::AdjustTokenPrivileges)) return FALSE;

  const auto* pBytes = reinterpret_cast<const BYTE*>(pNewState);
  bool bNotAll = false;
  for (DWORD i = 0; i < pNewState->PrivilegeCount; ++i) {
    LUID_AND_ATTRIBUTES entry;
    std::memcpy(&entry, pBytes + sizeof(DWORD) + i * sizeof entry, sizeof entry);
    WCHAR szName[64];
    DWORD cchName = 64;
    const bool bNamed = ::LookupPrivilegeNameW(nullptr, &entry.Luid, szName, &cchName);
    m_trace.push_back((bNamed ? std::string(szName, szName + cchName) : "?") + "=" +
                      std::to_string(entry.Attributes));
    auto held = m_privileges.find(entry.Luid.LowPart);
    if (entry.Luid.HighPart != 0 || held == m_privileges.end())
      bNotAll = true;
    else if ((entry.Attributes & SE_PRIVILEGE_REMOVED) != 0)
      m_privileges.erase(held);
    else
      held->second =
          (held->second & ~DWORD{SE_PRIVILEGE_ENABLED}) | (entry.Attributes & SE_PRIVILEGE_ENABLED);
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
  if (auto error = Failing(ECall::GetSecurityInfo)) return *error;
  const SHandle* pProcess = HandleOf(handle, false);
  if (eObjectType != SE_KERNEL_OBJECT || ppSecurityDescriptor == nullptr || pProcess == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, DWORD{ERROR_INVALID_PARAMETER});
  }
  const bool bClient = pProcess->dwProcessId != kHostProcessId;
  SECURITY_DESCRIPTOR_RELATIVE header{
      SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
  std::vector<BYTE> sd(sizeof header);
  auto append = [&](SECURITY_INFORMATION asked, const OLECHAR* pszSid) -> DWORD {
    if ((securityInfo & asked) == 0) return 0;
    const std::vector<BYTE> sid = SidBytes(pszSid);
    sd.insert(sd.end(), sid.begin(), sid.end());
    return static_cast<DWORD>(sd.size() - sid.size());
  };
  header.Owner = append(OWNER_SECURITY_INFORMATION, bClient ? kClientOwner : kHostSid);
  header.Group = append(GROUP_SECURITY_INFORMATION, bClient ? kClientGroup : kHostSid);
  std::memcpy(sd.data(), &header, sizeof header);
  auto* pSd = Track(static_cast<BYTE*>(::LocalAlloc(LMEM_FIXED, sd.size())));
  if (pSd == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(pSd, sd.data(), sd.size());
  auto at = [pSd](DWORD offset) -> PSID { return offset != 0 ? pSd + offset : nullptr; };
  if (ppsidOwner != nullptr) *ppsidOwner = at(header.Owner);
  if (ppsidGroup != nullptr) *ppsidGroup = at(header.Group);
  if (ppDacl != nullptr) *ppDacl = nullptr;
  if (ppSacl != nullptr) *ppSacl = nullptr;
  *ppSecurityDescriptor = pSd;
  return ERROR_SUCCESS;
}

// The calls answered by the platform unless scripted to fail; what they
// allocate is tracked. An answer that is no failure leaves no error behind,
// on every platform.
#define KELMYR_SCRIPTED(R, name, params, ...)                          \
  R CScriptedMachine::name params {                                    \
    std::lock_guard lock(m_lock);                                      \
    return Failing(ECall::name) ? R() : static_cast<R>((__VA_ARGS__)); \
  }
KELMYR_SCRIPTED(BOOL, LookupPrivilegeValueW, (LPCWSTR a, LPCWSTR b, PLUID c),
                ::LookupPrivilegeValueW(a, b, c))
KELMYR_SCRIPTED(BOOL, ConvertSecurityDescriptorToStringSecurityDescriptorW,
                (PSECURITY_DESCRIPTOR a, DWORD b, SECURITY_INFORMATION c, LPWSTR* d, PULONG e),
                ::ConvertSecurityDescriptorToStringSecurityDescriptorW(a, b, c, d, e) && Track(*d))
KELMYR_SCRIPTED(BOOL, ConvertSidToStringSidW, (PSID a, LPWSTR* b),
                ::ConvertSidToStringSidW(a, b) && Track(*b))
KELMYR_SCRIPTED(BOOL, ConvertStringSidToSidW, (LPCWSTR a, PSID* b),
                ::ConvertStringSidToSidW(a, b) && Track(*b))
KELMYR_SCRIPTED(BOOL, EqualSid, (PSID a, PSID b), SetLastError(ERROR_SUCCESS), ::EqualSid(a, b))
KELMYR_SCRIPTED(BOOL, EqualPrefixSid, (PSID a, PSID b), SetLastError(ERROR_SUCCESS),
                ::EqualPrefixSid(a, b))
KELMYR_SCRIPTED(HLOCAL, LocalAlloc, (UINT a, SIZE_T b), Track(::LocalAlloc(a, b)))
#undef KELMYR_SCRIPTED

// Memory the machine did not hand out is not released (and the call fails
// as Windows fails it), so that a double release shows as a failure and not
// as a crash.
HLOCAL CScriptedMachine::LocalFree(HLOCAL hMem) {
  std::lock_guard lock(m_lock);
  if (hMem != nullptr && m_allocations.erase(hMem) == 0) return Fail(ERROR_INVALID_HANDLE, hMem);
  return hMem == nullptr ? nullptr : ::LocalFree(hMem);
}

HRESULT CScriptedMachine::CoGetCallContext(REFIID riid, void** ppInterface) {
  std::lock_guard lock(m_lock);
  if (auto error = Failing(ECall::CoGetCallContext)) return static_cast<HRESULT>(*error);
  if (ppInterface == nullptr) return E_INVALIDARG;
  *ppInterface = nullptr;
  if (pCallContext == nullptr) return RPC_E_CALL_COMPLETE;
  return pCallContext->QueryInterface(riid, ppInterface);
}

HRESULT CScriptedMachine::SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  std::lock_guard lock(m_lock);
  if (auto error = Failing(ECall::SafeArrayAccessData)) return static_cast<HRESULT>(*error);
  return ::SafeArrayAccessData(psa, ppvData);
}

// A scripted unlock failure still unlocks, so that the array can be
// destroyed afterwards: the failure is in the answer only.
HRESULT CScriptedMachine::SafeArrayUnaccessData(SAFEARRAY* psa) {
  std::lock_guard lock(m_lock);
  const auto error = Failing(ECall::SafeArrayUnaccessData);
  const HRESULT hr = ::SafeArrayUnaccessData(psa);
  return error ? static_cast<HRESULT>(*error) : hr;
}

void CScriptedMachine::ScriptModule(const std::basic_string<OLECHAR>& name, SModule module) {
  std::lock_guard lock(m_lock);
  m_modules[LowerCase(name)] = std::move(module);
}

size_t CScriptedMachine::LoadedModules() const {
  std::lock_guard lock(m_lock);
  size_t loads = 0;
  for (const auto& entry : m_modules) loads += entry.second.loads;
  return loads;
}

// A provided module's handle is its entry in the table, which stays put.
CScriptedMachine::SModule* CScriptedMachine::ModuleOf(HMODULE hModule) {
  for (auto& entry : m_modules)
    if (reinterpret_cast<HMODULE>(&entry.second) == hModule) return &entry.second;
  return nullptr;
}

HMODULE CScriptedMachine::LoadLibraryW(LPCWSTR lpLibFileName) {
  std::lock_guard lock(m_lock);
  auto it = lpLibFileName ? m_modules.find(LowerCase(lpLibFileName)) : m_modules.end();
  if (it == m_modules.end()) return ::LoadLibraryW(lpLibFileName);
  if (it->second.bWithheld) return Fail(ERROR_MOD_NOT_FOUND, HMODULE{nullptr});
  ++it->second.loads;
  return reinterpret_cast<HMODULE>(&it->second);
}

FARPROC CScriptedMachine::GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::lock_guard lock(m_lock);
  SModule* pModule = ModuleOf(hModule);
  if (pModule == nullptr) return ::GetProcAddress(hModule, lpProcName);
  if (pModule->loads == 0) return Fail(ERROR_MOD_NOT_FOUND, FARPROC{nullptr});
  const bool bOrdinal = reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF;
  auto it = bOrdinal ? pModule->exports.end() : pModule->exports.find(lpProcName);
  return it == pModule->exports.end() ? Fail(ERROR_PROC_NOT_FOUND, FARPROC{nullptr}) : it->second;
}

BOOL CScriptedMachine::FreeLibrary(HMODULE hLibModule) {
  std::lock_guard lock(m_lock);
  SModule* pModule = ModuleOf(hLibModule);
  if (pModule == nullptr) return ::FreeLibrary(hLibModule);
  if (pModule->loads == 0) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
  --pModule->loads;
  return TRUE;
}

void CScriptedMachine::MoveClock(ULONGLONG ullMs, ULONGLONG ullWakes) {
  {
    std::lock_guard lock(m_clockLock);
    m_ullTick += ullMs;
    m_ullWakeCount += ullWakes;
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
  auto waiting = [&] { return m_ullWakeCount == ullWakeCount && !m_bRetired; };
  while (waiting() && (ullDeadline == kNoDeadline || m_ullTick < ullDeadline)) {
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
  return waiting() ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}
