// Conformance of the terminal-session calls: the session of a process, the
// enumeration of the sessions and their information, and the module that
// exports them.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <string>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

// Natively, without logind, a root process is in the services' session 0.
// The numbers and texts have their Windows widths; what is no process has
// no session.
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
    const char* pszWineDiffers;
  };
  const SRow rows[] = {
      {WTSSessionId, sizeof(DWORD), "Wine does not answer the session id"},
      {WTSClientProtocolType, sizeof(USHORT), nullptr},
      {WTSConnectState, sizeof(DWORD), "Wine does not answer the connect state"},
      {WTSWinStationName, 0, "Wine does not answer the WinStation name"},
  };
  for (const SRow& row : rows) {
    LPWSTR p = nullptr;
    DWORD cb = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, row.eClass, &p,
                                     &cb)) {
      EXPECT_TRUE(WINE_DIFFERS(row.pszWineDiffers != nullptr, row.pszWineDiffers)) << row.eClass;
      continue;
    }
    EXPECT_EQ(cb, row.cb != 0 ? row.cb : (std::char_traits<WCHAR>::length(p) + 1) * sizeof(WCHAR));
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
  EXPECT_TRUE(!kNativeLayer || count == 0);
  WTSFreeMemory(pInfo);
  PWTS_SESSION_INFOW pOther = nullptr;
  const DWORD badVersion =
      FAILURE_OF(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 2, &pOther, &count));
  EXPECT_TRUE(badVersion == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(badVersion == kSucceeded, "Wine accepts any version"));
  if (badVersion == kSucceeded) WTSFreeMemory(pOther);
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
