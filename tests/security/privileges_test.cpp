// ModifyPrivs and the scoped debug privilege on the scripted machine: the
// request it builds, the names the system does not define, the failures of
// each step, and the finality of removal.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "security/privileges.h"

namespace {

using ECall = CScriptedMachine::ECall;

constexpr DWORD kDebugLuid = 20;
constexpr DWORD kBackupLuid = 17;

// The entries of a TOKEN_PRIVILEGES request, read bytewise.
std::vector<LUID_AND_ATTRIBUTES> Entries(const std::vector<BYTE>& request) {
  DWORD count = 0;
  std::memcpy(&count, request.data(), sizeof count);
  std::vector<LUID_AND_ATTRIBUTES> entries(count);
  if (count != 0) {
    std::memcpy(entries.data(), request.data() + sizeof(DWORD), count * sizeof entries[0]);
  }
  return entries;
}

class PrivilegesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
  }

  bool Logged(LONG lLevel, const std::basic_string<OLECHAR>& text) const {
    return sink.Contains(lLevel, text);
  }

  CRecordingLogSink sink;
  CScriptedMachine machine;
};

TEST_F(PrivilegesTest, OneRequestWithAnEntryPerName) {
  const LPCWSTR names[] = {OLESTR("SeDebugPrivilege"), OLESTR("SeBackupPrivilege")};
  EXPECT_EQ(ModifyPrivs(names, 2, PRIVILEGE_ENABLE), S_OK);

  EXPECT_EQ(machine.LastPrivilegeRequestLength(), 2u * 12 + 16);
  const std::vector<LUID_AND_ATTRIBUTES> entries = Entries(machine.LastPrivilegeRequest());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Luid.LowPart, kDebugLuid);
  EXPECT_EQ(entries[1].Luid.LowPart, kBackupLuid);
  for (const LUID_AND_ATTRIBUTES& entry : entries) {
    EXPECT_EQ(entry.Luid.HighPart, 0);
    EXPECT_EQ(entry.Attributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  }
  EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")),
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeBackupPrivilege")),
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED));

  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("ModifyPrivs")));
  EXPECT_TRUE(
      Logged(LOG_DETAIL, OLESTR("ModifyPrivs ConvertSecurityDescriptorToStringSecurityDescriptor "
                                "stringSecurityDescriptor = D:(A;;0x1fffff;;;SY)")))
      << sink.Dump();
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("ModifyPrivs The specified privilege is going to be "
                                        "enabled : SeDebugPrivilege")));
  EXPECT_TRUE(
      Logged(LOG_DETAIL, OLESTR("ModifyPrivs AdjustTokenPrivileges succeeded dwError = 0")));
  EXPECT_TRUE(Logged(LOG_NOTABLE, OLESTR("ModifyPrivs hProcessHandle = 0, hr = 0")));
  EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("ModifyPrivs hr = 0x0")));
}

TEST_F(PrivilegesTest, TheActionIsWrittenAsTheAttributes) {
  struct SAction {
    DWORD dwAction;
    const OLECHAR* pszMessage;  // null: the action has no message
  };
  const SAction actions[] = {
      {PRIVILEGE_DISABLE,
       OLESTR("ModifyPrivs The specified privilege is going to be disabled : SeBackupPrivilege")},
      {PRIVILEGE_REMOVE,
       OLESTR("ModifyPrivs The specified privilege is going to be removed : SeBackupPrivilege")},
      {SE_PRIVILEGE_ENABLED_BY_DEFAULT, nullptr},
  };
  const LPCWSTR names[] = {OLESTR("SeBackupPrivilege")};
  for (const SAction& action : actions) {
    sink.Clear();
    EXPECT_EQ(ModifyPrivs(names, 1, action.dwAction), S_OK);
    const std::vector<LUID_AND_ATTRIBUTES> entries = Entries(machine.LastPrivilegeRequest());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Attributes, action.dwAction);
    size_t messages = 0;
    for (const auto& text : sink.Texts()) {
      if (text.find(OLESTR("is going to be")) != std::basic_string<OLECHAR>::npos) ++messages;
    }
    EXPECT_EQ(messages, action.pszMessage != nullptr ? 1u : 0u) << action.dwAction;
    if (action.pszMessage != nullptr) {
      EXPECT_TRUE(Logged(LOG_DETAIL, action.pszMessage));
    }
  }
}

