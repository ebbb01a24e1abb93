// What the commands that drive the service share: the module they load, the
// client process they call on behalf of, the manager from the module's
// export, and failures told by the name of their HRESULT.
//
// The module is the one "--module PATH" names; else the one registered for
// the DataStoreManager class (its InprocServer32 key); else the module file
// in kelmyr's own folder.
//
// Every call names a client process (ulPID), which the service's trust check
// judges. By default that is kelmyr itself, which the check trusts only when
// kelmyr runs at low integrity (natively: with no new privileges, no
// capabilities and a uid other than 0). "--pid N" names another process;
// "--low" (natively) starts a child that drops to low integrity, as nobody
// when kelmyr runs as root, waits while kelmyr works and names it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "commands.h"
#include "kelmyr_i.h"
#include "support/scopedbstr.h"

class CServiceClient {
 public:
  explicit CServiceClient(const char* pszCommand) noexcept : m_pszCommand(pszCommand) {}
  ~CServiceClient();
  CServiceClient(const CServiceClient&) = delete;
  CServiceClient& operator=(const CServiceClient&) = delete;

  // Takes "--module PATH", and "--pid N" or "--low", out of args, and starts
  // the child of "--low". False, with the message printed, on bad input
  // (exit code 2) or when the child cannot be started (exit code 1): *pExit
  // says which.
  bool TakeOptions(KelmyrArgs& args, int* pExit);
  // Loads the module and finds its export; the failure printed.
  bool Load();
  // Load, then the manager of the export; the failure printed, else on whose
  // behalf the calls are made.
  bool Connect();
  // A further manager of the loaded module's export (the caller's reference).
  HRESULT NewManager(IDataStoreManager** ppManager) const;

  ULONG Pid() const noexcept { return m_ulPID; }
  // Who that is: "kelmyr itself", "named with --pid", ...
  const char* Caller() const noexcept { return m_pszCaller; }
  IDataStoreManager* Manager() const noexcept { return m_pManager; }

  // Prints "kelmyr <command>: <what> failed: 0x80070005 E_ACCESSDENIED", with
  // what to do when the caller is not trusted, and answers the exit code 1.
  int Fail(const char* pszWhat, HRESULT hr) const;

 private:
  bool TakeModule(KelmyrArgs& args);

  using PFNCREATE = HRESULT(WINAPI*)(void** ppv);
  const char* m_pszCommand;
  std::string m_module;  // named with --module
  HMODULE m_hModule = nullptr;
  PFNCREATE m_pfnCreate = nullptr;
  ULONG m_ulPID = GetCurrentProcessId();
  const char* m_pszCaller = "kelmyr itself";
  IDataStoreManager* m_pManager = nullptr;
  intptr_t m_childPid = -1;  // the "--low" child, natively
  int m_childHold = -1;      // its end of the pipe it waits on closes with kelmyr's
};

// "E_ACCESSDENIED" ..., or "unknown HRESULT".
const char* HResultName(HRESULT hr) noexcept;

// A BSTR copy of a UTF-8 argument.
CScopedBSTR Bstr(const std::string& s);
// The non-null strings of a vector of BSTRs, in its order.
std::vector<std::string> BstrElements(SAFEARRAY* psa);

// The operations of one invocation, separated by "+" in args.
std::vector<KelmyrArgs> SplitOperations(const KelmyrArgs& args);
