// The caller trust check on the scripted machine: every row of its decision
// table, the failures inside the caller loop, the answer an interface
// method makes of each outcome, and the invariants of every path (the
// privilege disabled again, everything obtained released).

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "security/checkclient.h"

namespace {

using ECall = CScriptedMachine::ECall;
using OleString = std::basic_string<OLECHAR>;

constexpr DWORD kClient = 1234;  // 0x4d2
const OLECHAR kOwner[] = OLESTR("S-1-5-21-1111-2222-3333-1001");
const OLECHAR kSameDomain[] = OLESTR("S-1-5-21-1111-2222-3333-2002");
const OLECHAR kMethod[] = OLESTR("CDataStore::SetData");

struct SOutcome {
  HRESULT hr = S_OK;
  BOOL bTrusted = FALSE;
  HRESULT hrMethod = S_OK;  // what the interface method makes of it
};

// One scripted machine and call context with a medium-integrity client
// whose owner is kOwner, a caller chain that does not match it, and the
// log recorded.
class CheckClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine.Process(kClient);
    machine.pCallContext = &context;
    context.callers.push_back(CScriptedCallContext::Caller(OLESTR("S-1-5-32-545")));
  }

  // Every path releases what it obtained and leaves the privilege
  // disabled, unless disabling it was what failed.
  void TearDown() override {
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
    EXPECT_EQ(context.Outstanding(), 0);
    if (bExpectDebugDisabled) {
      EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED, 0u);
    }
  }

  // Runs the check, then the method's check with the same script armed
  // again.
  SOutcome Run(const std::function<void()>& arm = [] {}) {
    SOutcome outcome;
    arm();
    outcome.hr = CheckClientCaller(kClient, &outcome.bTrusted);
    arm();
    outcome.hrMethod = CheckClientCallerForMethod(kMethod, kClient);
    return outcome;
  }

  bool Logged(LONG lLevel, const OleString& text) const { return sink.Contains(lLevel, text); }

  CRecordingLogSink sink;
  CScriptedMachine machine;
  CScriptedCallContext context;
  bool bExpectDebugDisabled = true;
};

// A row of the decision table that ends the check with a failure: the
// HRESULT, the flag left 0, the method reporting the same HRESULT, and the
// line that names the failing step.
struct SFailureRow {
  const char* pszStep;
  std::function<void(CScriptedMachine&, CScriptedCallContext&)> arm;
  HRESULT hr;
  const OLECHAR* pszLine;
};

