#include "platform/machine.h"

#include <objbase.h>
#include <sddl.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/no_destructor.h"

namespace {

static_assert(sizeof(time_t) == sizeof(LONGLONG), "the wall clock is 64 bits wide");

// CRealMachine forwards every call to the platform.
class CRealMachine final : public IMachine {
 public:
  HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
  DWORD GetCurrentProcessId() override { return ::GetCurrentProcessId(); }
  HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) override {
    return ::OpenProcess(dwDesiredAccess, bInheritHandle, dwProcessId);
  }
  BOOL OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) override {
    return ::OpenProcessToken(hProcess, dwDesiredAccess, phToken);
  }
  BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, LPVOID pInfo,
                           DWORD dwLength, PDWORD pdwReturnLength) override {
    return ::GetTokenInformation(hToken, eClass, pInfo, dwLength, pdwReturnLength);
  }
  BOOL CloseHandle(HANDLE hObject) override { return ::CloseHandle(hObject); }
  BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) override {
    return ::ProcessIdToSessionId(dwProcessId, pSessionId);
  }

  BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) override {
    return ::LookupPrivilegeValueW(lpSystemName, lpName, lpLuid);
  }
  BOOL AdjustTokenPrivileges(HANDLE hToken, BOOL bDisableAllPrivileges, PTOKEN_PRIVILEGES pNewState,
                             DWORD dwBufferLength, PTOKEN_PRIVILEGES pPreviousState,
                             PDWORD pdwReturnLength) override {
    return ::AdjustTokenPrivileges(hToken, bDisableAllPrivileges, pNewState, dwBufferLength,
                                   pPreviousState, pdwReturnLength);
  }

  DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE eObjectType,
                        SECURITY_INFORMATION securityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                        PACL* ppDacl, PACL* ppSacl,
                        PSECURITY_DESCRIPTOR* ppSecurityDescriptor) override {
    return ::GetSecurityInfo(handle, eObjectType, securityInfo, ppsidOwner, ppsidGroup, ppDacl,
                             ppSacl, ppSecurityDescriptor);
  }
  BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(
      PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision, SECURITY_INFORMATION securityInfo,
      LPWSTR* ppszText, PULONG pulTextLength) override {
    return ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        pSecurityDescriptor, dwRevision, securityInfo, ppszText, pulTextLength);
  }
  BOOL ConvertSidToStringSidW(PSID pSid, LPWSTR* ppszSid) override {
    return ::ConvertSidToStringSidW(pSid, ppszSid);
  }
  BOOL ConvertStringSidToSidW(LPCWSTR pszSid, PSID* ppSid) override {
    return ::ConvertStringSidToSidW(pszSid, ppSid);
  }
  BOOL EqualSid(PSID pSid1, PSID pSid2) override { return ::EqualSid(pSid1, pSid2); }
  BOOL EqualPrefixSid(PSID pSid1, PSID pSid2) override { return ::EqualPrefixSid(pSid1, pSid2); }

  HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) override { return ::LocalAlloc(uFlags, uBytes); }
  HLOCAL LocalFree(HLOCAL hMem) override { return ::LocalFree(hMem); }

  HRESULT CoGetCallContext(REFIID riid, void** ppInterface) override {
    return ::CoGetCallContext(riid, ppInterface);
  }
  HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) override {
    return ::SafeArrayAccessData(psa, ppvData);
  }
  HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) override { return ::SafeArrayUnaccessData(psa); }

  HMODULE LoadLibraryW(LPCWSTR lpLibFileName) override { return ::LoadLibraryW(lpLibFileName); }
  FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) override {
    return ::GetProcAddress(hModule, lpProcName);
  }
  BOOL FreeLibrary(HMODULE hLibModule) override { return ::FreeLibrary(hLibModule); }

  BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                          ULONGLONG dwlConditionMask) override {
    return ::VerifyVersionInfoW(lpVersionInformation, dwTypeMask, dwlConditionMask);
  }

  ULONGLONG GetTickCount64() override { return ::GetTickCount64(); }
  LONGLONG _time64(LONGLONG* pTime) override {
    const LONGLONG now = static_cast<LONGLONG>(::time(nullptr));
    if (pTime != nullptr) *pTime = now;
    return now;
  }

  ULONGLONG GetWakeCount() override {
    std::lock_guard lock(m_waitLock);
    return m_ullWakeCount;
  }

  // The condition variable's own clock only paces the wait; the tick count
  // decides when the deadline is reached. Long waits go in slices, so that a
  // far deadline never overflows the wait's duration.
  DWORD WaitForTick(ULONGLONG ullDeadline, ULONGLONG ullWakeCount) override {
    constexpr ULONGLONG kSliceMs = 60 * 60 * 1000;
    std::unique_lock lock(m_waitLock);
    for (;;) {
      if (m_ullWakeCount != ullWakeCount) return WAIT_OBJECT_0;
      const ULONGLONG now = ::GetTickCount64();
      if (ullDeadline != kNoDeadline && now >= ullDeadline) return WAIT_TIMEOUT;
      const ULONGLONG ms =
          ullDeadline == kNoDeadline ? kSliceMs : std::min(ullDeadline - now, kSliceMs);
      m_woken.wait_for(lock, std::chrono::milliseconds(ms));
    }
  }

  void Wake() override {
    {
      std::lock_guard lock(m_waitLock);
      ++m_ullWakeCount;
    }
    m_woken.notify_all();
  }

 private:
  std::mutex m_waitLock;
  std::condition_variable m_woken;
  ULONGLONG m_ullWakeCount = 0;
};

}  // namespace

// The real machine and its seam are never destroyed: the timer and monitor
// threads may still reach them while the process exits.
TSeam<IMachine>& MachineSeam() noexcept {
  static TNoDestructor<CRealMachine> real;
  static TNoDestructor<TSeam<IMachine>> seam(*real);
  return *seam;
}

IMachine& Machine() noexcept { return MachineSeam().Get(); }
