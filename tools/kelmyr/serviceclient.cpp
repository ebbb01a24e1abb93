#include "serviceclient.h"

#include <cstdio>
#include <cstdlib>

#include <oleauto.h>

#include "support/utf8.h"

#ifndef _WIN32
#include <grp.h>
#include <limits.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using WideString = std::basic_string<WCHAR>;

#ifdef _WIN32
constexpr WCHAR kModuleFile[] = OLESTR("qv.kelmyr.dll");
#else
constexpr WCHAR kModuleFile[] = OLESTR("qv.kelmyr.so");
#endif

// The module file registered for the DataStoreManager class, or empty.
WideString RegisteredModule() {
  WCHAR szClsid[40] = {};
  if (StringFromGUID2(CLSID_DataStoreManager, szClsid, 40) == 0) return {};
  WideString key = OLESTR("CLSID\\");
  key += szClsid;
  key += OLESTR("\\InprocServer32");
  const DWORD dwFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ;
  DWORD cb = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, dwFlags, nullptr, nullptr, &cb) !=
          ERROR_SUCCESS ||
      cb < sizeof(WCHAR)) {
    return {};
  }
  WideString path(cb / sizeof(WCHAR), 0);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, dwFlags, nullptr, path.data(), &cb) !=
      ERROR_SUCCESS) {
    return {};
  }
  path.resize(std::char_traits<WCHAR>::length(path.c_str()));
  return path;
}

// The module file in the folder of kelmyr's executable.
WideString ModuleBesideTool() {
#ifdef _WIN32
  WCHAR szExe[MAX_PATH];
  const DWORD cch = GetModuleFileNameW(nullptr, szExe, MAX_PATH);
  WideString path(szExe, cch > 0 && cch < MAX_PATH ? cch : 0);
#else
  char szExe[PATH_MAX];
  const ssize_t cb = readlink("/proc/self/exe", szExe, sizeof szExe);
  WideString path = Utf8ToUtf16(std::string_view(szExe, cb > 0 ? size_t(cb) : 0));
#endif
  const size_t slash = path.find_last_of(OLESTR("/\\"));
  path.erase(slash == WideString::npos ? 0 : slash + 1);
  return path + kModuleFile;
}

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
  if (m_hModule != nullptr) {
    // A module that still runs something (a thread that has not yet ended)
    // says so and stays loaded for the rest of the process.
    using PFNCANUNLOAD = HRESULT(WINAPI*)();
    const auto pfnCanUnload = reinterpret_cast<PFNCANUNLOAD>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "DllCanUnloadNow")));
    if (pfnCanUnload == nullptr || pfnCanUnload() == S_OK) FreeLibrary(m_hModule);
  }
#ifndef _WIN32
  if (m_childHold >= 0) close(m_childHold);
  if (m_childPid > 0) waitpid(static_cast<pid_t>(m_childPid), nullptr, 0);
#endif
}

bool CServiceClient::TakeModule(KelmyrArgs& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--module") continue;
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      std::fprintf(stderr, "kelmyr %s: --module needs the path of the module\n", m_pszCommand);
      return false;
    }
    m_module = args[i + 1];
    args.erase(args.begin() + i, args.begin() + i + 2);
    break;
  }
  return true;
}

bool CServiceClient::TakeOptions(KelmyrArgs& args, int* pExit) {
  *pExit = 2;
  if (!TakeModule(args)) return false;
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

bool CServiceClient::Load() {
  if (m_pfnCreate != nullptr) return true;
  WideString path;
  const char* pszFrom = "named with --module";
  if (!m_module.empty()) {
    // A bare file name means the one in the current folder, not a search.
    path = Utf8ToUtf16(m_module.find_first_of("/\\") == std::string::npos ? "./" + m_module
                                                                          : m_module);
  } else if (path = RegisteredModule(); !path.empty()) {
    pszFrom = "registered for the DataStoreManager class";
  } else {
    path = ModuleBesideTool();
    pszFrom = "beside kelmyr; name another with --module PATH";
  }
  m_hModule = LoadLibraryW(path.c_str());
  if (m_hModule == nullptr) {
    std::fprintf(stderr, "kelmyr %s: cannot load the module %s (%s): error %lu\n", m_pszCommand,
                 Utf16ToUtf8(path).c_str(), pszFrom, static_cast<unsigned long>(GetLastError()));
    return false;
  }
  m_pfnCreate = reinterpret_cast<PFNCREATE>(
      reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, "CreateIDataStoreManagerInstance")));
  if (m_pfnCreate == nullptr) {
    std::fprintf(stderr, "kelmyr %s: the module %s (%s) has no CreateIDataStoreManagerInstance\n",
                 m_pszCommand, Utf16ToUtf8(path).c_str(), pszFrom);
    return false;
  }
  return true;
}

HRESULT CServiceClient::NewManager(IDataStoreManager** ppManager) const {
  if (m_pfnCreate == nullptr) return E_UNEXPECTED;
  return m_pfnCreate(reinterpret_cast<void**>(ppManager));
}

bool CServiceClient::Connect() {
  if (!Load()) return false;
  const HRESULT hr = NewManager(&m_pManager);
  if (FAILED(hr)) {
    Fail("CreateIDataStoreManagerInstance", hr);
    return false;
  }
  std::printf("calling on behalf of process %lu (%s)\n", static_cast<unsigned long>(m_ulPID),
              m_pszCaller);
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

CScopedBSTR Bstr(const std::string& s) {
  return CScopedBSTR(SysAllocString(Utf8ToUtf16(s).c_str()));
}

std::vector<std::string> BstrElements(SAFEARRAY* psa) {
  std::vector<std::string> strings;
  for (LONG i = 0; psa != nullptr && i < LONG(psa->rgsabound[0].cElements); ++i) {
    CScopedBSTR bstr;
    if (SUCCEEDED(SafeArrayGetElement(psa, &i, bstr.Receive())) && bstr.Get()) {
      strings.push_back(Utf16ToUtf8(bstr.Get()));
    }
  }
  return strings;
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

std::vector<KelmyrArgs> SplitOperations(const KelmyrArgs& args) {
  std::vector<KelmyrArgs> ops(1);
  for (const std::string& a : args) {
    if (a == "+") {
      ops.emplace_back();
    } else {
      ops.back().push_back(a);
    }
  }
  return ops;
}
