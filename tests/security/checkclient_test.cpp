// The caller trust check on the scripted machine, one row per path of its
// decision table and of the caller loop, each checked for its HRESULT, its
// answer, the answer an interface method makes of it, the line that names
// the path, and the invariants of every path: the privilege held around
// the opening only, everything obtained released, the flag only ever set,
// the same result without a flag, entry and exit at the detail level.
// Then GetSIDUserFromProcessId, which opens the client the same way.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "security/checkclient.h"
#include "security/processidentity.h"

namespace {

using ECall = CScriptedMachine::ECall;
using CContext = CScriptedCallContext;
using OleString = std::basic_string<OLECHAR>;

constexpr DWORD kClient = 1234;  // 0x4d2
const OLECHAR kOwner[] = OLESTR("S-1-5-21-1111-2222-3333-1001");
const OLECHAR kSameDomain[] = OLESTR("S-1-5-21-1111-2222-3333-2002");

OleString Text(const char* pszFormat, unsigned a, unsigned b, unsigned c) {
  char text[128];
  std::snprintf(text, sizeof text, pszFormat, a, b, c);
  return OleString(text, text + std::char_traits<char>::length(text));
}

// What happens to "SeDebugPrivilege".
enum class EDebug { kAround, kEnableFails, kDisableFails };

using CArm = std::function<void(CScriptedMachine&, CContext&)>;

struct SRow {
  const char* pszPath;
  CArm arm;
  HRESULT hr;
  bool bTrusted;
  LONG lLevel;             // of the line that names the path,
  const OLECHAR* pszLine;  // after "CheckClientCaller "; null: none of its own
  EDebug eDebug = EDebug::kAround;
  std::vector<LONG> sidsRead = {};  // checked when not empty
};

// The occurrence-th call of the kind fails.
CArm Fail(ECall eCall, DWORD dwError, unsigned uOccurrence = 1) {
  return [=](CScriptedMachine& m, CContext&) { m.FailCall(eCall, dwError, uOccurrence); };
}
CArm Context(std::function<void(CContext&)> change) {
  return [change](CScriptedMachine&, CContext& c) { change(c); };
}
// A chain whose first caller is spoilt and whose second is the owner.
CArm FirstCaller(std::function<void(CContext::SCaller&)> spoil, CArm more = nullptr) {
  return [=](CScriptedMachine& m, CContext& c) {
    CContext::SCaller first = CContext::Caller(kOwner);
    spoil(first);
    c.callers = {first, CContext::Caller(kOwner)};
    if (more) more(m, c);
  };
}
CArm Integrity(DWORD dwRid, bool bSecurityEnabled) {
  return [=](CScriptedMachine& m, CContext& c) {
    m.Process(kClient).dwIntegrityRid = dwRid;
    if (dwRid == SECURITY_MANDATORY_LOW_RID) m.pCallContext = nullptr;
    c.bSecurityEnabled = bSecurityEnabled ? VARIANT_TRUE : VARIANT_FALSE;
  };
}

// The privilege changes and the client's opening, in order.
std::vector<std::string> PrivilegeAndOpen(const CScriptedMachine& machine) {
  std::vector<std::string> lines;
  for (const std::string& line : machine.Trace()) {
    if (line.rfind("SeDebugPrivilege=", 0) == 0 || line == "OpenProcess 1234") {
      lines.push_back(line);
    }
  }
  return lines;
}
const std::vector<std::string> kAroundTheOpening = {"SeDebugPrivilege=2", "OpenProcess 1234",
                                                    "SeDebugPrivilege=0"};

constexpr LONG kFail = LOG_FAILURE;
constexpr LONG kDetail = LOG_DETAIL;
constexpr DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;

// ModifyPrivs opens the host's token, allocates its request and reads the
// host's descriptor once for enabling and once for disabling, before the
// check makes the same calls for the client.
const std::vector<SRow>& Rows() {
  static const std::vector<SRow> rows = {
      {"1 enabling the privilege fails", Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED),
       E_FAIL, false, kFail, OLESTR("ModifyPrivs failed"), EDebug::kEnableFails},
      {"2 disabling it fails: the one path that leaves it enabled",
       Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 2), E_FAIL, false, kFail,
       OLESTR("ModifyPrivs failed"), EDebug::kDisableFails},
      {"3 client process cannot be opened",
       [](CScriptedMachine& m, CContext&) { m.Process(kClient).bGone = true; }, E_ACCESSDENIED,
       false, kFail, OLESTR("OpenProcess(0x4d2) failed with error code 0x57")},
      {"4 token", Fail(ECall::OpenProcessToken, ERROR_ACCESS_DENIED, 3), E_ACCESSDENIED, false,
       kFail, OLESTR("OpenProcessToken failed with error code 0x5")},
      {"5 size query", Fail(ECall::GetTokenInformation, ERROR_INVALID_HANDLE), E_ACCESSDENIED,
       false, kFail, OLESTR("GetTokenInformation failed with error code 0x6")},
      {"6 integrity buffer", Fail(ECall::LocalAlloc, kNoMemory, 3), E_OUTOFMEMORY, false, kFail,
       OLESTR("malloc failed with error code 0x8")},
      {"7 integrity level", Fail(ECall::GetTokenInformation, ERROR_ACCESS_DENIED, 2),
       E_ACCESSDENIED, false, kFail, OLESTR("GetTokenInformation failed with error code 0x5")},
      {"8 low-integrity SID", Fail(ECall::ConvertStringSidToSidW, kNoMemory), E_FAIL, false, kFail,
       OLESTR("ConvertStringSidToSid failed with error 0x8")},
      {"9 low integrity, without a call context", Integrity(SECURITY_MANDATORY_LOW_RID, true), S_OK,
       true, kDetail, OLESTR("Low Integrity Level")},
      {"10 owner and group", Fail(ECall::GetSecurityInfo, ERROR_ACCESS_DENIED, 3), E_ACCESSDENIED,
       false, kFail, OLESTR("GetSecurityInfo failed with error 0x5")},
      {"11 owner SID text", Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID), E_FAIL, false,
       kFail, OLESTR("ConvertSidToStringSid failed")},
      {"11 group SID text", Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 2), E_FAIL,
       false, kFail, OLESTR("ConvertSidToStringSid failed")},
      {"12 no COM+ call context", [](CScriptedMachine& m, CContext&) { m.pCallContext = nullptr; },
       RPC_E_CALL_COMPLETE, false, kFail, OLESTR("CoGetCallContext failed")},
      {"12 call context", Fail(ECall::CoGetCallContext, DWORD(E_NOINTERFACE)), E_NOINTERFACE, false,
       kFail, OLESTR("CoGetCallContext failed")},
      {"13 IsSecurityEnabled", Context([](CContext& c) { c.hrIsSecurityEnabled = E_UNEXPECTED; }),
       E_UNEXPECTED, false, kFail, OLESTR("IsSecurityEnabled failed")},
      {"14 security off", Integrity(SECURITY_MANDATORY_MEDIUM_RID, false), S_OK, false, kFail,
       OLESTR("IsSecurityEnabled failed")},
      {"14 security off, untrusted level", Integrity(SECURITY_MANDATORY_UNTRUSTED_RID, false), S_OK,
       false, kFail, OLESTR("IsSecurityEnabled failed")},
      {"14 security off, system level", Integrity(SECURITY_MANDATORY_SYSTEM_RID, false), S_OK,
       false, kFail, OLESTR("IsSecurityEnabled failed")},
      {"15 NumCallers", Context([](CContext& c) { c.hrNumCallers = DISP_E_MEMBERNOTFOUND; }),
       DISP_E_MEMBERNOTFOUND, false, kFail, OLESTR("get_Item (NumCallers) failed")},
      {"16 Callers", Context([](CContext& c) { c.hrCallers = E_OUTOFMEMORY; }), E_OUTOFMEMORY,
       false, kFail, OLESTR("get_Item (Callers) failed")},
      {"17 Callers holds no object",
       Context([](CContext& c) { c.eCallers = CContext::ECallers::kEmpty; }), S_OK, false, kFail,
       OLESTR("(IUnknown *) failed")},
      {"17 no callers collection",
       Context([](CContext& c) { c.eCallers = CContext::ECallers::kWithoutCollection; }),
       E_NOINTERFACE, false, kFail, OLESTR("QueryInterface failed")},
      {"17 query answers no collection",
       Context([](CContext& c) { c.eCallers = CContext::ECallers::kNullFromQuery; }), S_OK, false,
       kFail, OLESTR("QueryInterface failed")},
      {"18 count", Context([](CContext& c) { c.hrCount = DISP_E_EXCEPTION; }), DISP_E_EXCEPTION,
       false, kFail, OLESTR("get_Count failed")},
      {"19 no callers", Context([](CContext& c) { c.callers.clear(); }), S_OK, false, 0, nullptr},
      {"19 a negative count", Context([](CContext& c) { c.countOverride = -3; }), S_OK, false, 0,
       nullptr},
      {"20 the owner ends the loop",
       Context(
           [](CContext& c) { c.callers.resize(1), c.callers.push_back(CContext::Caller(kOwner)); }),
       S_OK,
       true,
       kDetail,
       OLESTR("ConvertSidToStringSid strSidCom = S-1-5-21-1111-2222-3333-1001"),
       EDebug::kAround,
       {0, 1}},
      {"20 an account of the group's domain",
       Context([](CContext& c) { c.callers = {CContext::Caller(kSameDomain)}; }), S_OK, true,
       kDetail, OLESTR("EqualSid failed error = 0")},
      // The first EqualSid is the integrity test.
      {"20 a failed owner comparison leaves the domain to decide",
       FirstCaller([](CContext::SCaller&) {}, Fail(ECall::EqualSid, ERROR_INVALID_SID, 2)), S_OK,
       true, kDetail, OLESTR("EqualSid failed error = 539")},
      {"21 a failed domain comparison matches nothing",
       [](CScriptedMachine& m, CContext& c) {
         c.callers = {CContext::Caller(kSameDomain)};
         m.FailCall(ECall::EqualPrefixSid, ERROR_INVALID_SID, 1);
       },
       S_OK, false, kFail, OLESTR("EqualprefixSid failed error = 539")},
      // Another authority, another domain part, another number of
      // sub-authorities.
      {"21 no caller matches",
       Context([](CContext& c) {
         c.callers = {CContext::Caller(OLESTR("S-1-16-1111-2222-3333-1001")),
                      CContext::Caller(OLESTR("S-1-5-21-1111-2222-4444-1001")),
                      CContext::Caller(OLESTR("S-1-5-21-1111-2222-3333-1001-7"))};
       }),
       S_OK,
       false,
       kFail,
       OLESTR("EqualprefixSid failed error = 0"),
       EDebug::kAround,
       {0, 1, 2}},
      // An unusable first caller ends the check untrusted: the owner after
      // it is never read.
      {"18.1 identity", FirstCaller([](CContext::SCaller& c) { c.hrIdentity = E_INVALIDARG; }),
       E_INVALIDARG, false, kFail, OLESTR("get_Item failed")},
      {"18.1 no identity object", FirstCaller([](CContext::SCaller& c) { c.bNullIdentity = true; }),
       S_OK, false, kFail, OLESTR("get_Item failed")},
      {"18.2 SID item",
       FirstCaller([](CContext::SCaller& c) { c.hrSid = DISP_E_MEMBERNOTFOUND; }),
       DISP_E_MEMBERNOTFOUND,
       false,
       kFail,
       OLESTR("get_Item failed"),
       EDebug::kAround,
       {0}},
      {"18.3 no array",
       FirstCaller([](CContext::SCaller& c) { c.bSidWithoutArray = true; }),
       S_OK,
       false,
       kFail,
       OLESTR("SafeArrayAccessData failed"),
       EDebug::kAround,
       {0}},
      {"18.3 lock",
       FirstCaller([](CContext::SCaller&) {},
                   Fail(ECall::SafeArrayAccessData, DWORD(E_UNEXPECTED))),
       E_UNEXPECTED, false, kFail, OLESTR("SafeArrayAccessData failed")},
      {"18.3 unlock",
       FirstCaller([](CContext::SCaller&) {},
                   Fail(ECall::SafeArrayUnaccessData, DWORD(E_UNEXPECTED))),
       E_UNEXPECTED, false, kFail, OLESTR("SafeArrayUnaccessData failed")},
      {"18.4 another revision",
       FirstCaller([](CContext::SCaller& c) { c.sid[0] = 2; }),
       E_FAIL,
       false,
       kFail,
       OLESTR("ConvertSidToStringSid failed"),
       EDebug::kAround,
       {0}},
      {"18.4 too many sub-authorities",
       FirstCaller([](CContext::SCaller& c) { c.sid[1] = 16; }),
       E_FAIL,
       false,
       kFail,
       OLESTR("ConvertSidToStringSid failed"),
       EDebug::kAround,
       {0}},
      {"18.4 shorter than announced",
       FirstCaller([](CContext::SCaller& c) { c.sid.resize(c.sid.size() - 1); }), E_FAIL, false,
       kFail, OLESTR("ConvertSidToStringSid failed")},
      {"18.4 empty SID", FirstCaller([](CContext::SCaller& c) { c.sid.clear(); }), E_FAIL, false,
       kFail, OLESTR("ConvertSidToStringSid failed")},
      {"18.4 no text",
       FirstCaller([](CContext::SCaller&) {}, Fail(ECall::ConvertSidToStringSidW, kNoMemory, 3)),
       E_FAIL, false, kFail, OLESTR("ConvertSidToStringSid failed")},
  };
  return rows;
}

