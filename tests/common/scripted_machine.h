// CScriptedMachine: a machine whose processes, tokens, privileges, call
// context, failures, modules and clock the test decides. It installs itself
// for its lifetime and restores the previous machine when destroyed.
//
// The host process (GetCurrentProcess, or OpenProcess of kHostProcessId) runs
// as the local system account, with a scripted integrity level and
// app-container flag, and holds every privilege of the system
// ("SeChangeNotifyPrivilege" enabled, the others disabled) as a Windows token
// does: a removed privilege is gone for good, and adjusting one it does not
// hold succeeds with ERROR_NOT_ALL_ASSIGNED. Client processes are added with
// Process(pid). Any one call can be made to fail (FailCall). SIDs are
// converted and compared by the platform; the handles and memory the machine
// hands out are counted until they are closed or released. The terminal
// session of a client process added with Process(pid) is scripted; other
// process ids are looked up on the machine installed before.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/machine.h"

class CScriptedMachine final : public IMachine {
 public:
  // The calls whose failure a test can script.
  enum class ECall {
    OpenProcess,
    OpenProcessToken,
    GetTokenInformation,
    LookupPrivilegeValueW,
    AdjustTokenPrivileges,
    GetSecurityInfo,
    ConvertSecurityDescriptorToStringSecurityDescriptorW,
    ConvertSidToStringSidW,
    ConvertStringSidToSidW,
    EqualSid,
    EqualPrefixSid,
    LocalAlloc,
    CoGetCallContext,
    SafeArrayAccessData,
    SafeArrayUnaccessData,
  };

  // A client process. Its object's owner is S-1-5-21-1111-2222-3333-1001 and
  // its group S-1-5-21-1111-2222-3333-513.
  struct SProcess {
    std::basic_string<OLECHAR> user = OLESTR("S-1-5-21-1111-2222-3333-1001");
    DWORD dwIntegrityRid = SECURITY_MANDATORY_MEDIUM_RID;
    bool bGone = false;     // exited: it can no longer be opened or looked up
    DWORD dwSessionId = 0;  // its terminal session
  };

  CScriptedMachine();
  ~CScriptedMachine() override;

  // The host process, in session 0.
  DWORD dwIntegrityRid = SECURITY_MANDATORY_MEDIUM_RID;
  DWORD dwIsAppContainer = 0;
  static constexpr DWORD kHostProcessId = 4242;
  // VerifyVersionInfoW answers every test as a Windows before 6.0 would
  // (ERROR_OLD_WIN_VERSION) while set; otherwise the machine before answers.
  bool bEarlierWindows = false;
  // What CoGetCallContext queries for the interface asked for; while null
  // the call fails with RPC_E_CALL_COMPLETE.
  IUnknown* pCallContext = nullptr;

  // The client process of an id, added on first use.
  SProcess& Process(DWORD pid);

  // The occurrence-th call of this kind from now fails with the error (the
  // last error of a call that answers FALSE or null, the result of
  // GetSecurityInfo, the HRESULT of the COM calls).
  void FailCall(ECall eCall, DWORD dwError, unsigned uOccurrence = 1);

  // The attributes of a privilege the host token holds, else 0.
  DWORD PrivilegeAttributes(LPCWSTR pszName);
  // In order: "OpenProcess <pid>"; for a privilege adjustment
  // "AdjustTokenPrivileges <buffer length>", then, unless it fails, one
  // "<name>=<attributes>" per entry ("?" for a LUID that names none).
  std::vector<std::string> Trace() const;

  // The handles not yet closed and the blocks not yet released.
  size_t Unreleased() const;

  // The wall clock (_time64) reads kEpochSeconds plus the whole seconds of
  // the tick count, so it moves with Advance too.
  static constexpr LONGLONG kEpochSeconds = 1800000000;

  // The clock starts at 1000 ms and moves only by Advance, which wakes every
  // waiter whose deadline it reaches. AwaitWaiters blocks until n threads
  // wait on the clock having seen it as the last Advance or Wake left it, so
  // that what a woken thread does is done (false after ten seconds: a
  // deadlock guard).
  void Advance(ULONGLONG ullMs) { MoveClock(ullMs, 0); }
  bool AwaitWaiters(size_t n);

