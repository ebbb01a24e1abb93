// CInternalDataStore: the state and the logic of one data store behind its
// COM facade (datastore/datastore.h).
//
// A store is a named cache of compartments, each holding named data items
// whose values are arrays. It keeps them in its storage tree: a memory tree
// (type 0 and any type but 1), or for a registry store (type 1) the registry
// tree that fits the host process (see Begin). Values of an encrypted store
// go into the tree only in protected form.
//
// Compartment paths. A store shared between user sessions uses the client's
// compartment identifier as the path. Any other store files compartments
// per terminal session: the path is the session prefix the tree's
// FindSessionId gives for the caller's session, then "/" and the
// identifier, except for the root "/", whose path is the prefix alone.
// History keys of the version counters are the store identifier, "/" and
// the path, for every path including "/".
//
// Every operation holds the store lock for its whole body; the session
// monitor's FlushStoreFromSessionId and SetAvailabilityStoreFromSessionId
// take it too. The lock is made by the constructor, so a store that was
// never started answers every operation with E_FAIL (no tree) safely.
// Operations return an HRESULT and never throw.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <memory>

#include "datastore/sessionavailability.h"
#include "support/scopedlock.h"
#include "support/secstring.h"
#include "trees/abstracttree.h"

struct SOperationMessages;

class CInternalDataStore {
 public:
  CInternalDataStore();
  ~CInternalDataStore();
  CInternalDataStore(const CInternalDataStore&) = delete;
  CInternalDataStore& operator=(const CInternalDataStore&) = delete;

  // Starts the store with its settings and a new, empty tree named by the
  // store identifier (a registry tree sees what was stored under that name
  // before). Type 1 chooses by the host: on Windows before 6.0 the
  // machine-wide registry tree; otherwise in an app container the
  // container's registry tree, at low integrity the low-integrity registry
  // tree, else the duplicating registry tree (trees/duplicateregistrytree.h).
  // An empty identifier is E_INVALIDARG and leaves the store without a tree.
  // Starting a started store replaces its tree.
  HRESULT Begin(BSTR bstrStoreId, ULONG nType, BOOL bEncrypted, BOOL bSharedBetweenUserSessions,
                const secwstring& sProduct);
  // Forgets the session events and destroys the tree. Always S_OK.
  HRESULT End();
  // The settings given to Begin. Always S_OK.
  HRESULT GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared, secwstring& sProduct);

  // The operations of the interface. Empty identifiers are E_INVALIDARG
  // before anything is touched; a store without a tree is E_FAIL; a client
  // whose session cannot be found, or is unavailable, is E_FAIL for every
  // operation that resolves a path (all but RemoveCompartment and
  // FlushStore). The arrays a caller passes are never kept or changed, and
  // every array returned is new and the caller's; an array output is set to
  // null first, so that a failure or an empty listing leaves no stale value.
  HRESULT SetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId, SAFEARRAY* ucData);
  // E_INVALIDARG for a missing compartment or item; a null ucData only tests
  // that the item exists.
  HRESULT GetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId, SAFEARRAY** ucData);
  HRESULT RemoveData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId);
  // An existing compartment is S_OK with its versions unchanged.
  HRESULT CreateCompartment(ULONG ulPID, BSTR sCompartmentId);
  // Advances the versions, creating the compartment first when missing.
  HRESULT TouchCompartment(ULONG ulPID, BSTR sCompartmentId);
  // Removes the compartment from every session's part of the store. With
  // bRemoveVersions its counters go too, else they advance.
  HRESULT RemoveCompartment(ULONG ulPID, BSTR sCompartmentId, LONG bRemoveVersions);
  // Empties the store for all sessions and drops all of its counters.
  HRESULT FlushStore(ULONG ulPID);
  HRESULT IsDataCached(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId, LONG* bCached);
  HRESULT ListDataIds(ULONG ulPID, BSTR sCompartmentId, SAFEARRAY** sDataIdList);
  HRESULT ListCompartmentIds(ULONG ulPID, BSTR sCompartmentId, SAFEARRAY** sCompartmentIdList);
  HRESULT IsCompartmentCached(ULONG ulPID, BSTR sCompartmentId, ULONG* pulCompartmentVersion,
                              ULONG* pulContentVersion, LONG* pbCached);

  // Session events and the session of a client (datastore/sessionavailability.h).
  // Drops everything the session holds (for a shared store: everything),
  // with the counters; works also on an unavailable session.
  HRESULT FlushStoreFromSessionId(DWORD dwSessionId);
  HRESULT SetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL bAvailabled);
  HRESULT GetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL* pbAvailabled);
  HRESULT GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId);
  // Removes one compartment path with everything below it; with
  // bRemoveVersions its history compartment is removed, else its counters
  // advance.
  HRESULT RemoveOneCompartment(DWORD dwClientProcessId, const secwstring& sCompartmentIdGlobal,
                               BOOL bRemoveVersions);

  // The tree the store started with (null when not started), for
  // diagnostics.
  CAbstractTree* Tree() const noexcept { return m_Tree.get(); }

 private:
  // The identifiers converted (the second one only when given), and the tree
  // checked, with the operation's lines on failure.
  HRESULT Prepare(const SOperationMessages& messages, BSTR bstrCompartmentId,
                  secwstring& sCompartmentId, BSTR bstrDataId = nullptr,
                  secwstring* psDataId = nullptr);
  // The compartment path of the client's identifier (see above).
  HRESULT ResolvePath(const SOperationMessages& messages, ULONG ulPID,
                      const secwstring& sCompartmentId, secwstring& sPath);
  secwstring HistoryKey(const secwstring& sPath) const;
  // CreateCompartment and TouchCompartment.
  HRESULT EnsureCompartment(const SOperationMessages& messages, ULONG ulPID, BSTR bstrCompartmentId,
                            bool bTouch);
  // SetData once the value is copied: protected, written, counted.
  HRESULT StoreValue(ULONG ulPID, const secwstring& sCompartmentId, const secwstring& sDataId,
                     CScopedSafeArray& value);

  CCriticalSection m_Lock;
  std::unique_ptr<CAbstractTree> m_Tree;
  secwstring m_sStoreId;
  ULONG m_nType = 0;
  BOOL m_bEncrypted = FALSE;
  BOOL m_bSharedBetweenUserSessions = FALSE;
  secwstring m_sProduct;
  CSessionAvailability m_availability;
};
