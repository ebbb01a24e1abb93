// The caller trust check: whether the client process a caller names may be
// served.
//
// A caller is trusted in two cases: the process it names runs at low
// integrity; or COM+ security is on for the current call and one identity
// in the call chain is the owner of that process object, or an account of
// the same domain as its primary group (the same SID prefix). Where no COM+
// call context exists (on Windows outside a COM+ application or surrogate
// host; natively unless the host installed one for the call), only
// low-integrity clients pass.
#pragma once

#include <windows.h>

#include "support/logformat.h"

// Three outcomes: a failing HRESULT (the check could not be completed),
// S_OK with *bTrusted left as it was (not trusted), S_OK with *bTrusted set
// to 1 (trusted). The flag is only ever set, never cleared: callers set it
// to 0 first. A null bTrusted runs the same check and loses the answer.
HRESULT CheckClientCaller(DWORD dwClientProcessId, BOOL* bTrusted);

// The three lines an interface method logs for the outcomes of the check,
// each its own literal format: made by CALLER_CHECK_MESSAGES from the
// qualified method name, e.g.
//
//   CheckClientCallerForMethod(CALLER_CHECK_MESSAGES("CDataStore::SetData"), ulPID)
//
// logs "CDataStore::SetData CheckClientCaller failed" (1), "... trust
// failed" (2) or "... trust succeeded" (0).
struct SCallerCheckMessages {
  logformat::CLogFormat<> failed;
  logformat::CLogFormat<> trustFailed;
  logformat::CLogFormat<> trustSucceeded;
};

#define CALLER_CHECK_MESSAGES(method)                                     \
  (SCallerCheckMessages{OLESTR(method " CheckClientCaller failed"),       \
                        OLESTR(method " CheckClientCaller trust failed"), \
                        OLESTR(method " CheckClientCaller trust succeeded")})

// The check as every interface method runs it on its ulPID: the method's
// result when the call may not go on (the check's failure, or
// E_ACCESSDENIED for an untrusted caller), S_OK when it may.
HRESULT CheckClientCallerForMethod(const SCallerCheckMessages& messages, DWORD dwClientProcessId);