TEST_F(CheckClientTest, EachFailingRowEndsTheCheckWithItsResult) {
  const std::vector<SFailureRow> rows = {
      {"3 client process cannot be opened",
       [](CScriptedMachine& m, CScriptedCallContext&) { m.Process(kClient).bGone = true; },
       E_ACCESSDENIED, OLESTR("CheckClientCaller OpenProcess(0x4d2) failed with error code 0x57")},
      // ModifyPrivs opens the host's token twice (enable, disable) before
      // the check opens the client's.
      {"4 token cannot be opened",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::OpenProcessToken, ERROR_ACCESS_DENIED, 3);
       },
       E_ACCESSDENIED, OLESTR("CheckClientCaller OpenProcessToken failed with error code 0x5")},
      {"5 size query fails otherwise than too small",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::GetTokenInformation, ERROR_INVALID_HANDLE, 1);
       },
       E_ACCESSDENIED, OLESTR("CheckClientCaller GetTokenInformation failed with error code 0x6")},
      // The two requests of ModifyPrivs come first.
      {"6 integrity buffer cannot be allocated",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 3);
       },
       E_OUTOFMEMORY, OLESTR("CheckClientCaller malloc failed with error code 0x8")},
      {"7 integrity level cannot be read",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::GetTokenInformation, ERROR_ACCESS_DENIED, 2);
       },
       E_ACCESSDENIED, OLESTR("CheckClientCaller GetTokenInformation failed with error code 0x5")},
      {"8 low-integrity SID cannot be built",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::ConvertStringSidToSidW, ERROR_NOT_ENOUGH_MEMORY, 1);
       },
       E_FAIL, OLESTR("CheckClientCaller ConvertStringSidToSid failed with error 0x8")},
      // ModifyPrivs reads the host's descriptor twice first.
      {"10 owner and group cannot be read",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::GetSecurityInfo, ERROR_ACCESS_DENIED, 3);
       },
       E_ACCESSDENIED, OLESTR("CheckClientCaller GetSecurityInfo failed with error 0x5")},
      {"11 owner SID has no text",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 1);
       },
       E_FAIL, OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
      {"11 group SID has no text",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 2);
       },
       E_FAIL, OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
      {"12 no COM+ call context",
       [](CScriptedMachine& m, CScriptedCallContext&) { m.pCallContext = nullptr; },
       RPC_E_CALL_COMPLETE, OLESTR("CheckClientCaller CoGetCallContext failed")},
      {"12 call context cannot be obtained",
       [](CScriptedMachine& m, CScriptedCallContext&) {
         m.FailCall(ECall::CoGetCallContext, static_cast<DWORD>(E_NOINTERFACE), 1);
       },
       E_NOINTERFACE, OLESTR("CheckClientCaller CoGetCallContext failed")},
      {"13 IsSecurityEnabled fails",
       [](CScriptedMachine&, CScriptedCallContext& c) { c.hrIsSecurityEnabled = E_UNEXPECTED; },
       E_UNEXPECTED, OLESTR("CheckClientCaller IsSecurityEnabled failed")},
      {"15 NumCallers cannot be read",
       [](CScriptedMachine&, CScriptedCallContext& c) { c.hrNumCallers = DISP_E_MEMBERNOTFOUND; },
       DISP_E_MEMBERNOTFOUND, OLESTR("CheckClientCaller get_Item (NumCallers) failed")},
      {"16 Callers cannot be read",
       [](CScriptedMachine&, CScriptedCallContext& c) { c.hrCallers = E_OUTOFMEMORY; },
       E_OUTOFMEMORY, OLESTR("CheckClientCaller get_Item (Callers) failed")},
      {"17 Callers object is no callers collection",
       [](CScriptedMachine&, CScriptedCallContext& c) {
         c.eCallers = CScriptedCallContext::ECallers::kWithoutCollection;
       },
       E_NOINTERFACE, OLESTR("CheckClientCaller QueryInterface failed")},
      {"18 callers' count cannot be read",
       [](CScriptedMachine&, CScriptedCallContext& c) { c.hrCount = DISP_E_EXCEPTION; },
       DISP_E_EXCEPTION, OLESTR("CheckClientCaller get_Count failed")},
  };
  for (const SFailureRow& row : rows) {
    SCOPED_TRACE(row.pszStep);
    CRecordingLogSink rowSink;
    CScriptedMachine rowMachine;
    CScriptedCallContext rowContext;
    rowMachine.Process(kClient);
    rowMachine.pCallContext = &rowContext;
    rowContext.callers.push_back(CScriptedCallContext::Caller(kOwner));

    row.arm(rowMachine, rowContext);
    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), row.hr);
    EXPECT_FALSE(bTrusted);
    EXPECT_TRUE(rowSink.Contains(LOG_FAILURE, row.pszLine)) << rowSink.Dump();
    row.arm(rowMachine, rowContext);
    EXPECT_EQ(CheckClientCallerForMethod(kMethod, kClient), row.hr);
    EXPECT_TRUE(
        rowSink.Contains(LOG_FAILURE, OLESTR("CDataStore::SetData CheckClientCaller failed")));

    EXPECT_EQ(rowMachine.OpenHandles(), 0u);
    EXPECT_EQ(rowMachine.OutstandingAllocations(), 0u);
    EXPECT_EQ(rowContext.Outstanding(), 0);
    EXPECT_EQ(rowMachine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED,
              0u);
  }
}