TEST(CheckClientCallerTest, EveryPathOfTheDecisionTable) {
  for (const SRow& row : Rows()) {
    SCOPED_TRACE(row.pszPath);
    CRecordingLogSink sink;
    CScriptedMachine machine;
    CContext context;
    machine.Process(kClient);
    machine.pCallContext = &context;
    context.callers = {CContext::Caller(OLESTR("S-1-5-32-545"))};  // no match
    row.arm(machine, context);

    BOOL bTrusted = FALSE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), row.hr);
    EXPECT_EQ(bTrusted != FALSE, row.bTrusted);
    if (row.pszLine != nullptr) {
      EXPECT_TRUE(sink.Contains(row.lLevel, OleString(OLESTR("CheckClientCaller ")) + row.pszLine))
          << sink.Dump();
    }
    EXPECT_TRUE(sink.Contains(
        LOG_NOTABLE, Text("CheckClientCaller dwClientProcessId = %u, bTrusted = %u, hr = 0x%x",
                          kClient, row.bTrusted, static_cast<unsigned>(row.hr))));
    EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("CheckClientCaller dwClientProcessId = 0x4d2")));
    EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("CheckClientCaller")));
    EXPECT_FALSE(sink.Contains(LOG_ENTRY, OLESTR("CheckClientCaller")));
    EXPECT_TRUE(sink.Contains(
        LOG_DETAIL, Text("CheckClientCaller hr = 0x%x", static_cast<unsigned>(row.hr), 0, 0)));
    EXPECT_TRUE(row.sidsRead.empty() || context.SidsRead() == row.sidsRead);

    // The privilege is held around the opening only, and disabled before
    // the opening's result is looked at.
    const std::vector<std::string> privilegeAndOpen = PrivilegeAndOpen(machine);
    EXPECT_TRUE(row.eDebug != EDebug::kAround || privilegeAndOpen == kAroundTheOpening);
    if (row.eDebug == EDebug::kEnableFails) {
      EXPECT_TRUE(privilegeAndOpen.empty()) << "the client is not opened";
    }
    EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED,
              row.eDebug == EDebug::kDisableFails ? DWORD{SE_PRIVILEGE_ENABLED} : 0u);

    // The flag is never cleared; without one the check runs the same.
    row.arm(machine, context);
    bTrusted = TRUE;
    EXPECT_EQ(CheckClientCaller(kClient, &bTrusted), row.hr);
    EXPECT_TRUE(bTrusted);
    row.arm(machine, context);
    EXPECT_EQ(CheckClientCaller(kClient, nullptr), row.hr);

    // What an interface method makes of the outcome, and its line, logged
    // as a format of its own. No message of the check is wrapped in "%s".
    row.arm(machine, context);
    const HRESULT hrMethod =
        CheckClientCallerForMethod(CALLER_CHECK_MESSAGES("CDataStore::SetData"), kClient);
    const bool bFailed = FAILED(row.hr);
    EXPECT_EQ(hrMethod, bFailed ? row.hr : row.bTrusted ? S_OK : E_ACCESSDENIED);
    EXPECT_TRUE(sink.ContainsFormat(bFailed        ? LOG_FAILURE
                                    : row.bTrusted ? LOG_DETAIL
                                                   : LOG_NOTABLE,
                                    OleString(OLESTR("CDataStore::SetData CheckClientCaller ")) +
                                        (bFailed        ? OLESTR("failed")
                                         : row.bTrusted ? OLESTR("trust succeeded")
                                                        : OLESTR("trust failed"))));
    for (const CRecordingLogSink::CLine& line : sink.Lines()) {
      EXPECT_NE(line.format.rfind(OLESTR("%s"), 0), 0u) << ToUtf8(line.text);
    }

    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
    EXPECT_EQ(context.Outstanding(), 0);
  }
}