// A name this system does not define is passed over: its entry stays zero
// and still counts, and the token reports what it did not have.
TEST_F(PrivilegesTest, UnknownNameIsPassedOver) {
  const LPCWSTR names[] = {OLESTR("SeDebugPrivilege"), OLESTR("SeNoSuchPrivilege"),
                           OLESTR("SeBackupPrivilege")};
  EXPECT_EQ(ModifyPrivs(names, 3, PRIVILEGE_ENABLE), S_OK);
  const std::vector<LUID_AND_ATTRIBUTES> entries = Entries(machine.LastPrivilegeRequest());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].Luid.LowPart, 0u);
  EXPECT_EQ(entries[1].Luid.HighPart, 0);
  EXPECT_EQ(entries[1].Attributes, 0u);
  EXPECT_EQ(entries[2].Luid.LowPart, kBackupLuid);
  EXPECT_NE(machine.PrivilegeAttributes(OLESTR("SeBackupPrivilege")) & SE_PRIVILEGE_ENABLED, 0u);

  EXPECT_TRUE(Logged(LOG_FAILURE, OLESTR("ModifyPrivs LookupPrivilegeValue failed dwError = 521")));
  EXPECT_TRUE(
      Logged(LOG_DETAIL,
             OLESTR("ModifyPrivs The specified privilege does not exist : SeNoSuchPrivilege")));
  EXPECT_TRUE(
      Logged(LOG_DETAIL, OLESTR("ModifyPrivs AdjustTokenPrivileges succeeded dwError = 514")));
}

// Any other lookup failure ends the call before any privilege changes.
TEST_F(PrivilegesTest, OtherLookupFailureChangesNothing) {
  const LPCWSTR names[] = {OLESTR("SeDebugPrivilege"), OLESTR("SeBackupPrivilege")};
  machine.FailCall(ECall::LookupPrivilegeValueW, RPC_S_SERVER_UNAVAILABLE, 2);
  EXPECT_EQ(ModifyPrivs(names, 2, PRIVILEGE_ENABLE), E_FAIL);
  EXPECT_EQ(machine.Calls(ECall::AdjustTokenPrivileges), 0u);
  EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeDebugPrivilege")), 0u);
  EXPECT_TRUE(Logged(LOG_FAILURE, OLESTR("ModifyPrivs LookupPrivilegeValue failed dwError = 6ba")));
  EXPECT_TRUE(Logged(LOG_NOTABLE, OLESTR("ModifyPrivs hProcessHandle = 0, hr = 80004005")));
}

// After the start-time removal, enabling a removed privilege still succeeds
// and grants nothing; "SeDebugPrivilege" is not removed.
TEST_F(PrivilegesTest, EnablingARemovedPrivilegeGrantsNothing) {
  EXPECT_EQ(ModifyPrivs(gHostUnneededPrivileges, kHostUnneededPrivilegeCount, PRIVILEGE_REMOVE),
            S_OK);
  EXPECT_EQ(machine.LastPrivilegeRequestLength(), 26u * 12 + 16);
  for (LPCWSTR pszName : gHostUnneededPrivileges) {
    EXPECT_EQ(machine.PrivilegeAttributes(pszName), CScriptedMachine::kNotHeld);
  }

  const LPCWSTR backup[] = {OLESTR("SeBackupPrivilege")};
  sink.Clear();
  EXPECT_EQ(ModifyPrivs(backup, 1, PRIVILEGE_ENABLE), S_OK);
  EXPECT_EQ(machine.PrivilegeAttributes(OLESTR("SeBackupPrivilege")), CScriptedMachine::kNotHeld);
  EXPECT_TRUE(
      Logged(LOG_DETAIL, OLESTR("ModifyPrivs AdjustTokenPrivileges succeeded dwError = 514")));

  const LPCWSTR debug[] = {gSeDebugPrivilege};
  EXPECT_EQ(ModifyPrivs(debug, 1, PRIVILEGE_ENABLE), S_OK);
  EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege),
            static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  EXPECT_EQ(ModifyPrivs(debug, 1, PRIVILEGE_DISABLE), S_OK);
  EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege), 0u);
}

