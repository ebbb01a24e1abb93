// Conformance of the terminal-session calls: the session of a process, and
// the enumeration of the sessions and their information. (That the module
// exports what the session monitor takes, the monitor's start on the real
// calls shows.)

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

// Natively, without logind, a root process is in the services' session 0.
// The numbers have their Windows widths; what is no process has no
// session.
TEST(SessionTest, CurrentSessionAndItsInformation) {
  DWORD dwSessionId = 0xFFFF;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &dwSessionId)) << GetLastError();
  EXPECT_TRUE(!kNativeLayer || dwSessionId == 0u);
  DWORD dwUnused = 0;
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(0x7FFFFFFC, &dwUnused)),
            DWORD{ERROR_INVALID_PARAMETER});
  struct SRow {
    WTS_INFO_CLASS eClass;
    DWORD cb;
    const char* pszWineDiffers;
  };
  const SRow rows[] = {
      {WTSSessionId, sizeof(DWORD), "Wine does not answer the session id"},
      {WTSClientProtocolType, sizeof(USHORT), nullptr},
  };
  for (const SRow& row : rows) {
    LPWSTR p = nullptr;
    DWORD cb = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, row.eClass, &p,
                                     &cb)) {
      EXPECT_TRUE(WINE_DIFFERS(row.pszWineDiffers != nullptr, row.pszWineDiffers)) << row.eClass;
      continue;
    }
    EXPECT_EQ(cb, row.cb);
    WTSFreeMemory(p);
  }
}

// Natively the sessions are logind's records, which other tests on this
// machine create and remove meanwhile: only the call's shape is checked.
TEST(SessionTest, EnumerationOfTheSessions) {
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0xFFFF;
  ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count));
  EXPECT_TRUE(pInfo != nullptr || WINE_DIFFERS(count == 0, "Wine lists no sessions"));
  WTSFreeMemory(pInfo);
}

}  // namespace
