// The Linux layer's two readings of a process's identity agree: a child
// process, made by each kind of fork and set up as each row says, judges
// itself (from its own credentials, with the ids it caches) and is judged
// by its parent (from /proc, through OpenProcess); both must give the
// integrity level the row expects and the same user. A process is read
// anew at each opening, also through the status file kept open for it.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

constexpr uid_t kNobody = 65534;

// What a process says of itself, or its parent of it.
struct SView {
  BOOL bOwnIds = FALSE;  // the ids the layer gives are those of the kernel
  DWORD dwIntegrityRid = 0;
  BYTE user[68] = {};
};

bool ReadToken(HANDLE hProcess, SView* pView) {
  CMachineHandle token;
  if (!OpenProcessToken(hProcess, TOKEN_QUERY, token.Receive())) return false;
  const std::vector<BYTE> label = TokenInformation(token.Get(), TokenIntegrityLevel);
  const std::vector<BYTE> user = TokenInformation(token.Get(), TokenUser);
  if (label.empty() || user.empty()) return false;
  PSID pLabel = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
  pView->dwIntegrityRid = *GetSidSubAuthority(pLabel, 0);
  PSID pUser = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  std::memcpy(pView->user, pUser, GetLengthSid(pUser));
  return true;
}

struct SRow {
  const char* pszName;
  bool bRawFork;  // the system call itself, without the C library's fork handlers
  bool bNoNewPrivs;
  bool bNobody;  // needs root
  DWORD dwRootRid;
  DWORD dwUserRid;  // when not run as root
};