  // Modules load from the platform unless scripted: a provided module has
  // exactly the exports given, a withheld one fails to load with
  // ERROR_MOD_NOT_FOUND. Names match without regard to case. LoadedModules
  // counts loads of provided modules not yet freed.
  void ProvideModule(const std::basic_string<OLECHAR>& name,
                     std::map<std::string, FARPROC> exports) {
    ScriptModule(name, {false, std::move(exports), 0});
  }
  void WithholdModule(const std::basic_string<OLECHAR>& name) { ScriptModule(name, {true, {}, 0}); }
  size_t LoadedModules() const;

  HANDLE GetCurrentProcess() override;
  DWORD GetCurrentProcessId() override { return kHostProcessId; }
  HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) override;
  BOOL OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) override;
  BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, LPVOID pInfo,
                           DWORD dwLength, PDWORD pdwReturnLength) override;
  BOOL CloseHandle(HANDLE hObject) override;
  BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) override;
  BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) override;
  BOOL AdjustTokenPrivileges(HANDLE hToken, BOOL bDisableAllPrivileges, PTOKEN_PRIVILEGES pNewState,
                             DWORD dwBufferLength, PTOKEN_PRIVILEGES pPreviousState,
                             PDWORD pdwReturnLength) override;
  DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE eObjectType,
                        SECURITY_INFORMATION securityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                        PACL* ppDacl, PACL* ppSacl,
                        PSECURITY_DESCRIPTOR* ppSecurityDescriptor) override;
  BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(
      PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision, SECURITY_INFORMATION securityInfo,
      LPWSTR* ppszText, PULONG pulTextLength) override;
  BOOL ConvertSidToStringSidW(PSID pSid, LPWSTR* ppszSid) override;
  BOOL ConvertStringSidToSidW(LPCWSTR pszSid, PSID* ppSid) override;
  BOOL EqualSid(PSID pSid1, PSID pSid2) override;
  BOOL EqualPrefixSid(PSID pSid1, PSID pSid2) override;
  HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override;
  HLOCAL LocalFree(HLOCAL hMem) override;
  HRESULT CoGetCallContext(REFIID riid, void** ppInterface) override;
  HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) override;
  HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) override;
  HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override;
  FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override;
  BOOL FreeLibrary(HMODULE hLibModule) override;
  BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                          ULONGLONG dwlConditionMask) override;
  ULONGLONG GetTickCount64() override;
  LONGLONG _time64(LONGLONG* pTime) override;
  ULONGLONG GetWakeCount() override;
  DWORD WaitForTick(ULONGLONG ullDeadline, ULONGLONG ullWakeCount) override;
  void Wake() override { MoveClock(0, 1); }

 private:
  struct SHandle {
    bool bToken;
    DWORD dwProcessId;  // the host's id for the host process and token
    ACCESS_MASK access;
  };
  struct SModule {
    bool bWithheld = false;
    std::map<std::string, FARPROC> exports;
    size_t loads = 0;
  };

  // The scripted error (also set as the last error) when this call is
  // scripted to fail.
  std::optional<DWORD> Failing(ECall eCall);
  HANDLE NewHandle(const SHandle& handle);
  // The process (its pseudo-handle included) or token behind a handle, as
  // asked; null for anything else.
  const SHandle* HandleOf(HANDLE h, bool bToken) const;
  template <class T>
  T* Track(T* p) {
    if (p != nullptr) m_allocations.insert(p);
    return p;
  }
  SModule* ModuleOf(HMODULE hModule);
  void ScriptModule(const std::basic_string<OLECHAR>& name, SModule module);
  // Every move is a new generation, which no waiter has seen yet.
  void MoveClock(ULONGLONG ullMs, ULONGLONG ullWakes);

  IMachine* m_pPrevious = nullptr;
  mutable std::recursive_mutex m_lock;
  std::map<DWORD, SProcess> m_processes;
  std::map<HANDLE, SHandle> m_handles;
  uintptr_t m_nextHandle = 0x5000;
  std::set<void*> m_allocations;
  std::map<ECall, unsigned> m_calls;
  std::map<ECall, std::map<unsigned, DWORD>> m_failures;  // occurrence -> error
  std::map<DWORD, DWORD> m_privileges;                    // LUID -> attributes
  std::vector<std::string> m_trace;
  std::map<std::basic_string<OLECHAR>, SModule> m_modules;  // by lower-case name

  std::mutex m_clockLock;
  std::condition_variable m_clockMoved;
  ULONGLONG m_ullTick = 1000;
  ULONGLONG m_ullWakeCount = 0;
  ULONGLONG m_ullGeneration = 1;  // moves with every Advance and Wake
  size_t m_waiters = 0;
  size_t m_settledWaiters = 0;
  bool m_bRetired = false;  // being destroyed: every wait returns
};
