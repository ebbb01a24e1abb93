// Caller security on real Linux processes, through the platform layer: the
// trust check of an unprivileged process that gave up privilege gain, of
// root with the same flag and of an ordinary process, with and without a
// call context installed by the host; the user SID of real processes; and
// the host's privileges, whose removal is final.
//
// The tests run as root: the clients are children made unprivileged with
// setgid/setuid (and prctl(PR_SET_NO_NEW_PRIVS)), judged from the parent.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <comsvcs.h>

#include <functional>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_call_context.h"
#include "security/checkclient.h"
#include "security/privileges.h"
#include "security/processidentity.h"

namespace {

using ZU::Framework::secwstring;

constexpr uid_t kNobody = 65534;

// A child process with the identity asked for, alive until the object is
// destroyed. It only makes system calls between fork and its end.
class CChildProcess {
 public:
  CChildProcess(bool bUnprivileged, bool bNoNewPrivs) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(m_release) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(ready[0]);
      close(m_release[1]);
      char status = 'R';
      if (bUnprivileged &&
          (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        status = 'E';
      }
      if (bNoNewPrivs && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) status = 'E';
      if (write(ready[1], &status, 1) != 1) _exit(2);
      char release;
      while (read(m_release[0], &release, 1) < 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(m_release[0]);
    char status = 0;
    m_bReady = m_pid > 0 && read(ready[0], &status, 1) == 1 && status == 'R';
    close(ready[0]);
  }

  ~CChildProcess() { End(); }

  // Lets the child end and waits for it: its id then names no process.
  void End() {
    if (m_release[1] >= 0) close(m_release[1]);
    m_release[1] = -1;
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

  bool Ready() const { return m_bReady; }
  DWORD Pid() const { return static_cast<DWORD>(m_pid); }

 private:
  pid_t m_pid = -1;
  int m_release[2] = {-1, -1};
  bool m_bReady = false;
};

struct SJudgement {
  HRESULT hr;
  BOOL bTrusted;
};

SJudgement Judge(DWORD pid) {
  SJudgement judgement{S_OK, FALSE};
  judgement.hr = CheckClientCaller(pid, &judgement.bTrusted);
  return judgement;
}

// The SID of the same domain with another relative id.
std::basic_string<OLECHAR> WithRid(const secwstring& sid, const char* pszRid) {
  std::basic_string<OLECHAR> text(sid.substr(0, sid.rfind(u'-') + 1));
  for (const char* p = pszRid; *p != '\0'; ++p) text.push_back(static_cast<OLECHAR>(*p));
  return text;
}

class CallerNativeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "making unprivileged clients needs root";
  }
};

TEST_F(CallerNativeTest, UnprivilegedProcessWithoutPrivilegeGainIsTrusted) {
  CChildProcess child(true, true);
  ASSERT_TRUE(child.Ready());
  const SJudgement judgement = Judge(child.Pid());
  EXPECT_EQ(judgement.hr, S_OK);
  EXPECT_TRUE(judgement.bTrusted) << "low integrity, no call context needed";
  EXPECT_EQ(CheckClientCallerForMethod(OLESTR("CDataStore::GetData"), child.Pid()), S_OK);
}

TEST_F(CallerNativeTest, RootWithoutPrivilegeGainIsNotTrusted) {
  CChildProcess child(false, true);
  ASSERT_TRUE(child.Ready());
  const SJudgement judgement = Judge(child.Pid());
  EXPECT_EQ(judgement.hr, RPC_E_CALL_COMPLETE) << "no call context for this call";
  EXPECT_FALSE(judgement.bTrusted);
}

TEST_F(CallerNativeTest, OrdinaryProcessWithoutCallContextIsNotTrusted) {
  CChildProcess child(true, false);
  ASSERT_TRUE(child.Ready());
  const SJudgement judgement = Judge(child.Pid());
  EXPECT_EQ(judgement.hr, RPC_E_CALL_COMPLETE);
  EXPECT_FALSE(judgement.bTrusted);
  EXPECT_EQ(CheckClientCallerForMethod(OLESTR("CDataStore::GetData"), child.Pid()),
            RPC_E_CALL_COMPLETE);
}

// Owner and group of a process object are its effective user and group:
// the owner in the chain is trusted, so is an account of the machine
// domain; the local system account is of another domain.
TEST_F(CallerNativeTest, CallChainOfAnInstalledCallContext) {
  CChildProcess child(true, false);
  ASSERT_TRUE(child.Ready());
  secwstring sUser;
  ASSERT_EQ(GetSIDUserFromProcessId(child.Pid(), sUser), S_OK);

  struct SCase {
    std::basic_string<OLECHAR> caller;
    bool bTrusted;
  };
  const SCase cases[] = {
      {std::basic_string<OLECHAR>(sUser), true},
      {WithRid(sUser, "3000"), true},  // uid 1000 of the same machine
      {OLESTR("S-1-5-18"), false},
      {OLESTR("S-1-5-21-1-2-3-3000"), false},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.caller));
    CScriptedCallContext context;
    context.callers = {CScriptedCallContext::Caller(c.caller.c_str())};
    {
      CInstalledCallContext installed(&context);
      ASSERT_EQ(installed.Result(), S_OK);
      const SJudgement judgement = Judge(child.Pid());
      EXPECT_EQ(judgement.hr, S_OK);
      EXPECT_EQ(judgement.bTrusted != FALSE, c.bTrusted);
    }
    EXPECT_EQ(context.Outstanding(), 0);
  }
}