// Rows that are answers, not failures: S_OK with the flag 0, which the
// method turns into E_ACCESSDENIED.
struct SAnswerRow {
  const char* pszStep;
  std::function<void(CScriptedCallContext&)> arm;
  const OLECHAR* pszLine;  // null when the row logs nothing of its own
};

TEST_F(CheckClientTest, UntrustingAnswersAreSuccessWithTheFlagClear) {
  const std::vector<SAnswerRow> rows = {
      {"14 security is off", [](CScriptedCallContext& c) { c.bSecurityEnabled = VARIANT_FALSE; },
       OLESTR("CheckClientCaller IsSecurityEnabled failed")},
      {"17 Callers holds no object",
       [](CScriptedCallContext& c) { c.eCallers = CScriptedCallContext::ECallers::kEmpty; },
       OLESTR("CheckClientCaller (IUnknown *) failed")},
      {"17 the query answers no collection",
       [](CScriptedCallContext& c) { c.eCallers = CScriptedCallContext::ECallers::kNullFromQuery; },
       OLESTR("CheckClientCaller QueryInterface failed")},
      {"19 no callers", [](CScriptedCallContext& c) { c.callers.clear(); }, nullptr},
      {"19 a negative count",
       [](CScriptedCallContext& c) {
         c.bCountOverride = true;
         c.lCount = -3;
       },
       nullptr},
      {"21 no caller matches",
       [](CScriptedCallContext& c) {
         // Another authority, another domain part, another number of
         // sub-authorities.
         c.callers = {CScriptedCallContext::Caller(OLESTR("S-1-16-1111-2222-3333-1001")),
                      CScriptedCallContext::Caller(OLESTR("S-1-5-21-1111-2222-4444-1001")),
                      CScriptedCallContext::Caller(OLESTR("S-1-5-21-1111-2222-3333-1001-7"))};
       },
       OLESTR("CheckClientCaller EqualprefixSid failed error = 0")},
  };
  for (const SAnswerRow& row : rows) {
    SCOPED_TRACE(row.pszStep);
    CRecordingLogSink rowSink;
    CScriptedMachine rowMachine;
    CScriptedCallContext rowContext;
    rowMachine.Process(kClient);
    rowMachine.pCallContext = &rowContext;
    rowContext.callers.push_back(CScriptedCallContext::Caller(OLESTR("S-1-5-32-545")));
    row.arm(rowContext);

    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), S_OK);
    EXPECT_FALSE(bTrusted);
    if (row.pszLine != nullptr) {
      EXPECT_TRUE(rowSink.Contains(LOG_FAILURE, row.pszLine)) << rowSink.Dump();
    }
    EXPECT_TRUE(rowSink.Contains(
        LOG_NOTABLE, OLESTR("CheckClientCaller dwClientProcessId = 1234, bTrusted = 0, hr = 0x0")));
    EXPECT_EQ(CheckClientCallerForMethod(kMethod, kClient), E_ACCESSDENIED);
    EXPECT_TRUE(rowSink.Contains(LOG_NOTABLE,
                                 OLESTR("CDataStore::SetData CheckClientCaller trust failed")));
    EXPECT_EQ(rowContext.Outstanding(), 0);
    EXPECT_EQ(rowMachine.OpenHandles(), 0u);
    EXPECT_EQ(rowMachine.OutstandingAllocations(), 0u);
  }
}

TEST_F(CheckClientTest, EnablingTheDebugPrivilegeFailsFirst) {
  const SOutcome outcome =
      Run([this] { machine.FailCall(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 1); });
  EXPECT_EQ(outcome.hr, E_FAIL);
  EXPECT_FALSE(outcome.bTrusted);
  EXPECT_EQ(outcome.hrMethod, E_FAIL);
  EXPECT_TRUE(Logged(LOG_FAILURE, OLESTR("CheckClientCaller ModifyPrivs failed")));
  for (const std::string& line : machine.Trace()) {
    EXPECT_NE(line, "OpenProcess 1234") << "the client is not opened";
  }
}

