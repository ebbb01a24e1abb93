// The caller trust check on the scripted machine, one row per path of its
// decision table and of the caller loop, and GetSIDUserFromProcessId on
// each, which opens the client the same way.

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

constexpr DWORD kClient = 1234;                       // 0x4d2
constexpr DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;  // 8
const OLECHAR kOwner[] = OLESTR("S-1-5-21-1111-2222-3333-1001");
const OLECHAR kUser[] = OLESTR("S-1-5-21-7-8-9-1105");
const OLECHAR kSameDomain[] = OLESTR("S-1-5-21-1111-2222-3333-2002");

template <class... A>
OleString Text(const char* pszFormat, A... args) {
  char text[160];
  std::snprintf(text, sizeof text, pszFormat, args...);
  return OleString(text, text + std::char_traits<char>::length(text));
}

// What happens to "SeDebugPrivilege".
enum class EDebug { kAround, kEnableFails, kDisableFails };

using CArm = std::function<void(CScriptedMachine&, CContext&)>;

struct SRow {
  CArm arm;
  HRESULT hr;
  // After "CheckClientCaller ", at the detail level when trusted and as a
  // failure otherwise; null: none of its own. A leading '=' makes it the
  // failure of GetSIDUserFromProcessId too, which opens the client the
  // same way. Where ModifyPrivs fails, its own failure after its name:
  // both callers then log "ModifyPrivs failed".
  const char* pszLine;
  bool bTrusted = false;
  // The failure of GetSIDUserFromProcessId, after its name; null (and no
  // '='): it succeeds.
  const char* pszUserLine = nullptr;
  EDebug eDebug = EDebug::kAround;
};

// The occurrence-th call of the kind fails.
CArm Fail(ECall eCall, DWORD dwError, unsigned uOccurrence = 1) {
  return [=](CScriptedMachine& m, CContext&) { m.FailCall(eCall, dwError, uOccurrence); };
}
// A chain whose first caller is spoilt and whose second is the owner.
CArm FirstCaller(std::function<void(CContext::SCaller&)> spoil, CArm more = nullptr) {
  return [=](CScriptedMachine& m, CContext& c) {
    c.callers = {CContext::Caller(kOwner), CContext::Caller(kOwner)};
    spoil(c.callers[0]);
    if (more) more(m, c);
  };
}
CArm FirstCallerFails(ECall eCall, DWORD dwError, unsigned uOccurrence = 1) {
  return FirstCaller([](CContext::SCaller&) {}, Fail(eCall, dwError, uOccurrence));
}
CArm Callers(std::vector<const OLECHAR*> sids) {
  return [=](CScriptedMachine&, CContext& c) {
    c.callers.clear();
    for (const OLECHAR* psz : sids) c.callers.push_back(CContext::Caller(psz));
  };
}

