// The exported factory: one manager per process for the clients that load
// the module directly.
//
// The export keeps the manager it built in gpDataStoreManager without a
// reference of its own; the manager's last release clears the global under
// the export's lock, so a concurrent call either takes a reference before
// the count reaches zero or builds a new manager. Since the global does not
// stay set, the argument ownership rule follows a flag of its own that the
// first manager built here raises for the rest of the process.
#pragma once

#include <windows.h>

#include "support/scopedlock.h"

// The manager queried for IDataStoreManager into *ppv (the caller's
// reference). A null ppv still builds the manager, and answers E_POINTER.
// E_UNEXPECTED when the module is not initialised (host/module.h).
extern "C" HRESULT WINAPI CreateIDataStoreManagerInstance(void** ppv);

// Held by the export around its look-up and by its manager's last release.
CCriticalSection& ExportLock() noexcept;
