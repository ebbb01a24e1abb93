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

// The session of this process is the current session; natively, without
// logind, a root process is in the services' session 0. The numbers and
// texts have their Windows widths; what is no process has no session.
TEST(SessionTest, CurrentSessionAndItsInformation) {
  DWORD dwSessionId = 0xFFFF;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &dwSessionId)) << GetLastError();
  EXPECT_TRUE(!kNativeLayer || dwSessionId == 0u);
  DWORD dwUnused = 0;
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(0x7FFFFFFC, &dwUnused)),
            DWORD{ERROR_INVALID_PARAMETER});
  struct SRow {
    WTS_INFO_CLASS eClass;
    DWORD cb;  // 0: text
    DWORD dwMax;
    const char* pszWineDiffers;
  };
  const SRow rows[] = {
      {WTSSessionId, sizeof(DWORD), dwSessionId, "Wine does not answer the session id"},
      {WTSClientProtocolType, sizeof(USHORT), WTS_PROTOCOL_TYPE_RDP, nullptr},
      {WTSConnectState, sizeof(DWORD), WTSInit, "Wine does not answer the connect state"},
      {WTSWinStationName, 0, 0, "Wine does not answer the WinStation name"},
  };
  for (const SRow& row : rows) {
    LPWSTR p = nullptr;
    DWORD cb = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, row.eClass, &p,
                                     &cb)) {
      EXPECT_TRUE(WINE_DIFFERS(row.pszWineDiffers != nullptr, row.pszWineDiffers)) << row.eClass;
      continue;
    }
    DWORD value = 0;
    std::memcpy(&value, p, cb < sizeof value ? cb : sizeof value);
    EXPECT_EQ(cb, row.cb != 0 ? row.cb : (std::char_traits<WCHAR>::length(p) + 1) * sizeof(WCHAR));
    EXPECT_TRUE(row.cb == 0 ||
                (row.eClass == WTSSessionId ? value == row.dwMax : value <= row.dwMax));
    WTSFreeMemory(p);
  }
}

// Natively no session is listed (logind does not run here); a version
// other than 1 is refused.
TEST(SessionTest, EnumerationOfTheSessions) {
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0xFFFF;
  ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count));
  EXPECT_TRUE(pInfo != nullptr || WINE_DIFFERS(count == 0, "Wine lists no sessions"));
  for (DWORD i = 0; i < count && pInfo != nullptr; ++i) {
    EXPECT_LE(static_cast<int>(pInfo[i].State), static_cast<int>(WTSInit));
    EXPECT_NE(pInfo[i].pWinStationName, nullptr);
  }
  EXPECT_TRUE(!kNativeLayer || count == 0);
  WTSFreeMemory(pInfo);
  PWTS_SESSION_INFOW pOther = nullptr;
  const DWORD badVersion =
      FAILURE_OF(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 2, &pOther, &count));
  EXPECT_TRUE(badVersion == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(badVersion == kSucceeded, "Wine accepts any version"));
  if (badVersion == kSucceeded) WTSFreeMemory(pOther);
}

// A pending wait ends, with no events, when the process flushes the waits.
TEST(SessionTest, FlushWakesThePendingWait) {
  struct SWait {
    BOOL bResult = FALSE;
    DWORD dwFlags = 0xFFFF;
  } wait;
  CScopedHandle waiter(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pWait = static_cast<SWait*>(p);
        pWait->bResult = WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, 0xFB, &pWait->dwFlags);
        return 0;
      },
      &wait));
  ASSERT_NE(waiter.Get(), nullptr);
  // The waiter may not wait yet when a flush comes: flush until it ends.
  while (WaitForSingleObject(waiter.Get(), 20) == WAIT_TIMEOUT) {
    DWORD dwFlushFlags = 0xFFFF;
    EXPECT_TRUE(WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwFlushFlags));
  }
  EXPECT_TRUE(wait.bResult || WINE_DIFFERS(!wait.bResult, "Wine has no session-event wait"));
  EXPECT_TRUE(!wait.bResult || wait.dwFlags == WTS_EVENT_NONE);
}

// The module exports what the session monitor takes from it; only a caller
// holding SeTcbPrivilege enabled may take a session user's token.
TEST(SessionTest, ModuleExportsAndUserTokenNeedsTheTcbPrivilege) {
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
