#include "serviceclient.h"

#include <cstdio>
#include <cstdlib>

#include "host/export.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
constexpr uid_t kNobody = 65534;

// Forks a child at low integrity that waits until the pipe closes. The
// child's pid, or -1.
pid_t StartLowChild(int* pHold) {
  int ready[2], hold[2];
  if (pipe(ready) != 0) return -1;
  if (pipe(hold) != 0) {
    close(ready[0]), close(ready[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]), close(hold[1]);
    const bool bRoot = geteuid() == 0;
    const bool bDropped =
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
        (!bRoot || (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0));
    const char c = bDropped ? 1 : 0;
    if (write(ready[1], &c, 1) != 1) _exit(1);
    char buffer;
    while (read(hold[0], &buffer, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]), close(hold[0]);
  char c = 0;
  const bool bReady = pid > 0 && read(ready[0], &c, 1) == 1 && c == 1;
  close(ready[0]);
  *pHold = hold[1];
  if (pid > 0 && !bReady) {
    close(hold[1]), waitpid(pid, nullptr, 0);
    *pHold = -1;
    return -1;
  }
  return pid;
}
#endif

}  // namespace

CServiceClient::~CServiceClient() {
  if (m_pManager != nullptr) m_pManager->Release();
#ifndef _WIN32
  if (m_childHold >= 0) close(m_childHold);
  if (m_childPid > 0) waitpid(static_cast<pid_t>(m_childPid), nullptr, 0);
#endif
}

bool CServiceClient::TakeCaller(KelmyrArgs& args, int* pExit) {
  *pExit = 2;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--pid") {
      char* pEnd = nullptr;
      const unsigned long ul =
          i + 1 < args.size() ? std::strtoul(args[i + 1].c_str(), &pEnd, 10) : 0;
      if (pEnd == nullptr || *pEnd != '\0' || args[i + 1].empty() || ul == 0 || ul > 0xFFFFFFFFul) {
        std::fprintf(stderr, "kelmyr %s: --pid needs a process id\n", m_pszCommand);
        return false;
      }
      m_ulPID = static_cast<ULONG>(ul);
      m_pszCaller = "named with --pid";
      args.erase(args.begin() + i, args.begin() + i + 2);
      return true;
    }
    if (args[i] == "--low") {
      args.erase(args.begin() + i);
#ifdef _WIN32
      std::fprintf(stderr,
                   "kelmyr %s: --low is not available on Windows; run kelmyr at low integrity "
                   "or name a trusted process with --pid\n",
                   m_pszCommand);
      return false;
#else
      m_childPid = StartLowChild(&m_childHold);
      if (m_childPid <= 0) {
        std::fprintf(stderr, "kelmyr %s: cannot start a low-integrity child\n", m_pszCommand);
        *pExit = 1;
        return false;
      }
      m_ulPID = static_cast<ULONG>(m_childPid);
      m_pszCaller = "a low-integrity child of kelmyr";
      return true;
#endif
    }
  }
  return true;
}

bool CServiceClient::Connect() {
  const HRESULT hr = CreateIDataStoreManagerInstance(reinterpret_cast<void**>(&m_pManager));
  if (FAILED(hr)) {
    Fail("CreateIDataStoreManagerInstance", hr);
    return false;
  }
  return true;
}

int CServiceClient::Fail(const char* pszWhat, HRESULT hr) const {
  std::fprintf(stderr, "kelmyr %s: %s failed: 0x%08lX %s\n", m_pszCommand, pszWhat,
               static_cast<unsigned long>(static_cast<ULONG>(hr)), HResultName(hr));
  if (hr == E_ACCESSDENIED || hr == RPC_E_CALL_COMPLETE) {
    std::fprintf(stderr,
                 "the service does not trust process %lu: run kelmyr at low integrity, use "
                 "--low, or name a trusted process with --pid (see the README)\n",
                 static_cast<unsigned long>(m_ulPID));
  }
  return 1;
}

const char* HResultName(HRESULT hr) noexcept {
  switch (hr) {
    case S_OK:
      return "S_OK";
    case S_FALSE:
      return "S_FALSE";
    case E_FAIL:
      return "E_FAIL (no such store, or the store cannot serve the caller's session)";
    case E_ACCESSDENIED:
      return "E_ACCESSDENIED (the caller is not trusted)";
    case E_OUTOFMEMORY:
      return "E_OUTOFMEMORY";
    case E_INVALIDARG:
      return "E_INVALIDARG (empty identifier, or no such item)";
    case E_POINTER:
      return "E_POINTER";
    case E_UNEXPECTED:
      return "E_UNEXPECTED (the registry changed while it was listed)";
    case E_NOTIMPL:
      return "E_NOTIMPL";
    case RPC_E_CALL_COMPLETE:
      return "RPC_E_CALL_COMPLETE (no COM+ call context to vouch for a caller that is not low "
             "integrity)";
    default:
      return "unknown HRESULT";
  }
}
