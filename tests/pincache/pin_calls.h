// The twelve methods of IAuthStore behind one signature, for the tables of
// the tests and the fuzzer: each with the word the test scripts use for it
// and the [in] arguments it takes over from its caller; and the scripted
// machine, settings and timers their clients run on.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <optional>

#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "datastore/storeownership.h"
#include "kelmyr_i.h"
#include "pincache/authstore.h"
#include "trees/history.h"

struct SPINCall {
  ULONG ulPID = 0;
  BSTR c = nullptr, p = nullptr, s = nullptr;  // compartment, PIN id, PIN session id
  SAFEARRAY *v = nullptr, *a = nullptr;        // PIN value, additional parameters
  INT nPINState = 0;                           // the state a change sets
  SAFEARRAY** ppValue = nullptr;
  BSTR* pbstrId = nullptr;
  INT* pnState = nullptr;
  LONG lRetVal = 1;
};

struct SPINMethod {
  const char* pszOp;
  const char* pszTaken;  // c, p, s, v (value), a (parameters)
  HRESULT (*call)(IAuthStore*, SPINCall&);
};

#define PIN_METHOD(op, taken, method, ...)                                                     \
  {                                                                                            \
    op, taken,                                                                                 \
        [](IAuthStore* q, SPINCall& x) { return q->method(x.ulPID, __VA_ARGS__, &x.lRetVal); } \
  }

inline constexpr SPINMethod kPINMethods[] = {
    PIN_METHOD("set", "cpva", SetPIN, x.c, x.p, x.v, x.a, x.pbstrId),
    PIN_METHOD("sets", "cpsva", SetPINFromPINSessionId, x.c, x.p, x.s, x.v, x.a),
    PIN_METHOD("get", "cpa", GetPIN, x.c, x.p, x.a, x.ppValue, x.pbstrId, x.pnState),
    PIN_METHOD("gets", "cpsa", GetPINFromPINSessionId, x.c, x.p, x.s, x.a, x.ppValue, x.pnState),
    PIN_METHOD("has", "cpa", IsPINCached, x.c, x.p, x.a, x.pbstrId, x.pnState),
    PIN_METHOD("hass", "cpsa", IsPINCachedFromPINSessionId, x.c, x.p, x.s, x.a, x.pnState),
    PIN_METHOD("rm", "cpa", RemovePIN, x.c, x.p, x.a),
    PIN_METHOD("rms", "cpsa", RemovePINFromPINSessionId, x.c, x.p, x.s, x.a),
    PIN_METHOD("rmc", "ca", RemoveCompartment, x.c, x.a),
    PIN_METHOD("flush", "a", FlushStore, x.a),
    PIN_METHOD("chg", "cpa", ChangePINState, x.c, x.p, x.a, x.nPINState),
    PIN_METHOD("chgs", "cpsa", ChangePINStateFromPINSessionId, x.c, x.p, x.s, x.a, x.nPINState),
};

#undef PIN_METHOD

// Processes 1000+n and 2000+n of session n are trusted clients (low
// integrity, no COM security); 9, of session 1, is not. Without the
// scripted timers, the real timer service runs on the scripted clock.
struct SPINWorld {
  SPINWorld() {
    context.bSecurityEnabled = VARIANT_FALSE;
    machine.pCallContext = &context;
    for (const DWORD pid : {1000, 1001, 1002, 1003, 2000, 2001, 2002, 2003}) {
      machine.Process(pid).dwSessionId = pid % 1000;
      machine.Process(pid).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
    }
    machine.Process(9).dwSessionId = 1;
    AcquireHistoryTree();
  }
  ~SPINWorld() { ReleaseHistoryTree(); }
  CScriptedCallContext context;
  CScriptedMachine machine;
  CScriptedSettings settings;
  std::optional<CScriptedTimerService> timers{std::in_place};
};