TEST_F(CallerNativeTest, UserSidsOfRealProcesses) {
  secwstring sSid;
  EXPECT_EQ(GetSIDUserFromProcessId(GetCurrentProcessId(), sSid), S_OK);
  EXPECT_EQ(sSid, secwstring(OLESTR("S-1-5-18")));

  CChildProcess child(true, false);
  ASSERT_TRUE(child.Ready());
  ASSERT_EQ(GetSIDUserFromProcessId(child.Pid(), sSid), S_OK);
  EXPECT_EQ(sSid.rfind(OLESTR("S-1-5-21-"), 0), 0u);
  EXPECT_EQ(sSid.substr(sSid.rfind(u'-') + 1), secwstring(OLESTR("132068"))) << "1000 + 2 * 65534";

  const DWORD pid = child.Pid();
  child.End();
  secwstring sUnchanged(OLESTR("unchanged"));
  EXPECT_EQ(GetSIDUserFromProcessId(pid, sUnchanged), E_ACCESSDENIED);
  EXPECT_EQ(sUnchanged, secwstring(OLESTR("unchanged")));
  EXPECT_EQ(Judge(pid).hr, E_ACCESSDENIED);
  EXPECT_EQ(Judge(0).hr, E_ACCESSDENIED);
}

// Another process's token can be read, not adjusted; an unprivileged
// process holds only what every account holds.
TEST_F(CallerNativeTest, TokensOfOtherProcessesAreReadOnly) {
  CChildProcess child(true, false);
  ASSERT_TRUE(child.Ready());
  HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.Pid());
  ASSERT_NE(hProcess, nullptr);
  HANDLE hToken = nullptr;
  SetLastError(0);
  EXPECT_FALSE(OpenProcessToken(hProcess, TOKEN_ADJUST_PRIVILEGES, &hToken));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  ASSERT_TRUE(OpenProcessToken(hProcess, MAXIMUM_ALLOWED, &hToken));
  TOKEN_PRIVILEGES request{};
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid.LowPart = 23;  // SeChangeNotifyPrivilege
  EXPECT_FALSE(AdjustTokenPrivileges(hToken, FALSE, &request, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});

  DWORD cb = 0;
  GetTokenInformation(hToken, TokenPrivileges, nullptr, 0, &cb);
  std::vector<BYTE> buffer(cb);
  ASSERT_TRUE(GetTokenInformation(hToken, TokenPrivileges, buffer.data(), cb, &cb));
  const auto* pPrivileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  std::vector<DWORD> held;
  for (DWORD i = 0; i < pPrivileges->PrivilegeCount; ++i) {
    held.push_back(pPrivileges->Privileges[i].Luid.LowPart);
  }
  // Shutdown, change notify, undock, working set, time zone.
  EXPECT_EQ(held, (std::vector<DWORD>{19, 23, 25, 33, 34}));
  CloseHandle(hToken);
  CloseHandle(hProcess);
}

// The attributes of one privilege in the current process's token, or
// 0xFFFFFFFF when it does not hold it.
DWORD HeldAttributes(LPCWSTR pszName) {
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, pszName, &luid)) return 0xFFFFFFFE;
  HANDLE hToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) return 0xFFFFFFFE;
  DWORD cb = 0;
  GetTokenInformation(hToken, TokenPrivileges, nullptr, 0, &cb);
  std::vector<BYTE> buffer(cb);
  DWORD attributes = 0xFFFFFFFF;
  if (GetTokenInformation(hToken, TokenPrivileges, buffer.data(), cb, &cb)) {
    const auto* pPrivileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < pPrivileges->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES* pEntry = pPrivileges->Privileges + i;
      if (pEntry->Luid.LowPart == luid.LowPart && pEntry->Luid.HighPart == luid.HighPart) {
        attributes = pEntry->Attributes;
      }
    }
  }
  CloseHandle(hToken);
  return attributes;
}

// Runs the steps in a child process, whose privileges may then change for
// good; the exit code is the number of the first step that failed.
int InChild(const std::function<int()>& steps) {
  const pid_t pid = fork();
  if (pid == 0) _exit(steps());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(CallerNativeTest, RemovalOfTheHostsPrivilegesIsFinal) {
  const int failedStep = InChild([] {
    if (ModifyPrivs(gHostUnneededPrivileges, kHostUnneededPrivilegeCount, PRIVILEGE_REMOVE) !=
        S_OK) {
      return 1;
    }
    for (LPCWSTR pszName : gHostUnneededPrivileges) {
      if (HeldAttributes(pszName) != 0xFFFFFFFF) return 2;
    }
    const LPCWSTR backup[] = {OLESTR("SeBackupPrivilege")};
    if (ModifyPrivs(backup, 1, PRIVILEGE_ENABLE) != S_OK) return 3;
    if (HeldAttributes(OLESTR("SeBackupPrivilege")) != 0xFFFFFFFF) return 5;
    // Root holds "SeDebugPrivilege" through CAP_SYS_PTRACE, and it was not
    // removed.
    const LPCWSTR debug[] = {gSeDebugPrivilege};
    if (ModifyPrivs(debug, 1, PRIVILEGE_DISABLE) != S_OK) return 6;
    if ((HeldAttributes(gSeDebugPrivilege) & SE_PRIVILEGE_ENABLED) != 0) return 7;
    if (ModifyPrivs(debug, 1, PRIVILEGE_ENABLE) != S_OK) return 8;
    if ((HeldAttributes(gSeDebugPrivilege) & SE_PRIVILEGE_ENABLED) == 0) return 9;
    const LPCWSTR unknown[] = {OLESTR("SeNoSuchPrivilege"), gSeDebugPrivilege};
    if (ModifyPrivs(unknown, 2, PRIVILEGE_DISABLE) != S_OK) return 10;
    if ((HeldAttributes(gSeDebugPrivilege) & SE_PRIVILEGE_ENABLED) != 0) return 11;
    return 0;
  });
  EXPECT_EQ(failedStep, 0);
}

}  // namespace
