// ModifyPrivs and the scoped debug privilege on the scripted machine: the
// request it builds for each action, the names the system does not define,
// and a privilege the token no longer holds. (The failure of each step is
// a row of the trust check's table.)

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "security/privileges.h"

namespace {

const OLECHAR kBackup[] = OLESTR("SeBackupPrivilege");

class PrivilegesTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(machine.Unreleased(), 0u); }

  CRecordingLogSink sink;
  CScriptedMachine machine;
};

// One request of count x 12 + 16 bytes, an entry per name in order with the
// action as its attributes and its line; a name the system does not define
// keeps a zero entry (its line the real machine's test shows).
TEST_F(PrivilegesTest, OneRequestWithAnEntryPerName) {
  const struct {
    LPCWSTR pszFirst;  // followed by kBackup
    DWORD dwAction;
    bool bDefined;
    const OLECHAR* pszVerb;  // of the action's line; null: none
  } rows[] = {
      {gSeDebugPrivilege, PRIVILEGE_ENABLE, true, OLESTR("enabled")},
      {gSeDebugPrivilege, PRIVILEGE_DISABLE, true, OLESTR("disabled")},
      {gSeDebugPrivilege, SE_PRIVILEGE_ENABLED_BY_DEFAULT, true, nullptr},
      {OLESTR("SeNoSuchPrivilege"), PRIVILEGE_ENABLE, false, OLESTR("enabled")},
      {gSeDebugPrivilege, PRIVILEGE_REMOVE, true, OLESTR("removed")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dwAction);
    sink.Clear();
    const LPCWSTR names[] = {row.pszFirst, kBackup};
    EXPECT_EQ(ModifyPrivs(names, 2, row.dwAction), S_OK);
    const std::vector<std::string> trace = machine.Trace();
    const std::string attributes = "=" + std::to_string(row.dwAction);
    EXPECT_EQ(std::vector<std::string>(trace.end() - 3, trace.end()),
              std::vector<std::string>({"AdjustTokenPrivileges 40",
                                        row.bDefined ? "SeDebugPrivilege" + attributes : "?=0",
                                        "SeBackupPrivilege" + attributes}));
    EXPECT_TRUE(
        row.pszVerb == nullptr ||
        sink.Contains(LOG_DETAIL, OleString(OLESTR("ModifyPrivs The specified privilege is going "
                                                   "to be ")) +
                                      row.pszVerb + OLESTR(" : SeBackupPrivilege")))
        << sink.Dump();
  }
  EXPECT_EQ(ModifyPrivs(nullptr, 0, PRIVILEGE_ENABLE), S_OK);
  EXPECT_EQ(machine.Trace().back(), "AdjustTokenPrivileges 16");
  EXPECT_EQ(ModifyPrivs(nullptr, 2, PRIVILEGE_ENABLE), E_FAIL) << "names missing";
}

// A privilege the token no longer holds is no failure to enable, and the
// scoped debug privilege is disabled when the scope ends.
TEST_F(PrivilegesTest, RemovedIsNoFailureAndTheDebugScopeDisablesAtItsEnd) {
  const LPCWSTR backup[] = {kBackup};
  EXPECT_EQ(ModifyPrivs(backup, 1, PRIVILEGE_REMOVE), S_OK);
  EXPECT_EQ(ModifyPrivs(backup, 1, PRIVILEGE_ENABLE), S_OK);
  {
    CDebugPrivilegeScope debug;
    EXPECT_EQ(debug.Enable(), S_OK);
    EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege), DWORD{SE_PRIVILEGE_ENABLED});
  }
  EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege), 0u);
}

}  // namespace