// GetSIDUserFromProcessId: the user SID of the process, opened with the
// privilege around the opening only; each failing step's result, with the
// output left untouched. ModifyPrivs opens the host's token and allocates
// its request twice before the lookup does.
TEST(GetSIDUserFromProcessIdTest, UserSidOrTheResultOfTheFailingStep) {
  const struct {
    CArm arm;
    HRESULT hr;
    const OLECHAR* pszLine;  // at level 1, or the SID at level 2
  } rows[] = {
      {[](CScriptedMachine&, CContext&) {}, S_OK, OLESTR("S-1-5-21-7-8-9-1105")},
      {[](CScriptedMachine& m, CContext&) { m.Process(kClient).bGone = true; }, E_ACCESSDENIED,
       OLESTR("OpenProcess(0x4d2) failed with error code 0x57")},
      {Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED), E_FAIL,
       OLESTR("ModifyPrivs failed")},
      {Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 2), E_FAIL,
       OLESTR("ModifyPrivs failed")},
      {Fail(ECall::OpenProcessToken, ERROR_ACCESS_DENIED, 3), E_ACCESSDENIED,
       OLESTR("OpenProcessToken failed with error code 0x5")},
      {Fail(ECall::GetTokenInformation, ERROR_INVALID_HANDLE), E_ACCESSDENIED,
       OLESTR("GetTokenInformation failed with error code 0x6")},
      {Fail(ECall::LocalAlloc, kNoMemory, 3), E_OUTOFMEMORY, OLESTR("GlobalAlloc failed")},
      {Fail(ECall::GetTokenInformation, ERROR_ACCESS_DENIED, 2), E_ACCESSDENIED,
       OLESTR("GetTokenInformation failed with error code 0x5")},
      {Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID), E_FAIL,
       OLESTR("ConvertSidToStringSid failed")},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    CRecordingLogSink sink;
    CScriptedMachine machine;
    machine.Process(kClient).user = OLESTR("S-1-5-21-7-8-9-1105");
    CContext unused;
    rows[i].arm(machine, unused);
    ZU::Framework::secwstring sSid(OLESTR("unchanged"));
    EXPECT_EQ(GetSIDUserFromProcessId(kClient, sSid), rows[i].hr);
    EXPECT_EQ(OleString(sSid), SUCCEEDED(rows[i].hr) ? rows[i].pszLine : OLESTR("unchanged"));
    EXPECT_TRUE(
        SUCCEEDED(rows[i].hr)
            ? sink.Contains(LOG_NOTABLE,
                            OleString(OLESTR("GetSIDUserFromProcessId ConvertSidToStringSid "
                                             "strSidUser = ")) +
                                rows[i].pszLine)
            : sink.Contains(LOG_FAILURE,
                            OleString(OLESTR("GetSIDUserFromProcessId ")) + rows[i].pszLine))
        << sink.Dump();
    EXPECT_TRUE(sink.Contains(LOG_EXIT, Text("GetSIDUserFromProcessId hr = 0x%x",
                                             static_cast<unsigned>(rows[i].hr), 0, 0)));
    for (const CRecordingLogSink::CLine& line : sink.Lines()) {
      EXPECT_NE(line.format.rfind(OLESTR("%s"), 0), 0u) << ToUtf8(line.text);
    }
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
    EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED,
              i == 3 ? DWORD{SE_PRIVILEGE_ENABLED} : 0u);
    EXPECT_TRUE(i != 0 || PrivilegeAndOpen(machine) == kAroundTheOpening);
  }
  CScriptedMachine machine;
  ZU::Framework::secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(machine.dwProcessId, sSid), S_OK);
  EXPECT_EQ(OleString(sSid), OLESTR("S-1-5-18"));
}

}  // namespace