// Each path's HRESULT, answer, line and the invariants of every path: the
// privilege held around the opening only, everything obtained released,
// the flag only ever set and the same result without a flag. Then the user
// SID of the client, or the result of the failing step with the output
// left untouched. ModifyPrivs opens the host's token and allocates its
// request twice before the lookups do.
// ModifyPrivs opens the host's token, allocates its request and reads the
// host's descriptor once for enabling and once for disabling, before the
// check makes the same calls for the client. The numbers are those of the
// steps of the check.
TEST(CheckClientCallerTest, EveryPathOfTheDecisionTable) {
  using EC = CContext::ECallers;
  using C = CContext&;
  const SRow rows[] = {
      // 1, 2: enabling the privilege fails; disabling it fails, the one
      // path that leaves it enabled.
      {Fail(ECall::AdjustTokenPrivileges, 5), E_FAIL, " AdjustTokenPrivileges failed dwError = 5",
       false, nullptr, EDebug::kEnableFails},
      {Fail(ECall::AdjustTokenPrivileges, 5, 2), E_FAIL,
       " AdjustTokenPrivileges failed dwError = 5", false, nullptr, EDebug::kDisableFails},
      // Each other failing step of enabling it, which changes nothing; a
      // lookup failure other than an unknown name ends it before any
      // privilege changes.
      {Fail(ECall::GetSecurityInfo, 5), E_FAIL, " GetSecurityInfo failed with error 0x5", false,
       nullptr, EDebug::kEnableFails},
      {Fail(ECall::ConvertSecurityDescriptorToStringSecurityDescriptorW, kNoMemory), E_FAIL,
       " ConvertSecurityDescriptorToStringSecurityDescriptor failed with error 0x8", false, nullptr,
       EDebug::kEnableFails},
      {Fail(ECall::OpenProcess, 5), E_FAIL, ": OpenProcess() failed dwError = 5", false, nullptr,
       EDebug::kEnableFails},
      {Fail(ECall::OpenProcessToken, 5), E_FAIL, " OpenProcessToken failed dwError = 5", false,
       nullptr, EDebug::kEnableFails},
      {Fail(ECall::LocalAlloc, kNoMemory), E_FAIL, " NULL == pbBuff", false, nullptr,
       EDebug::kEnableFails},
      {Fail(ECall::LookupPrivilegeValueW, RPC_S_SERVER_UNAVAILABLE), E_FAIL,
       " LookupPrivilegeValue failed dwError = 6ba", false, nullptr, EDebug::kEnableFails},
      // 3 to 8: the client process, its token, the size query, the
      // integrity buffer and level, the low-integrity SID.
      {[](auto& m, C) { m.Process(kClient).bGone = true; }, E_ACCESSDENIED,
       "=OpenProcess(0x4d2) failed with error code 0x57"},
      {Fail(ECall::OpenProcessToken, 5, 3), E_ACCESSDENIED,
       "=OpenProcessToken failed with error code 0x5"},
      {Fail(ECall::GetTokenInformation, 6), E_ACCESSDENIED,
       "=GetTokenInformation failed with error code 0x6"},
      {Fail(ECall::LocalAlloc, kNoMemory, 3), E_OUTOFMEMORY, "malloc failed with error code 0x8",
       false, "GlobalAlloc failed"},
      {Fail(ECall::GetTokenInformation, 5, 2), E_ACCESSDENIED,
       "=GetTokenInformation failed with error code 0x5"},
      {Fail(ECall::ConvertStringSidToSidW, kNoMemory), E_FAIL,
       "ConvertStringSidToSid failed with error 0x8"},
      // 9: low integrity, trusted without a call context.
      {[](auto& m, C) {
         m.Process(kClient).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
         m.pCallContext = nullptr;
       },
       S_OK, "Low Integrity Level", true},
      // 10, 11: the owner and group, their texts.
      {Fail(ECall::GetSecurityInfo, 5, 3), E_ACCESSDENIED, "GetSecurityInfo failed with error 0x5"},
      {Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID), E_FAIL,
       "=ConvertSidToStringSid failed"},
      {Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 2), E_FAIL,
       "ConvertSidToStringSid failed"},
      // 13 to 18: the call context and its callers collection.
      {[](auto&, C c) { c.hrIsSecurityEnabled = E_UNEXPECTED; }, E_UNEXPECTED,
       "IsSecurityEnabled failed"},
      {[](auto&, C c) { c.hrNumCallers = DISP_E_MEMBERNOTFOUND; }, DISP_E_MEMBERNOTFOUND,
       "get_Item (NumCallers) failed"},
      {[](auto&, C c) { c.hrCallers = E_OUTOFMEMORY; }, E_OUTOFMEMORY, "get_Item (Callers) failed"},
      {[](auto&, C c) { c.eCallers = EC::kEmpty; }, S_OK, "(IUnknown *) failed"},
      {[](auto&, C c) { c.eCallers = EC::kWithoutCollection; }, E_NOINTERFACE,
       "QueryInterface failed"},
      {[](auto&, C c) { c.eCallers = EC::kNullFromQuery; }, S_OK, "QueryInterface failed"},
      {[](auto&, C c) { c.hrCount = DISP_E_EXCEPTION; }, DISP_E_EXCEPTION, "get_Count failed"},
      // 19: no callers, a negative count.
      {Callers({}), S_OK, nullptr},
      {[](auto&, C c) { c.countOverride = -3; }, S_OK, nullptr},
      // 20: an account of the group's domain; a failed owner comparison
      // leaves the domain to decide (the first EqualSid is the integrity
      // test).
      {Callers({kSameDomain}), S_OK, "EqualSid failed error = 0", true},
      {FirstCallerFails(ECall::EqualSid, ERROR_INVALID_SID, 2), S_OK, "EqualSid failed error = 539",
       true},
      // 21: a failed domain comparison matches nothing; no caller matches:
      // another authority, another domain part, another number of
      // sub-authorities, the platform's prefix comparison deciding each.
      {[](auto& m, C c) {
         Callers({kSameDomain})(m, c);
         m.FailCall(ECall::EqualPrefixSid, ERROR_INVALID_SID, 1);
       },
       S_OK, "EqualprefixSid failed error = 539"},
      {Callers({OLESTR("S-1-16-1111-2222-3333-1001"), OLESTR("S-1-5-21-1111-2222-4444-1001"),
                OLESTR("S-1-5-21-1111-2222-3333-1001-7")}),
       S_OK, "EqualprefixSid failed error = 0"},
      // 18.1 to 18.4: an unusable first caller ends the check untrusted, the
      // owner after it never read: its identity, the SID item, the array,
      // the text (shorter than announced, empty, none).
      {FirstCaller([](auto& c) { c.hrIdentity = E_INVALIDARG; }), E_INVALIDARG, "get_Item failed"},
      {FirstCaller([](auto& c) { c.bNullIdentity = true; }), S_OK, "get_Item failed"},
      {FirstCaller([](auto& c) { c.hrSid = DISP_E_MEMBERNOTFOUND; }), DISP_E_MEMBERNOTFOUND,
       "get_Item failed"},
      {FirstCaller([](auto& c) { c.bSidWithoutArray = true; }), S_OK, "SafeArrayAccessData failed"},
      {FirstCallerFails(ECall::SafeArrayAccessData, DWORD(E_UNEXPECTED)), E_UNEXPECTED,
       "SafeArrayAccessData failed"},
      {FirstCallerFails(ECall::SafeArrayUnaccessData, DWORD(E_UNEXPECTED)), E_UNEXPECTED,
       "SafeArrayUnaccessData failed"},
      {FirstCaller([](auto& c) { c.sid.pop_back(); }), E_FAIL, "ConvertSidToStringSid failed"},
      {FirstCaller([](auto& c) { c.sid.clear(); }), E_FAIL, "ConvertSidToStringSid failed"},
      {FirstCallerFails(ECall::ConvertSidToStringSidW, kNoMemory, 3), E_FAIL,
       "ConvertSidToStringSid failed"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const SRow& row = rows[i];
    SCOPED_TRACE(i);
    CRecordingLogSink sink;
    CScriptedMachine machine;
    CContext context;
    machine.Process(kClient).user = kUser;
    machine.pCallContext = &context;
    context.callers = {CContext::Caller(OLESTR("S-1-5-32-545"))};  // no match
    const auto check = [&](BOOL* pbTrusted) {
      row.arm(machine, context);
      return CheckClientCaller(kClient, pbTrusted);
    };
    const bool bPrivs = row.eDebug != EDebug::kAround;
    const bool bSame = bPrivs || (row.pszLine != nullptr && row.pszLine[0] == '=');
    const char* pszLine = bPrivs ? "ModifyPrivs failed" : bSame ? row.pszLine + 1 : row.pszLine;
    BOOL bTrusted = FALSE;
    EXPECT_EQ(check(&bTrusted), row.hr);
    EXPECT_EQ(bTrusted != FALSE, row.bTrusted);
    EXPECT_TRUE(!bPrivs || sink.Contains(LOG_FAILURE, Text("ModifyPrivs%s", row.pszLine)));
    EXPECT_TRUE(pszLine == nullptr || sink.Contains(row.bTrusted ? LOG_DETAIL : LOG_FAILURE,
                                                    Text("CheckClientCaller %s", pszLine)))
        << sink.Dump();
    EXPECT_TRUE(sink.Contains(
        LOG_NOTABLE, Text("CheckClientCaller dwClientProcessId = "
                          "%u, bTrusted = %u, hr = 0x%x",
                          kClient, unsigned{row.bTrusted}, static_cast<unsigned>(row.hr))));

    bTrusted = TRUE;
    EXPECT_EQ(check(&bTrusted), row.hr);
    EXPECT_TRUE(bTrusted);
    EXPECT_EQ(check(nullptr), row.hr);

    row.arm(machine, context);
    ZU::Framework::secwstring sSid(OLESTR("unchanged"));
    const char* pszUser = bSame ? pszLine : row.pszUserLine;
    EXPECT_EQ(GetSIDUserFromProcessId(kClient, sSid), pszUser != nullptr ? row.hr : S_OK);
    EXPECT_EQ(OleString(sSid), pszUser != nullptr ? OLESTR("unchanged") : kUser);
    EXPECT_TRUE(pszUser == nullptr ||
                sink.Contains(LOG_FAILURE, Text("GetSIDUserFromProcessId %s", pszUser)))
        << sink.Dump();

    // All four calls held the privilege around the opening only, and
    // disabled it before the opening's result was looked at.
    std::string around;
    for (const std::string& line : machine.Trace()) {
      if (line.rfind("SeDebugPrivilege=", 0) == 0 || line == "OpenProcess 1234")
        around += line + ",";
    }
    const std::string once = "SeDebugPrivilege=2,OpenProcess 1234,SeDebugPrivilege=0,";
    EXPECT_TRUE(row.eDebug != EDebug::kAround || around == once + once + once + once) << around;
    EXPECT_TRUE(row.eDebug != EDebug::kEnableFails || around.empty());
    EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")) & SE_PRIVILEGE_ENABLED,
              row.eDebug == EDebug::kDisableFails ? DWORD{SE_PRIVILEGE_ENABLED} : 0u);
    // No line is logged as a "%s" format of its own: each names its path.
    for (const CRecordingLogSink::CLine& line : sink.Lines()) {
      EXPECT_NE(line.format.rfind(OLESTR("%s"), 0), 0u) << ToUtf8(line.text);
    }
    EXPECT_EQ(machine.Unreleased(), 0u);
    EXPECT_EQ(context.Outstanding(), 0);
  }
}

}  // namespace