TEST(ProcessIdentityTest, ChildJudgedByItselfAndByItsParent) {
  const bool bRoot = geteuid() == 0;
  const SRow kRows[] = {
      {"fork", false, false, false, SECURITY_MANDATORY_SYSTEM_RID, SECURITY_MANDATORY_MEDIUM_RID},
      {"raw fork", true, false, false, SECURITY_MANDATORY_SYSTEM_RID,
       SECURITY_MANDATORY_MEDIUM_RID},
      {"no new privileges", false, true, false, SECURITY_MANDATORY_SYSTEM_RID,
       SECURITY_MANDATORY_LOW_RID},
      {"another user", false, false, true, SECURITY_MANDATORY_MEDIUM_RID, 0},
      {"another user, no new privileges", true, true, true, SECURITY_MANDATORY_LOW_RID, 0},
  };
  // The parent has its id cached and its own token read before any fork.
  SView parent;
  ASSERT_TRUE(GetCurrentProcessId() == static_cast<DWORD>(getpid()) &&
              ReadToken(GetCurrentProcess(), &parent));
  for (const SRow& row : kRows) {
    SCOPED_TRACE(row.pszName);
    if (row.bNobody && !bRoot) continue;
    int report[2], hold[2];
    ASSERT_TRUE(pipe(report) == 0 && pipe(hold) == 0);
    const pid_t child = row.bRawFork ? static_cast<pid_t>(syscall(SYS_fork)) : fork();
    if (child == 0) {
      close(report[0]);
      close(hold[1]);
      const bool bSetUp = (!row.bNoNewPrivs || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) &&
                          (!row.bNobody || (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
                                            setuid(kNobody) == 0));
      SView self;
      self.bOwnIds = GetCurrentProcessId() == static_cast<DWORD>(syscall(SYS_getpid)) &&
                     GetCurrentThreadId() == static_cast<DWORD>(syscall(SYS_gettid));
      const bool bRead = bSetUp && ReadToken(GetCurrentProcess(), &self);
      if (!bRead || write(report[1], &self, sizeof self) != sizeof self) _exit(1);
      char c;
      while (read(hold[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    ASSERT_GT(child, 0);
    close(report[1]);
    close(hold[0]);
    SView self;
    const bool bReported = read(report[0], &self, sizeof self) == sizeof self;
    SView judged;
    CMachineHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child));
    const bool bJudged = process.Get() != nullptr && ReadToken(process.Get(), &judged);
    close(hold[1]);
    close(report[0]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(bReported && bJudged);
    EXPECT_TRUE(self.bOwnIds);
    const DWORD dwExpected = bRoot ? row.dwRootRid : row.dwUserRid;
    EXPECT_EQ(self.dwIntegrityRid, dwExpected);
    EXPECT_EQ(judged.dwIntegrityRid, dwExpected);
    EXPECT_EQ(std::memcmp(self.user, judged.user, sizeof self.user), 0);
    EXPECT_EQ(std::memcmp(self.user, parent.user, sizeof self.user) == 0, !row.bNobody);
  }
}

// What the parent reads of a process's integrity level; 0 when it cannot.
DWORD JudgedRid(pid_t pid) {
  SView view;
  CMachineHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
  return process.Get() != nullptr && ReadToken(process.Get(), &view) ? view.dwIntegrityRid : 0;
}

// The descriptor the layer keeps for a process's status file, or -1.
int KeptStatusDescriptor(pid_t pid) {
  const std::string target = "/proc/" + std::to_string(pid) + "/status";
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64] = {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t cb = readlink(path.c_str(), link, sizeof link - 1);
    if (cb > 0 && target == link) return fd;
  }
  return -1;
}

// A child that, each time a byte comes through its socket, lowers itself
// (no new privileges, and as root another user) and answers; it ends when
// the parent closes its end, which is returned.
pid_t StartLowering(int* pParentEnd) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    for (char c; read(ends[1], &c, 1) > 0;) {
      c = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
          (geteuid() != 0 || (setgid(kNobody) == 0 && setuid(kNobody) == 0));
      if (write(ends[1], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  close(ends[1]);
  *pParentEnd = ends[0];
  return child;
}

// Each opening reads the process anew: a process that lowered itself since
// it was last read is read lowered, and the id of a reaped process names
// the process that got it next (as root, which can choose the next id).
TEST(ProcessIdentityTest, EachOpeningReadsTheProcessNamedNow) {
  const DWORD dwStarted =
      geteuid() == 0 ? SECURITY_MANDATORY_SYSTEM_RID : SECURITY_MANDATORY_MEDIUM_RID;
  int end = -1;
  const pid_t lowered = StartLowering(&end);
  ASSERT_GT(lowered, 0);
  EXPECT_EQ(JudgedRid(lowered), dwStarted);
  // The host closes the kept descriptor and reuses its number: the file now
  // behind it is the host's, and stays open.
  const int kept = KeptStatusDescriptor(lowered), other = open("/dev/null", O_RDONLY);
  ASSERT_TRUE(kept >= 0 && other >= 0 && dup2(other, kept) == kept);
  char c = 1;
  ASSERT_TRUE(write(end, &c, 1) == 1 && read(end, &c, 1) == 1 && c == 1);
  EXPECT_EQ(JudgedRid(lowered), DWORD{SECURITY_MANDATORY_LOW_RID});
  struct stat reused = {}, opened = {};
  EXPECT_TRUE(fstat(kept, &reused) == 0 && fstat(other, &opened) == 0 &&
              reused.st_ino == opened.st_ino && reused.st_dev == opened.st_dev);
  close(kept), close(other);
  close(end);
  ASSERT_EQ(waitpid(lowered, nullptr, 0), lowered);

  FILE* pLastPid = fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (pLastPid == nullptr) GTEST_SKIP() << "the next process id cannot be chosen";
  std::fprintf(pLastPid, "%d", lowered - 1);
  fclose(pLastPid);
  const pid_t next = StartLowering(&end);
  ASSERT_GT(next, 0);
  const DWORD dwNext = next == lowered ? JudgedRid(next) : dwStarted;
  close(end);
  ASSERT_EQ(waitpid(next, nullptr, 0), next);
  if (next != lowered) GTEST_SKIP() << "another process took the id first";
  EXPECT_EQ(dwNext, dwStarted) << "the id's next process";
}

}  // namespace
