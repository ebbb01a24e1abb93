// CDataStoreManager: the entry object of the service. When it is built it
// starts every data store of the catalogue and the one PIN store, takes a
// use of the process-wide history tree and starts its session monitor;
// afterwards it only hands the stores out by identifier, lists, describes
// and flushes them. When its last reference goes it stops the monitor
// first, then ends the stores and gives the history tree back.
//
// Start-up never fails the construction: a store that cannot be started is
// left out, and when the privileges of the host cannot be dropped nothing
// is started at all (every Get... then answers E_FAIL and both lists are
// empty).
//
// Every interface method runs the caller trust check on the process id the
// client states, writes the outcome to *plRetVal when plRetVal is not null
// and answers S_OK. Its BSTR identifier is released when the argument
// ownership rule says the method owns it (datastore/storeownership.h).
//
// The tables are written only by Begin and End, inside construction and
// destruction, so the methods read them without a lock. The reference count
// is interlocked; the manager created through the export takes the export's
// lock for its last release (host/export.h), so that the export never hands
// out a manager that is being destroyed.
#pragma once

#include <windows.h>

#include <atomic>

#include "datastore/dualobject.h"
#include "kelmyr_i.h"
#include "sessions/datastoremanagersubscriber.h"
#include "sessions/sessionmonitor.h"
#include "sessions/storetables.h"

class CDataStoreManager final : public TDualObject<IDataStoreManager, IID_IDataStoreManager> {
 public:
  // Built with one reference, started (Begin).
  CDataStoreManager();
  CDataStoreManager(const CDataStoreManager&) = delete;
  CDataStoreManager& operator=(const CDataStoreManager&) = delete;

  // The manager of the export: its last release clears the export's global
  // under the export's lock.
  void MarkCreatedThroughExport() noexcept { m_bThroughExport = true; }
  // True when one reference reaches the manager, each of its stores is
  // reached by its table's reference alone, and they are all the objects
  // of the classes alive: the holder of that one reference is then the
  // only way to any of them.
  bool OnlyReachedThroughOneReference() const noexcept;
  // The data stores that follow the terminal sessions, for diagnostics.
  const CDataStoreTable& SessionDataStores() const noexcept { return m_SessionDataStores; }

  // The last release through the export also clears the export's global.
  ULONG STDMETHODCALLTYPE Release() override;

  // IDataStoreManager
  HRESULT STDMETHODCALLTYPE GetDataStore(ULONG ulPID, BSTR bDataStoreId, IDataStore** ppIDataStore,
                                         LONG* plRetVal) override;
  // Flushes every data store whose product is exactly bProduct, through the
  // store's own FlushStore; the outcome is that of the last store visited
  // (S_OK when it was skipped). Never touches the PIN store.
  HRESULT STDMETHODCALLTYPE FlushDataStores(ULONG ulPID, BSTR bProduct, LONG* plRetVal) override;
  // A new VT_BSTR vector of the identifiers in key order; an element whose
  // copy failed is left empty at the end. A null list pointer is no error.
  HRESULT STDMETHODCALLTYPE ListDataStoreIds(ULONG ulPID, SAFEARRAY** sDataStoreIdList,
                                             LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetDataStoreInfo(ULONG ulPID, BSTR bStoreId, INT* nType,
                                             LONG* bEncrypted, LONG* bSharedBetweenUserSessions,
                                             BSTR* bProduct, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetAuthStore(ULONG ulPID, BSTR bAuthStoreId, IAuthStore** ppIAuthStore,
                                         LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE FlushAuthStores(ULONG ulPID, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE ListAuthStoreIds(ULONG ulPID, SAFEARRAY** sAuthStoreIdList,
                                             LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetAuthStoreInfo(ULONG ulPID, BSTR bStoreId, INT* nType,
                                             LONG* bEncrypted, LONG* bSharedBetweenUserSessions,
                                             LONG* plRetVal) override;

 private:
  ~CDataStoreManager();  // ends the manager (End)

  HRESULT Begin();
  HRESULT End();
  // Begin's steps after the privileges were dropped.
  void StartDataStores();
  HRESULT StartAuthStore();

  CDataStoreTable m_DataStores;         // one reference on each store
  CAuthStoreTable m_AuthStores;         // one reference on the PIN store
  CDataStoreTable m_SessionDataStores;  // no reference: pointers of m_DataStores
  CSessionMonitor m_SessionMonitor;
  CDataStoreManagerSubscriber m_Subscriber;
  bool m_bHoldsHistoryTree = false;
  bool m_bThroughExport = false;
};