// The one path that leaves the privilege enabled: its disabling failed. The
// process handle already obtained is closed.
TEST_F(CheckClientTest, DisablingTheDebugPrivilegeFails) {
  const SOutcome outcome =
      Run([this] { machine.FailCall(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 2); });
  EXPECT_EQ(outcome.hr, E_FAIL);
  EXPECT_FALSE(outcome.bTrusted);
  EXPECT_EQ(outcome.hrMethod, E_FAIL);
  EXPECT_TRUE(Logged(LOG_FAILURE, OLESTR("CheckClientCaller ModifyPrivs failed")));
  EXPECT_NE(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED, 0u);
  bExpectDebugDisabled = false;
}

// Enabled for the opening only, and disabled again before its result is
// looked at, even when the opening fails.
TEST_F(CheckClientTest, DebugPrivilegeIsHeldAroundTheOpeningOnly) {
  for (bool bGone : {false, true}) {
    machine.Process(kClient).bGone = bGone;
    machine.ClearTrace();
    BOOL bTrusted = FALSE;
    CheckClientCaller(kClient, &bTrusted);
    const std::vector<std::string> trace = machine.Trace();
    std::vector<std::string> privilegeAndOpen;
    for (const std::string& line : trace) {
      if (line.rfind("SeDebugPrivilege=", 0) == 0 || line == "OpenProcess 1234") {
        privilegeAndOpen.push_back(line);
      }
    }
    EXPECT_EQ(privilegeAndOpen, (std::vector<std::string>{"SeDebugPrivilege=2", "OpenProcess 1234",
                                                          "SeDebugPrivilege=0"}));
  }
}

TEST_F(CheckClientTest, LowIntegrityIsTrustedWithoutACallContext) {
  machine.Process(kClient).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
  machine.pCallContext = nullptr;
  const SOutcome outcome = Run();
  EXPECT_EQ(outcome.hr, S_OK);
  EXPECT_TRUE(outcome.bTrusted);
  EXPECT_EQ(outcome.hrMethod, S_OK);
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller Low Integrity Level")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CDataStore::SetData CheckClientCaller trust succeeded")));
  for (const std::string& line : machine.Trace()) {
    EXPECT_NE(line, "CoGetCallContext");
  }
  EXPECT_EQ(machine.Calls(ECall::GetSecurityInfo), 4u) << "only ModifyPrivs read descriptors";
}

TEST_F(CheckClientTest, OtherIntegrityLevelsAreNotTrustedByTheirLevel) {
  for (DWORD rid : {SECURITY_MANDATORY_UNTRUSTED_RID, SECURITY_MANDATORY_MEDIUM_RID,
                    SECURITY_MANDATORY_HIGH_RID, SECURITY_MANDATORY_SYSTEM_RID}) {
    machine.Process(kClient).dwIntegrityRid = rid;
    context.bSecurityEnabled = VARIANT_FALSE;
    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), S_OK) << rid;
    EXPECT_FALSE(bTrusted) << rid;
  }
}

TEST_F(CheckClientTest, TheProcessOwnerInTheCallChainIsTrusted) {
  context.callers.push_back(CScriptedCallContext::Caller(kOwner));
  const SOutcome outcome = Run();
  EXPECT_EQ(outcome.hr, S_OK);
  EXPECT_TRUE(outcome.bTrusted);
  EXPECT_EQ(outcome.hrMethod, S_OK);
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller ConvertSidToStringSid strSidOwner = "
                                        "S-1-5-21-1111-2222-3333-1001")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller ConvertSidToStringSid strSidGroup = "
                                        "S-1-5-21-1111-2222-3333-513")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller ConvertSidToStringSid strSidCom = "
                                        "S-1-5-21-1111-2222-3333-1001")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller SID trusted")));
  EXPECT_TRUE(Logged(LOG_NOTABLE,
                     OLESTR("CheckClientCaller dwClientProcessId = 1234, bTrusted = 1, hr = 0x0")));
  EXPECT_EQ(context.SidsRead(), (std::vector<LONG>{0, 1, 0, 1}))
      << "the first caller is examined, then the owner ends the loop";
}

