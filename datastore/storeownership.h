// Who releases the [in] BSTR and SAFEARRAY arguments of an interface method.
//
// A client that reached the system through the exported factory keeps its
// arguments and frees them itself; one that created the classes through COM
// hands them over, and each interface method releases them before it
// returns (zuSysFreeString(b, 1), zuSafeArrayDestroy(psa, 1)). The manager
// created through the export is the switch: while none is set, and none was
// ever built by the export in this process, the methods release. (The
// export clears the global when its manager is destroyed; the flag keeps
// the rule for the clients that reach the system through it.)
#pragma once

#include <atomic>

#include "kelmyr_i.h"

extern std::atomic<IDataStoreManager*> gpDataStoreManager;
extern std::atomic<bool> gbManagerCreatedThroughExport;

// True while gpDataStoreManager is null and no manager was created through
// the export, except in a call made through IDispatch: the automation layer
// converted the arguments and frees them after the call, so the method must
// keep its hands off them.
bool MethodReleasesArguments() noexcept;

// Marks the calls of the current thread as made through IDispatch for its
// lifetime.
class CLateBoundCall {
 public:
  CLateBoundCall() noexcept;
  ~CLateBoundCall();
  CLateBoundCall(const CLateBoundCall&) = delete;
  CLateBoundCall& operator=(const CLateBoundCall&) = delete;

 private:
  bool m_bOuter;
};
