// Caller security on the real machine of each build: natively the Linux
// layer, on Windows (under Wine) the Windows calls themselves. The test
// process judges itself: it is not at low integrity, so without a call
// context it is not trusted, and with one whose caller owns its process
// object it is.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <sddl.h>

#include <string>

#include "common/recording_log_sink.h"
#include "common/scripted_call_context.h"
#include "security/checkclient.h"
#include "security/privileges.h"
#include "security/processidentity.h"

namespace {

using ZU::Framework::secwstring;

// The text of a SID of the current process: its token's user, or the owner
// of its process object.
std::basic_string<OLECHAR> TextOf(PSID pSid) {
  LPWSTR psz = nullptr;
  if (!ConvertSidToStringSidW(pSid, &psz)) return OLESTR("(none)");
  std::basic_string<OLECHAR> text(psz);
  LocalFree(psz);
  return text;
}

std::basic_string<OLECHAR> OwnerOfThisProcess() {
  PSID pOwner = nullptr;
  PSECURITY_DESCRIPTOR pSd = nullptr;
  if (GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                      nullptr, nullptr, nullptr, &pSd) != ERROR_SUCCESS) {
    return OLESTR("(none)");
  }
  std::basic_string<OLECHAR> text = TextOf(pOwner);
  LocalFree(pSd);
  return text;
}

TEST(CallerOnTheRealMachine, WithoutCallContextNoOrdinaryProcessIsTrusted) {
  BOOL bTrusted = FALSE;
  EXPECT_EQ(CheckClientCaller(GetCurrentProcessId(), &bTrusted), RPC_E_CALL_COMPLETE);
  EXPECT_FALSE(bTrusted);
}

TEST(CallerOnTheRealMachine, OwnerInTheInstalledCallChainIsTrusted) {
  CRecordingLogSink sink;
  CScriptedCallContext context;
  context.callers = {CScriptedCallContext::Caller(OLESTR("S-1-5-32-545")),
                     CScriptedCallContext::Caller(OwnerOfThisProcess().c_str())};
  {
    CInstalledCallContext installed(&context);
    ASSERT_EQ(installed.Result(), S_OK);
    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(GetCurrentProcessId(), &bTrusted), S_OK) << sink.Dump();
    EXPECT_TRUE(bTrusted);
    EXPECT_EQ(CheckClientCallerForMethod(OLESTR("CAuthStore::GetPIN"), GetCurrentProcessId()),
              S_OK);

    context.bSecurityEnabled = VARIANT_FALSE;
    EXPECT_EQ(CheckClientCallerForMethod(OLESTR("CAuthStore::GetPIN"), GetCurrentProcessId()),
              E_ACCESSDENIED);
  }
  EXPECT_EQ(context.Outstanding(), 0);
}

TEST(CallerOnTheRealMachine, UserSidOfThisProcess) {
  HANDLE hToken = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken));
  BYTE buffer[256];
  DWORD cb = 0;
  const BOOL bRead = GetTokenInformation(hToken, TokenUser, buffer, sizeof buffer, &cb);
  CloseHandle(hToken);
  ASSERT_TRUE(bRead);
  secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(GetCurrentProcessId(), sSid), S_OK);
  EXPECT_EQ(std::basic_string<OLECHAR>(sSid),
            TextOf(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
}

TEST(CallerOnTheRealMachine, DebugPrivilegeAroundOneCall) {
  CRecordingLogSink sink;
  {
    CDebugPrivilegeScope debug;
    EXPECT_EQ(debug.Enable(), S_OK) << sink.Dump();
    EXPECT_EQ(debug.Disable(), S_OK) << sink.Dump();
  }
  const LPCWSTR unknown[] = {OLESTR("SeNoSuchPrivilege")};
  EXPECT_EQ(ModifyPrivs(unknown, 1, PRIVILEGE_DISABLE), S_OK);
  EXPECT_TRUE(sink.Contains(
      LOG_DETAIL,
      OLESTR("ModifyPrivs The specified privilege does not exist : SeNoSuchPrivilege")));
}

}  // namespace
