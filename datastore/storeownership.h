// Who releases the [in] BSTR and SAFEARRAY arguments of an interface method.
//
// A client that reached the system through the exported factory keeps its
// arguments and frees them itself; one that created the classes through COM
// hands them over, and each interface method releases them before it
// returns (zuSysFreeString(b, 1), zuSafeArrayDestroy(psa, 1)). The manager
// created through the export is the switch: while none is set, the methods
// release.
#pragma once

#include <atomic>

#include "kelmyr_i.h"

extern std::atomic<IDataStoreManager*> gpDataStoreManager;

// True while gpDataStoreManager is null.
bool MethodReleasesArguments() noexcept;