TEST_F(CheckClientTest, AnAccountOfTheGroupsDomainIsTrusted) {
  context.callers = {CScriptedCallContext::Caller(kSameDomain)};
  const SOutcome outcome = Run();
  EXPECT_EQ(outcome.hr, S_OK);
  EXPECT_TRUE(outcome.bTrusted);
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller EqualSid failed error = 0")));
}

// The owner comparison failing leaves the domain comparison to decide; the
// domain comparison failing leaves the caller unmatched.
TEST_F(CheckClientTest, FailedComparisonsMatchNothing) {
  context.callers = {CScriptedCallContext::Caller(kOwner)};
  machine.FailCall(ECall::EqualSid, ERROR_INVALID_SID, 2);  // the first is the integrity test
  BOOL bTrusted = FALSE;
  EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), S_OK);
  EXPECT_TRUE(bTrusted) << "the owner shares the group's domain";
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller EqualSid failed error = 539")));

  context.callers = {CScriptedCallContext::Caller(kSameDomain)};
  machine.FailCall(ECall::EqualPrefixSid, ERROR_INVALID_SID, 1);
  bTrusted = FALSE;
  EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), S_OK);
  EXPECT_FALSE(bTrusted);
  EXPECT_TRUE(Logged(LOG_FAILURE, OLESTR("CheckClientCaller EqualprefixSid failed error = 539")));
}

// A caller identity that cannot be read, or holds no usable SID, ends the
// whole check as not trusted; the later callers are not examined.
struct SCallerRow {
  const char* pszCase;
  std::function<void(CScriptedMachine&, CScriptedCallContext::SCaller&)> arm;
  HRESULT hr;
  const OLECHAR* pszLine;
};

TEST_F(CheckClientTest, AnUnusableCallerEndsTheCheckUntrusted) {
  const std::vector<SCallerRow> rows = {
      {"identity cannot be read",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.hrIdentity = E_INVALIDARG; },
       E_INVALIDARG, OLESTR("CheckClientCaller get_Item failed")},
      {"no identity object",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.bNullIdentity = true; }, S_OK,
       OLESTR("CheckClientCaller get_Item failed")},
      {"SID item cannot be read",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.hrSid = DISP_E_MEMBERNOTFOUND; },
       DISP_E_MEMBERNOTFOUND, OLESTR("CheckClientCaller get_Item failed")},
      {"SID item holds no array",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.bSidWithoutArray = true; }, S_OK,
       OLESTR("CheckClientCaller SafeArrayAccessData failed")},
      {"array cannot be locked",
       [](CScriptedMachine& m, CScriptedCallContext::SCaller&) {
         m.FailCall(ECall::SafeArrayAccessData, static_cast<DWORD>(E_UNEXPECTED), 1);
       },
       E_UNEXPECTED, OLESTR("CheckClientCaller SafeArrayAccessData failed")},
      {"array cannot be unlocked",
       [](CScriptedMachine& m, CScriptedCallContext::SCaller&) {
         m.FailCall(ECall::SafeArrayUnaccessData, static_cast<DWORD>(E_UNEXPECTED), 1);
       },
       E_UNEXPECTED, OLESTR("CheckClientCaller SafeArrayUnaccessData failed")},
      {"SID of another revision",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.sid[0] = 2; }, E_FAIL,
       OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
      {"SID shorter than it announces",
       [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.sid.resize(c.sid.size() - 1); },
       E_FAIL, OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
      {"empty SID", [](CScriptedMachine&, CScriptedCallContext::SCaller& c) { c.sid.clear(); },
       E_FAIL, OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
      {"caller SID has no text",
       [](CScriptedMachine& m, CScriptedCallContext::SCaller&) {
         m.FailCall(ECall::ConvertSidToStringSidW, ERROR_NOT_ENOUGH_MEMORY, 3);
       },
       E_FAIL, OLESTR("CheckClientCaller ConvertSidToStringSid failed")},
  };
  for (const SCallerRow& row : rows) {
    SCOPED_TRACE(row.pszCase);
    CRecordingLogSink rowSink;
    CScriptedMachine rowMachine;
    CScriptedCallContext rowContext;
    rowMachine.Process(kClient);
    rowMachine.pCallContext = &rowContext;
    // The first caller is unusable, the second the process owner.
    CScriptedCallContext::SCaller first = CScriptedCallContext::Caller(kOwner);
    row.arm(rowMachine, first);
    rowContext.callers = {first, CScriptedCallContext::Caller(kOwner)};

    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), row.hr);
    EXPECT_FALSE(bTrusted);
    EXPECT_TRUE(rowSink.Contains(LOG_FAILURE, row.pszLine)) << rowSink.Dump();
    for (LONG index : rowContext.SidsRead()) EXPECT_EQ(index, 0) << "the owner is never read";
    EXPECT_EQ(rowContext.Outstanding(), 0);
    EXPECT_EQ(rowMachine.OpenHandles(), 0u);
    EXPECT_EQ(rowMachine.OutstandingAllocations(), 0u);
  }
}

