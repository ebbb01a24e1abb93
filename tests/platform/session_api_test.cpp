// Conformance of the terminal-session calls: the session of a process, the
// enumeration of the sessions and their information, the session-event
// wait with its flush wake-up, and the module that exports them.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <cstring>
#include <string>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

// The DWORD answer of one information class of a session.
bool QueryNumber(DWORD dwSessionId, WTS_INFO_CLASS eClass, DWORD* pValue, DWORD* pcb) {
  LPWSTR pBuffer = nullptr;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwSessionId, eClass, &pBuffer, pcb)) {
    return false;
  }
  *pValue = 0;
  std::memcpy(pValue, pBuffer, *pcb < sizeof(DWORD) ? *pcb : sizeof(DWORD));
  WTSFreeMemory(pBuffer);
  return true;
}

TEST(SessionTest, SessionOfTheCurrentProcess) {
  DWORD dwSessionId = 0xFFFF;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &dwSessionId)) << GetLastError();
  DWORD dwQueried = 0;
  DWORD cb = 0;
  const bool bQueried = QueryNumber(WTS_CURRENT_SESSION, WTSSessionId, &dwQueried, &cb);
  EXPECT_TRUE(bQueried || WINE_DIFFERS(!bQueried, "Wine does not answer the session id"));
  if (bQueried) {
    EXPECT_EQ(cb, sizeof(DWORD));
    EXPECT_EQ(dwQueried, dwSessionId);
  }
  if (kNativeLayer) {
    // Without logind every process is outside the terminal sessions, and
    // a root process is in the services' session.
    EXPECT_EQ(dwSessionId, 0u);
  }
}

TEST(SessionTest, NoSessionForWhatIsNoProcess) {
  DWORD dwSessionId = 0;
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(0x7FFFFFFC, &dwSessionId)),
            DWORD{ERROR_INVALID_PARAMETER});
}

TEST(SessionTest, EnumerationOfTheSessions) {
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0xFFFF;
  ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count));
  EXPECT_TRUE(pInfo != nullptr ||
              WINE_DIFFERS(pInfo == nullptr && count == 0, "Wine lists no sessions"));
  for (DWORD i = 0; i < count && pInfo != nullptr; ++i) {
    EXPECT_LE(static_cast<int>(pInfo[i].State), static_cast<int>(WTSInit));
    ASSERT_NE(pInfo[i].pWinStationName, nullptr);
  }
  if (kNativeLayer) {
    EXPECT_EQ(count, 0u) << "logind does not run on this machine";
  }
  WTSFreeMemory(pInfo);

  PWTS_SESSION_INFOW pOther = nullptr;
  const DWORD badVersion =
      FAILURE_OF(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 2, &pOther, &count));
  EXPECT_TRUE(badVersion == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(badVersion == kSucceeded, "Wine accepts any version"));
  if (badVersion == kSucceeded) WTSFreeMemory(pOther);
}

TEST(SessionTest, InformationOfTheCurrentSession) {
  DWORD dwValue = 0;
  DWORD cb = 0;
  ASSERT_TRUE(QueryNumber(WTS_CURRENT_SESSION, WTSClientProtocolType, &dwValue, &cb));
  EXPECT_EQ(cb, sizeof(USHORT));
  EXPECT_LE(dwValue, DWORD{WTS_PROTOCOL_TYPE_RDP});
  const bool bState = QueryNumber(WTS_CURRENT_SESSION, WTSConnectState, &dwValue, &cb);
  EXPECT_TRUE(bState || WINE_DIFFERS(!bState, "Wine does not answer the connect state"));
  if (bState) {
    EXPECT_EQ(cb, sizeof(DWORD));
    EXPECT_LE(dwValue, DWORD{WTSInit});
  }

  LPWSTR pszName = nullptr;
  const bool bName = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                 WTSWinStationName, &pszName, &cb) != FALSE;
  EXPECT_TRUE(bName || WINE_DIFFERS(!bName, "Wine does not answer the WinStation name"));
  if (bName) {
    EXPECT_EQ(cb, (std::char_traits<WCHAR>::length(pszName) + 1) * sizeof(WCHAR));
    WTSFreeMemory(pszName);
  }
}

// The wait returns at once, with no events, when the process flushes the
// pending waits.
TEST(SessionTest, FlushWakesThePendingWait) {
  struct SWait {
    BOOL bResult = FALSE;
    DWORD dwFlags = 0xFFFF;
    DWORD dwError = 0;
  } wait;
  CScopedHandle waiter(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pWait = static_cast<SWait*>(p);
        pWait->bResult = WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, 0xFB, &pWait->dwFlags);
        pWait->dwError = GetLastError();
        return 0;
      },
      &wait));
  ASSERT_NE(waiter.Get(), nullptr);
  // The waiter may not wait yet when a flush comes: flush until it ends.
  while (WaitForSingleObject(waiter.Get(), 20) == WAIT_TIMEOUT) {
    DWORD dwFlushFlags = 0xFFFF;
    EXPECT_TRUE(WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwFlushFlags));
  }
  EXPECT_TRUE(wait.bResult || WINE_DIFFERS(!wait.bResult, "Wine has no session-event wait"))
      << wait.dwError;
  if (wait.bResult) {
    EXPECT_EQ(wait.dwFlags, DWORD{WTS_EVENT_NONE});
  }
}

// The terminal-services module exports what the session monitor takes
// from it.
TEST(SessionTest, ModuleExportsTheEntryPoints) {
  HMODULE hModule = LoadLibraryW(OLESTR("Wtsapi32.dll"));
  ASSERT_NE(hModule, nullptr);
  for (const char* pszName : {"WTSQuerySessionInformationW", "WTSWaitSystemEvent",
                              "WTSQueryUserToken", "WTSFreeMemory", "WTSEnumerateSessionsW"}) {
    EXPECT_NE(GetProcAddress(hModule, pszName), nullptr) << pszName;
  }
  using PFN = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
  // Through void (*)(void), the type that stands for any function pointer.
  auto pfnEnumerate = reinterpret_cast<PFN>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(hModule, "WTSEnumerateSessionsW")));
  ASSERT_NE(pfnEnumerate, nullptr);
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0;
  EXPECT_TRUE(pfnEnumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count));
  WTSFreeMemory(pInfo);
  EXPECT_TRUE(FreeLibrary(hModule));
}

// Only a caller holding "SeTcbPrivilege" enabled may take a session user's
// token.
TEST(SessionTest, UserTokenNeedsTheTcbPrivilege) {
  CScopedHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Put()));
  TOKEN_PRIVILEGES disable{};
  disable.PrivilegeCount = 1;
  disable.Privileges[0].Luid.LowPart = 7;  // SeTcbPrivilege
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &disable, 0, nullptr, nullptr));

  HANDLE hUserToken = nullptr;
  const DWORD error = FAILURE_OF(WTSQueryUserToken(0, &hUserToken));
  EXPECT_TRUE(error == ERROR_PRIVILEGE_NOT_HELD ||
              WINE_DIFFERS(error == kSucceeded, "Wine hands out its own token unchecked"));
  if (error == kSucceeded) CloseHandle(hUserToken);
  EXPECT_EQ(FAILURE_OF(WTSQueryUserToken(0, nullptr)), DWORD{ERROR_INVALID_PARAMETER});
}

}  // namespace
