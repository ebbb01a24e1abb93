// Caller security on the real machine of each build: natively the Linux
// layer, on Windows (under Wine) the Windows calls themselves. The test
// process judges itself: it is not at low integrity, so without a call
// context it is not trusted, and with one installed whose chain holds the
// owner of its process object it is; an id of no process cannot be judged.
// An interface method turns each outcome into its result and its line.

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

// The text of the SID; the block that holds it is released.
OleString TextOf(PSID pSid, HLOCAL hBlock) {
  LPWSTR psz = nullptr;
  const OleString text = ConvertSidToStringSidW(pSid, &psz) ? psz : OLESTR("(none)");
  LocalFree(psz);
  LocalFree(hBlock);
  return text;
}

// The owner of this process's object, and the user of its token.
OleString OwnerOfThisProcess() {
  PSID pOwner = nullptr;
  PSECURITY_DESCRIPTOR pSd = nullptr;
  GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                  nullptr, nullptr, nullptr, &pSd);
  return TextOf(pOwner, pSd);
}

OleString UserOfThisProcess() {
  HANDLE hToken = nullptr;
  BYTE buffer[256];
  DWORD cb = 0;
  const BOOL bRead = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) &&
                     GetTokenInformation(hToken, TokenUser, buffer, sizeof buffer, &cb);
  CloseHandle(hToken);
  return TextOf(bRead ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : nullptr, nullptr);
}

// An id above every process id of either system (Linux's pid_max is at
// most 2^22; Windows ids, multiples of 4, stay far below).
constexpr DWORD kNoProcess = 0x7FFFFFF0;

TEST(CallerOnTheRealMachine, TrustOfThisProcess) {
  CRecordingLogSink sink;
  const DWORD pid = GetCurrentProcessId();
  BOOL bTrusted = FALSE;
  EXPECT_EQ(CheckClientCaller(pid, &bTrusted), RPC_E_CALL_COMPLETE) << "no call context";
  EXPECT_FALSE(bTrusted);
  const auto method = [&] {
    return CheckClientCallerForMethod(CALLER_CHECK_MESSAGES("CAuthStore::GetPIN"), pid);
  };
  EXPECT_EQ(method(), RPC_E_CALL_COMPLETE);
  EXPECT_EQ(CheckClientCaller(kNoProcess, &bTrusted), E_ACCESSDENIED);
  EXPECT_EQ(CheckClientCaller(0, &bTrusted), E_ACCESSDENIED);

  CScriptedCallContext context;
  context.callers = {CScriptedCallContext::Caller(OLESTR("S-1-5-32-545")),
                     CScriptedCallContext::Caller(OwnerOfThisProcess().c_str())};
  // Installed for this thread's call as a host serving a call does, then
  // the previous context put back.
  IUnknown* pPrevious = nullptr;
  ASSERT_EQ(CoSwitchCallContext(&context, &pPrevious), S_OK);
  EXPECT_EQ(CheckClientCaller(pid, &bTrusted), S_OK) << sink.Dump();
  EXPECT_TRUE(bTrusted);
  EXPECT_EQ(method(), S_OK);
  context.bSecurityEnabled = VARIANT_FALSE;
  EXPECT_EQ(method(), E_ACCESSDENIED);
  // An interface method logs the outcome of its check at the outcome's level.
  const OleString kMethodLine = OLESTR("CAuthStore::GetPIN CheckClientCaller ");
  EXPECT_TRUE(sink.ContainsFormat(LOG_FAILURE, kMethodLine + OLESTR("failed")) &&
              sink.ContainsFormat(LOG_DETAIL, kMethodLine + OLESTR("trust succeeded")) &&
              sink.ContainsFormat(LOG_NOTABLE, kMethodLine + OLESTR("trust failed")))
      << sink.Dump();
  IUnknown* pOurs = nullptr;
  EXPECT_EQ(CoSwitchCallContext(pPrevious, &pOurs), S_OK);
  EXPECT_EQ(context.Outstanding(), 0);
}

TEST(CallerOnTheRealMachine, UserSidAndAnUnknownPrivilege) {
  CRecordingLogSink sink;
  secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(GetCurrentProcessId(), sSid), S_OK);
  EXPECT_EQ(OleString(sSid), UserOfThisProcess());
  const LPCWSTR unknown[] = {OLESTR("SeNoSuchPrivilege")};
  EXPECT_EQ(ModifyPrivs(unknown, 1, PRIVILEGE_DISABLE), S_OK);
  EXPECT_TRUE(sink.Contains(
      LOG_DETAIL,
      OLESTR("ModifyPrivs The specified privilege does not exist : SeNoSuchPrivilege")));
}

}  // namespace