TEST_F(CheckClientTest, MalformedFirstCallerThenTheOwnerIsNotTrusted) {
  CScriptedCallContext::SCaller malformed = CScriptedCallContext::Caller(kOwner);
  malformed.sid[1] = 16;  // more sub-authorities than a SID may have
  context.callers = {malformed, CScriptedCallContext::Caller(kOwner)};
  const SOutcome outcome = Run();
  EXPECT_EQ(outcome.hr, E_FAIL);
  EXPECT_FALSE(outcome.bTrusted);
  EXPECT_EQ(outcome.hrMethod, E_FAIL);
  EXPECT_EQ(context.SidsRead(), (std::vector<LONG>{0, 0}));
}

// Without a flag to write, the check runs in full and gives the same
// result.
TEST_F(CheckClientTest, NullFlagRunsTheSameCheck) {
  context.callers.push_back(CScriptedCallContext::Caller(kOwner));
  EXPECT_EQ(CheckClientCaller(kClient, nullptr), S_OK);
  EXPECT_TRUE(Logged(LOG_NOTABLE,
                     OLESTR("CheckClientCaller dwClientProcessId = 1234, bTrusted = 1, hr = 0x0")));
  machine.Process(kClient).bGone = true;
  EXPECT_EQ(CheckClientCaller(kClient, nullptr), E_ACCESSDENIED);
}

// The flag is set, never cleared.
TEST_F(CheckClientTest, FlagIsNeverCleared) {
  BOOL bTrusted = TRUE;
  EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), S_OK);
  EXPECT_TRUE(bTrusted);
  machine.Process(kClient).bGone = true;
  EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), E_ACCESSDENIED);
  EXPECT_TRUE(bTrusted);
}

TEST_F(CheckClientTest, EntryAndExitAreDetail) {
  CheckClientCaller(0, nullptr);
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller dwClientProcessId = 0x0")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("CheckClientCaller hr = 0x80070005")));
  EXPECT_FALSE(Logged(LOG_ENTRY, OLESTR("CheckClientCaller")));
  EXPECT_TRUE(
      Logged(LOG_NOTABLE,
             OLESTR("CheckClientCaller dwClientProcessId = 0, bTrusted = 0, hr = 0x80070005")));
}

}  // namespace
