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

constexpr DWORD kClient = 1234;  // 0x4d2
constexpr DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
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
  const char* pszPath;
  CArm arm;
  HRESULT hr;
  bool bTrusted;
  // After "CheckClientCaller ", at the detail level when trusted and as a
  // failure otherwise; null: none of its own.
  const char* pszLine;
  // The failure of GetSIDUserFromProcessId, which opens the client the
  // same way, after "GetSIDUserFromProcessId "; null: it succeeds.
  const char* pszUserLine = nullptr;
  EDebug eDebug = EDebug::kAround;
};
// As the check's line.
const char kSameLine[] = "";

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

// ModifyPrivs opens the host's token, allocates its request and reads the
// host's descriptor once for enabling and once for disabling, before the
// check makes the same calls for the client.
const std::vector<SRow>& Rows() {
  using EC = CContext::ECallers;
  static const std::vector<SRow> rows = {
      {"1 enabling the privilege fails", Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED),
       E_FAIL, false, "ModifyPrivs failed", kSameLine, EDebug::kEnableFails},
      {"2 disabling it fails: the one path that leaves it enabled",
       Fail(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 2), E_FAIL, false,
       "ModifyPrivs failed", kSameLine, EDebug::kDisableFails},
      {"3 client process cannot be opened", [](auto& m, auto&) { m.Process(kClient).bGone = true; },
       E_ACCESSDENIED, false, "OpenProcess(0x4d2) failed with error code 0x57", kSameLine},
      {"4 token", Fail(ECall::OpenProcessToken, ERROR_ACCESS_DENIED, 3), E_ACCESSDENIED, false,
       "OpenProcessToken failed with error code 0x5", kSameLine},
      {"5 size query", Fail(ECall::GetTokenInformation, ERROR_INVALID_HANDLE), E_ACCESSDENIED,
       false, "GetTokenInformation failed with error code 0x6", kSameLine},
      {"6 integrity buffer", Fail(ECall::LocalAlloc, kNoMemory, 3), E_OUTOFMEMORY, false,
       "malloc failed with error code 0x8", "GlobalAlloc failed"},
      {"7 integrity level", Fail(ECall::GetTokenInformation, ERROR_ACCESS_DENIED, 2),
       E_ACCESSDENIED, false, "GetTokenInformation failed with error code 0x5", kSameLine},
      {"8 low-integrity SID", Fail(ECall::ConvertStringSidToSidW, kNoMemory), E_FAIL, false,
       "ConvertStringSidToSid failed with error 0x8"},
      {"9 low integrity, without a call context",
       [](auto& m, auto&) {
         m.Process(kClient).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
         m.pCallContext = nullptr;
       },
       S_OK, true, "Low Integrity Level"},
      {"10 owner and group", Fail(ECall::GetSecurityInfo, ERROR_ACCESS_DENIED, 3), E_ACCESSDENIED,
       false, "GetSecurityInfo failed with error 0x5"},
      {"11 owner SID text", Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID), E_FAIL, false,
       "ConvertSidToStringSid failed", kSameLine},
      {"11 group SID text", Fail(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 2), E_FAIL,
       false, "ConvertSidToStringSid failed"},
      {"12 call context", Fail(ECall::CoGetCallContext, DWORD(E_NOINTERFACE)), E_NOINTERFACE, false,
       "CoGetCallContext failed"},
      {"13 IsSecurityEnabled", [](auto&, auto& c) { c.hrIsSecurityEnabled = E_UNEXPECTED; },
       E_UNEXPECTED, false, "IsSecurityEnabled failed"},
      {"14 security off", [](auto&, auto& c) { c.bSecurityEnabled = VARIANT_FALSE; }, S_OK, false,
       "IsSecurityEnabled failed"},
      {"15 NumCallers", [](auto&, auto& c) { c.hrNumCallers = DISP_E_MEMBERNOTFOUND; },
       DISP_E_MEMBERNOTFOUND, false, "get_Item (NumCallers) failed"},
      {"16 Callers", [](auto&, auto& c) { c.hrCallers = E_OUTOFMEMORY; }, E_OUTOFMEMORY, false,
       "get_Item (Callers) failed"},
      {"17 Callers holds no object", [](auto&, auto& c) { c.eCallers = EC::kEmpty; }, S_OK, false,
       "(IUnknown *) failed"},
      {"17 no callers collection", [](auto&, auto& c) { c.eCallers = EC::kWithoutCollection; },
       E_NOINTERFACE, false, "QueryInterface failed"},
      {"17 query answers no collection", [](auto&, auto& c) { c.eCallers = EC::kNullFromQuery; },
       S_OK, false, "QueryInterface failed"},
      {"18 count", [](auto&, auto& c) { c.hrCount = DISP_E_EXCEPTION; }, DISP_E_EXCEPTION, false,
       "get_Count failed"},
      {"19 no callers", [](auto&, auto& c) { c.callers.clear(); }, S_OK, false, nullptr},
      {"19 a negative count", [](auto&, auto& c) { c.countOverride = -3; }, S_OK, false, nullptr},
      {"20 the owner ends the loop",
       [](auto&, auto& c) { c.callers.resize(1), c.callers.push_back(CContext::Caller(kOwner)); },
       S_OK, true, "ConvertSidToStringSid strSidCom = S-1-5-21-1111-2222-3333-1001"},
      {"20 an account of the group's domain",
       [](auto&, auto& c) { c.callers = {CContext::Caller(kSameDomain)}; }, S_OK, true,
       "EqualSid failed error = 0"},
      // The first EqualSid is the integrity test.
      {"20 a failed owner comparison leaves the domain to decide",
       FirstCallerFails(ECall::EqualSid, ERROR_INVALID_SID, 2), S_OK, true,
       "EqualSid failed error = 539"},
      {"21 a failed domain comparison matches nothing",
       [](auto& m, auto& c) {
         c.callers = {CContext::Caller(kSameDomain)};
         m.FailCall(ECall::EqualPrefixSid, ERROR_INVALID_SID, 1);
       },
       S_OK, false, "EqualprefixSid failed error = 539"},
      // Another authority, another domain part, another number of
      // sub-authorities: the platform's prefix comparison decides each.
      {"21 no caller matches",
       [](auto&, auto& c) {
         c.callers = {CContext::Caller(OLESTR("S-1-16-1111-2222-3333-1001")),
                      CContext::Caller(OLESTR("S-1-5-21-1111-2222-4444-1001")),
                      CContext::Caller(OLESTR("S-1-5-21-1111-2222-3333-1001-7"))};
       },
       S_OK, false, "EqualprefixSid failed error = 0"},
      // An unusable first caller ends the check untrusted: the owner after
      // it is never read.
      {"18.1 identity", FirstCaller([](auto& c) { c.hrIdentity = E_INVALIDARG; }), E_INVALIDARG,
       false, "get_Item failed"},
      {"18.1 no identity object", FirstCaller([](auto& c) { c.bNullIdentity = true; }), S_OK, false,
       "get_Item failed"},
      {"18.2 SID item", FirstCaller([](auto& c) { c.hrSid = DISP_E_MEMBERNOTFOUND; }),
       DISP_E_MEMBERNOTFOUND, false, "get_Item failed"},
      {"18.3 no array", FirstCaller([](auto& c) { c.bSidWithoutArray = true; }), S_OK, false,
       "SafeArrayAccessData failed"},
      {"18.3 lock", FirstCallerFails(ECall::SafeArrayAccessData, DWORD(E_UNEXPECTED)), E_UNEXPECTED,
       false, "SafeArrayAccessData failed"},
      {"18.3 unlock", FirstCallerFails(ECall::SafeArrayUnaccessData, DWORD(E_UNEXPECTED)),
       E_UNEXPECTED, false, "SafeArrayUnaccessData failed"},
      {"18.4 shorter than announced", FirstCaller([](auto& c) { c.sid.pop_back(); }), E_FAIL, false,
       "ConvertSidToStringSid failed"},
      {"18.4 empty SID", FirstCaller([](auto& c) { c.sid.clear(); }), E_FAIL, false,
       "ConvertSidToStringSid failed"},
      {"18.4 no text", FirstCallerFails(ECall::ConvertSidToStringSidW, kNoMemory, 3), E_FAIL, false,
       "ConvertSidToStringSid failed"},
  };
  return rows;
}

