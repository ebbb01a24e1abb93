// The store catalogue: the data stores configured in the machine's registry,
// one subkey per store below the key "Software\Orvane\Kelmyr\StoreList" of
// HKEY_LOCAL_MACHINE (64-bit view), read once when a manager starts.
#pragma once

#include <windows.h>

#include <list>

#include "support/scopedbstr.h"

// One configured store. The record owns both strings and frees them, as
// temporaries of the system, when it goes.
struct StoreInfo {
  CScopedBSTR bstrStoreId;  // the subkey name
  DWORD nType = 0;          // 1: registry store; 0: memory store
  DWORD bEncrypted = 1;     // 0: values kept in clear
  DWORD bSharedBetweenUserSessions = 0;
  CScopedBSTR bstrProduct;  // never null in a listed record
};

// Empties the list, then appends one record per store subkey, in the order
// the registry lists them. "Type", "Encrypted", "SharedBetweenUserSessions"
// (REG_DWORD) and "Product" (REG_SZ) are matched by their exact names; an
// absent one keeps its default (memory store, encrypted, per session,
// product "Brenmoor"), and a number other than the one that switches it also
// does.
//
// A failure ends the reading, keeping the records appended before it:
// E_FAIL when the catalogue or a store's values cannot be listed or read,
// E_UNEXPECTED when a listing gained entries between its two calls. A store
// whose values leave no memory to list them is left out, and the others are
// read. A store whose value names could be counted but not listed is
// appended with its defaults before the reading ends with E_FAIL.
HRESULT GetRegInfos(std::list<StoreInfo>& listStoreInfos);