// Every failing step gives E_FAIL with its own line and changes nothing.
TEST_F(PrivilegesTest, EachFailingStepGivesFail) {
  struct SStep {
    ECall eCall;
    DWORD dwError;
    const OLECHAR* pszLine;
  };
  const SStep steps[] = {
      {ECall::GetSecurityInfo, ERROR_ACCESS_DENIED,
       OLESTR("ModifyPrivs GetSecurityInfo failed with error 0x5")},
      {ECall::ConvertSecurityDescriptorToStringSecurityDescriptorW, ERROR_NOT_ENOUGH_MEMORY,
       OLESTR("ModifyPrivs ConvertSecurityDescriptorToStringSecurityDescriptor failed with error "
              "0x8")},
      {ECall::OpenProcess, ERROR_ACCESS_DENIED,
       OLESTR("ModifyPrivs: OpenProcess() failed dwError = 5")},
      {ECall::OpenProcessToken, ERROR_ACCESS_DENIED,
       OLESTR("ModifyPrivs OpenProcessToken failed dwError = 5")},
      {ECall::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY, OLESTR("ModifyPrivs NULL == pbBuff")},
      {ECall::AdjustTokenPrivileges, ERROR_INVALID_PARAMETER,
       OLESTR("ModifyPrivs AdjustTokenPrivileges failed dwError = 57")},
  };
  const LPCWSTR names[] = {gSeDebugPrivilege};
  for (const SStep& step : steps) {
    SCOPED_TRACE(ToUtf8(step.pszLine));
    sink.Clear();
    machine.FailCall(step.eCall, step.dwError);
    EXPECT_EQ(ModifyPrivs(names, 1, PRIVILEGE_ENABLE), E_FAIL);
    EXPECT_TRUE(Logged(LOG_FAILURE, step.pszLine)) << sink.Dump();
    EXPECT_TRUE(Logged(LOG_DETAIL, OLESTR("ModifyPrivs hr = 0x80004005")));
    EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege), 0u);
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.OutstandingAllocations(), 0u);
  }
}

TEST_F(PrivilegesTest, EmptyAndMissingLists) {
  EXPECT_EQ(ModifyPrivs(nullptr, 0, PRIVILEGE_ENABLE), S_OK);
  EXPECT_EQ(Entries(machine.LastPrivilegeRequest()).size(), 0u);
  EXPECT_EQ(machine.LastPrivilegeRequestLength(), 16u);

  const unsigned adjustments = machine.Calls(ECall::AdjustTokenPrivileges);
  EXPECT_EQ(ModifyPrivs(nullptr, 2, PRIVILEGE_ENABLE), E_FAIL);
  EXPECT_EQ(machine.Calls(ECall::AdjustTokenPrivileges), adjustments);
}

TEST_F(PrivilegesTest, DebugPrivilegeScopeDisablesOnEveryPath) {
  {
    CDebugPrivilegeScope debug;
    EXPECT_EQ(debug.Enable(), S_OK);
    EXPECT_NE(machine.PrivilegeAttributes(gSeDebugPrivilege) & SE_PRIVILEGE_ENABLED, 0u);
  }
  EXPECT_EQ(machine.PrivilegeAttributes(gSeDebugPrivilege), 0u) << "disabled when the scope ends";

  {
    CDebugPrivilegeScope debug;
    EXPECT_EQ(debug.Enable(), S_OK);
    EXPECT_EQ(debug.Disable(), S_OK);
  }
  EXPECT_EQ(machine.Calls(ECall::AdjustTokenPrivileges), 4u)
      << "an explicit disable is not repeated";

  {
    CDebugPrivilegeScope debug;
    machine.FailCall(ECall::AdjustTokenPrivileges, ERROR_ACCESS_DENIED);
    EXPECT_EQ(debug.Enable(), E_FAIL);
  }
  EXPECT_EQ(machine.Calls(ECall::AdjustTokenPrivileges), 5u)
      << "nothing to disable after a failure";
}

}  // namespace