// Each path's HRESULT, answer, line and the invariants of every path: the
// privilege held around the opening only, everything obtained released,
// the flag only ever set and the same result without a flag. Then the user
// SID of the client, or the result of the failing step with the output
// left untouched. ModifyPrivs opens the host's token and allocates its
// request twice before the lookups do.
TEST(CheckClientCallerTest, EveryPathOfTheDecisionTable) {
  for (const SRow& row : Rows()) {
    SCOPED_TRACE(row.pszPath);
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
    BOOL bTrusted = FALSE;
    EXPECT_EQ(check(&bTrusted), row.hr);
    EXPECT_EQ(bTrusted != FALSE, row.bTrusted);
    EXPECT_TRUE(row.pszLine == nullptr || sink.Contains(row.bTrusted ? LOG_DETAIL : LOG_FAILURE,
                                                        Text("CheckClientCaller %s", row.pszLine)))
        << sink.Dump();
    const unsigned hr = static_cast<unsigned>(row.hr);
    EXPECT_TRUE(sink.Contains(
        LOG_NOTABLE, Text("CheckClientCaller dwClientProcessId = %u, bTrusted = %u, hr = 0x%x",
                          kClient, unsigned{row.bTrusted}, hr)));

    bTrusted = TRUE;
    EXPECT_EQ(check(&bTrusted), row.hr);
    EXPECT_TRUE(bTrusted);
    EXPECT_EQ(check(nullptr), row.hr);

    row.arm(machine, context);
    ZU::Framework::secwstring sSid(OLESTR("unchanged"));
    const char* pszUser = row.pszUserLine == kSameLine ? row.pszLine : row.pszUserLine;
    const HRESULT hrUser = pszUser != nullptr ? row.hr : S_OK;
    EXPECT_EQ(GetSIDUserFromProcessId(kClient, sSid), hrUser);
    EXPECT_EQ(OleString(sSid), pszUser != nullptr ? OLESTR("unchanged") : kUser);
    EXPECT_TRUE(pszUser == nullptr ||
                sink.Contains(LOG_FAILURE, Text("GetSIDUserFromProcessId %s", pszUser)))
        << sink.Dump();

    // All four calls held the privilege around the opening only, and
    // disabled it before the opening's result was looked at.
    std::vector<std::string> around;
    for (int i = 0; i < 4; ++i)
      around.insert(around.end(), kAroundTheOpening.begin(), kAroundTheOpening.end());
    const std::vector<std::string> privilegeAndOpen = PrivilegeAndOpen(machine);
    EXPECT_TRUE(row.eDebug != EDebug::kAround || privilegeAndOpen == around);
    EXPECT_TRUE(row.eDebug != EDebug::kEnableFails || privilegeAndOpen.empty());
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
