// GetSIDUserFromProcessId on the scripted machine: the user SID of a
// process, the result of each failing step, and the output left untouched
// by every failure.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "security/processidentity.h"

namespace {

using ECall = CScriptedMachine::ECall;
using ZU::Framework::secwstring;

constexpr DWORD kClient = 1234;  // 0x4d2

TEST(GetSIDUserFromProcessIdTest, GivesTheUserSidOfTheProcess) {
  CRecordingLogSink sink;
  CScriptedMachine machine;
  machine.Process(kClient).user = OLESTR("S-1-5-21-7-8-9-1105");
  secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(kClient, sSid), S_OK);
  EXPECT_EQ(sSid, secwstring(OLESTR("S-1-5-21-7-8-9-1105")));

  EXPECT_TRUE(sink.Contains(LOG_ENTRY, OLESTR("GetSIDUserFromProcessId")));
  EXPECT_TRUE(sink.Contains(LOG_EXIT, OLESTR("GetSIDUserFromProcessId hr = 0x0")));
  EXPECT_TRUE(sink.Contains(
      LOG_NOTABLE,
      OLESTR("GetSIDUserFromProcessId ConvertSidToStringSid strSidUser = S-1-5-21-7-8-9-1105")));
  std::vector<std::string> around;
  for (const std::string& line : machine.Trace()) {
    if (line.rfind("SeDebugPrivilege=", 0) == 0 || line == "OpenProcess 1234")
      around.push_back(line);
  }
  EXPECT_EQ(around, (std::vector<std::string>{"SeDebugPrivilege=2", "OpenProcess 1234",
                                              "SeDebugPrivilege=0"}));
  EXPECT_EQ(machine.OpenHandles(), 0u);
  EXPECT_EQ(machine.OutstandingAllocations(), 0u);
}

TEST(GetSIDUserFromProcessIdTest, LocalSystemProcess) {
  CScriptedMachine machine;
  secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(machine.dwProcessId, sSid), S_OK);
  EXPECT_EQ(sSid, secwstring(OLESTR("S-1-5-18")));
}

TEST(GetSIDUserFromProcessIdTest, EachFailureLeavesTheOutputAlone) {
  struct SFailure {
    const char* pszCase;
    std::function<void(CScriptedMachine&)> arm;
    HRESULT hr;
    const OLECHAR* pszLine;
  };
  // ModifyPrivs opens the host's token and allocates its request twice
  // before the lookup does.
  const std::vector<SFailure> failures = {
      {"exited process", [](CScriptedMachine& m) { m.Process(kClient).bGone = true; },
       E_ACCESSDENIED,
       OLESTR("GetSIDUserFromProcessId OpenProcess(0x4d2) failed with error code 0x57")},
      {"privilege not enabled",
       [](CScriptedMachine& m) {
         m.FailCall(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 1);
       },
       E_FAIL, OLESTR("GetSIDUserFromProcessId ModifyPrivs failed")},
      {"privilege not disabled",
       [](CScriptedMachine& m) {
         m.FailCall(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED, 2);
       },
       E_FAIL, OLESTR("GetSIDUserFromProcessId ModifyPrivs failed")},
      {"token",
       [](CScriptedMachine& m) { m.FailCall(ECall::OpenProcessToken, ERROR_ACCESS_DENIED, 3); },
       E_ACCESSDENIED,
       OLESTR("GetSIDUserFromProcessId OpenProcessToken failed with error code 0x5")},
      {"size query",
       [](CScriptedMachine& m) { m.FailCall(ECall::GetTokenInformation, ERROR_INVALID_HANDLE, 1); },
       E_ACCESSDENIED,
       OLESTR("GetSIDUserFromProcessId GetTokenInformation failed with error code 0x6")},
      {"allocation",
       [](CScriptedMachine& m) { m.FailCall(ECall::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY, 3); },
       E_OUTOFMEMORY, OLESTR("GetSIDUserFromProcessId GlobalAlloc failed")},
      {"read",
       [](CScriptedMachine& m) { m.FailCall(ECall::GetTokenInformation, ERROR_ACCESS_DENIED, 2); },
       E_ACCESSDENIED,
       OLESTR("GetSIDUserFromProcessId GetTokenInformation failed with error code 0x5")},
      {"text",
       [](CScriptedMachine& m) { m.FailCall(ECall::ConvertSidToStringSidW, ERROR_INVALID_SID, 1); },
       E_FAIL, OLESTR("GetSIDUserFromProcessId ConvertSidToStringSid failed")},
  };
  for (const SFailure& failure : failures) {
    SCOPED_TRACE(failure.pszCase);
    CRecordingLogSink sink;
    CScriptedMachine machine;
    machine.Process(kClient);
    failure.arm(machine);
    secwstring sSid(OLESTR("unchanged"));
    EXPECT_EQ(GetSIDUserFromProcessId(kClient, sSid), failure.hr);
    EXPECT_EQ(sSid, secwstring(OLESTR("unchanged")));
    EXPECT_TRUE(sink.Contains(LOG_FAILURE, failure.pszLine)) << sink.Dump();
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
  }
}

}  // namespace
