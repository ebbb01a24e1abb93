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
#include <tuple>
#include <vector>

#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

constexpr uid_t kNobodyId = 65534;

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

// How the parent judges a process: its integrity level, or 0 when it
// cannot.
DWORD JudgedRid(pid_t pid, SView* pView) {
  CMachineHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
  return process.Get() != nullptr && ReadToken(process.Get(), pView) ? pView->dwIntegrityRid : 0;
}

// How a child lowers itself; becoming another user needs root.
constexpr char kNoNewPrivs = 1, kNobody = 2;

// A child, made by fork or by the system call itself (without the C
// library's fork handlers), that for each byte through its socket lowers
// itself as the byte says and answers how it judges itself; it ends when
// the parent closes its end, which is returned.
pid_t StartChild(bool bRawFork, int* pParentEnd) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return -1;
  const pid_t child = bRawFork ? static_cast<pid_t>(syscall(SYS_fork)) : fork();
  if (child == 0) {
    close(ends[0]);
    for (char c; read(ends[1], &c, 1) > 0;) {
      const bool bSetUp = (!(c & kNoNewPrivs) || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) &&
                          (!(c & kNobody) || (setgroups(0, nullptr) == 0 &&
                                              setgid(kNobodyId) == 0 && setuid(kNobodyId) == 0));
      SView self;
      self.bOwnIds = GetCurrentProcessId() == static_cast<DWORD>(syscall(SYS_getpid)) &&
                     GetCurrentThreadId() == static_cast<DWORD>(syscall(SYS_gettid));
      if (!bSetUp || !ReadToken(GetCurrentProcess(), &self) ||
          write(ends[1], &self, sizeof self) != sizeof self) {
        _exit(1);
      }
    }
    _exit(0);
  }
  close(ends[1]);
  *pParentEnd = ends[0];
  return child;
}

bool Lower(int end, char c, SView* pSelf) {
  return write(end, &c, 1) == 1 && read(end, pSelf, sizeof *pSelf) == sizeof *pSelf;
}

TEST(ProcessIdentityTest, ChildJudgedByItselfAndByItsParent) {
  const bool bRoot = geteuid() == 0;
  constexpr DWORD kSystem = SECURITY_MANDATORY_SYSTEM_RID, kMedium = SECURITY_MANDATORY_MEDIUM_RID,
                  kLow = SECURITY_MANDATORY_LOW_RID;
  // How the child is made and lowers itself, its integrity as root and otherwise.
  const std::tuple<const char*, bool, char, DWORD, DWORD> kRows[] = {
      {"fork", false, 0, kSystem, kMedium},
      {"raw fork", true, 0, kSystem, kMedium},
      {"no new privileges", false, kNoNewPrivs, kSystem, kLow},
      {"another user", false, kNobody, kMedium, 0},
      {"another user, no new privileges", true, kNoNewPrivs | kNobody, kLow, 0},
  };
  // The parent has its id cached and its own token read before any fork.
  SView parent;
  ASSERT_TRUE(GetCurrentProcessId() == static_cast<DWORD>(getpid()) &&
              ReadToken(GetCurrentProcess(), &parent));
  for (const auto& [pszName, bRawFork, lowering, dwRootRid, dwUserRid] : kRows) {
    SCOPED_TRACE(pszName);
    if ((lowering & kNobody) && !bRoot) continue;
    int end = -1;
    const pid_t child = StartChild(bRawFork, &end);
    ASSERT_GT(child, 0);
    SView self, judged;
    // The child's own reading, then its parent's.
    const bool bRead = Lower(end, lowering, &self) && JudgedRid(child, &judged) != 0;
    close(end);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(bRead);
    const DWORD dwExpected = bRoot ? dwRootRid : dwUserRid;
    EXPECT_TRUE(self.bOwnIds && self.dwIntegrityRid == dwExpected &&
                judged.dwIntegrityRid == dwExpected);
    EXPECT_EQ(std::memcmp(self.user, judged.user, sizeof self.user), 0);
    EXPECT_EQ(std::memcmp(self.user, parent.user, sizeof self.user) == 0, !(lowering & kNobody));
  }
}

// The descriptor the layer keeps for a process's status file, or -1.
int KeptStatusDescriptor(pid_t pid) {
  const std::string target = "/proc/" + std::to_string(pid) + "/status";
  char link[64];
  for (int fd = 3; fd < 1024; ++fd) {
    const ssize_t cb = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
    if (cb > 0 && target == std::string_view(link, static_cast<size_t>(cb))) return fd;
  }
  return -1;
}

// Each opening reads the process anew: a process that lowered itself since
// it was last read is read lowered, and the id of a reaped process names
// the process that got it next (as root, which can choose the next id).
TEST(ProcessIdentityTest, EachOpeningReadsTheProcessNamedNow) {
  const bool bRoot = geteuid() == 0;
  const DWORD dwStarted = bRoot ? SECURITY_MANDATORY_SYSTEM_RID : SECURITY_MANDATORY_MEDIUM_RID;
  int end = -1;
  SView view;
  const pid_t lowered = StartChild(false, &end);
  ASSERT_GT(lowered, 0);
  EXPECT_EQ(JudgedRid(lowered, &view), dwStarted);
  // The host closes the kept descriptor and reuses its number: the file now
  // behind it is the host's, and stays open.
  const int kept = KeptStatusDescriptor(lowered), other = open("/dev/null", O_RDONLY);
  ASSERT_TRUE(kept >= 0 && other >= 0 && dup2(other, kept) == kept);
  SView self;
  ASSERT_TRUE(Lower(end, bRoot ? kNoNewPrivs | kNobody : kNoNewPrivs, &self));
  EXPECT_EQ(JudgedRid(lowered, &view), DWORD{SECURITY_MANDATORY_LOW_RID});
  struct stat reused = {}, opened = {};
  EXPECT_TRUE(fstat(kept, &reused) == 0 && fstat(other, &opened) == 0 &&
              reused.st_ino == opened.st_ino && reused.st_dev == opened.st_dev);
  close(kept), close(other), close(end);
  ASSERT_EQ(waitpid(lowered, nullptr, 0), lowered);

  FILE* pLastPid = fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (pLastPid == nullptr) GTEST_SKIP() << "the next process id cannot be chosen";
  std::fprintf(pLastPid, "%d", lowered - 1);
  fclose(pLastPid);
  const pid_t next = StartChild(false, &end);
  ASSERT_GT(next, 0);
  const DWORD dwNext = next == lowered ? JudgedRid(next, &view) : dwStarted;
  close(end);
  ASSERT_EQ(waitpid(next, nullptr, 0), next);
  if (next != lowered) GTEST_SKIP() << "another process took the id first";
  EXPECT_EQ(dwNext, dwStarted) << "the id's next process";
}

}  // namespace
