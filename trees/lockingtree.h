// CLockingTree: a tree that runs every operation of the tree it wraps under
// one re-entrant lock of its own.
//
// It guards the one tree that threads share, the version history: every
// store reaches it from its own thread, directly (IsCompartmentCached,
// RemoveCompartment) and through UpdateVersion and GetVersion. The lock is
// re-entrant because the history tree's IsCompartmentCached reads its
// counters through GetVersion, which comes back into this tree on the same
// thread. Lock order: monitor lock, then store lock, then this lock; the
// wrapped tree never calls out of the history, so nothing is locked after
// it.
//
// The wrapper adds no log lines of its own: the wrapped tree's lines are
// those of the operation.
#pragma once

#include <memory>

#include "support/scopedlock.h"
#include "trees/abstracttree.h"

class CLockingTree final : public CAbstractTree {
 public:
  // Takes ownership of a tree, which must not be null.
  explicit CLockingTree(std::unique_ptr<CAbstractTree> pTree) noexcept;
  ~CLockingTree() override;

  // The lock, for a sequence of calls that must appear as one step to other
  // threads (a counter's read and write): hold it with a CScopedLock. Calls
  // made while holding it take it again, which the re-entrant lock allows.
  CCriticalSection& Lock() noexcept { return m_Lock; }

  // The wrapped tree, for identity checks and for reads in place while the
  // lock is held: calling it otherwise would bypass the lock.
  const CAbstractTree* Inner() const noexcept { return m_pTree.get(); }

  HRESULT GetTreeId(secwstring& sTreeId) override;
  HRESULT SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) override;
  HRESULT GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) override;
  HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                     DWORD dwClientProcessId) override;
  HRESULT CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) override;
  HRESULT RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                            DWORD dwClientProcessId) override;
  HRESULT FlushTree(DWORD dwClientProcessId) override;
  HRESULT IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId, BOOL* pbCached,
                       DWORD dwClientProcessId) override;
  HRESULT ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                      DWORD dwClientProcessId) override;
  HRESULT ListCompartmentIds(const secwstring& sCompartmentId, SAFEARRAY** ppsCompartmentIdList,
                             DWORD dwClientProcessId) override;
  HRESULT IsCompartmentCached(const secwstring& sCompartmentId, ULONG* pulCompartmentVersion,
                              ULONG* pulContentVersion, BOOL* pbCached,
                              DWORD dwClientProcessId) override;
  HRESULT ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) override;
  HRESULT LookUpCompartment(const secwstring& sPath, bool& bFound) override;

 private:
  CCriticalSection m_Lock;
  std::unique_ptr<CAbstractTree> m_pTree;
};
