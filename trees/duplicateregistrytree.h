// CDuplicateRegistryTree: the registry tree of a store used from ordinary
// processes. It reads and writes the machine-wide copy, and whatever it
// removes there it also removes from the calling user's low-integrity copy
// and from the copies in every app container of that user, so that no
// sandboxed copy outlives the data it duplicates.
//
// Every operation except the three removals is the machine copy's, made
// with process id 0 (SetData also with bEncrypted false): the caller's
// process id only chooses whose sandboxed copies a removal reaches.
//
// A removal runs in three steps:
//  1. the machine copy, with process id 0 (RemoveCompartment always
//     advancing the versions of the removed descendants, whatever the
//     caller asked). Its failure ends the removal with that result, before
//     any copy is touched.
//  2. the low-integrity copy below HKEY_USERS\<client SID>, without version
//     advances. Its result becomes the removal's, success or failure, unless
//     it is E_INVALIDARG, which means there was no such copy.
//  3. the app containers of the client's user (trees/clearappcontainertree.h).
//     Their result is only logged.
// So a client whose process id leads to no user (an exited process, id 0)
// gets the low-integrity step's failure after the machine copy is gone.
//
// The tree has no lock: the store that owns it serialises its calls, and two
// removals for different clients must not run on it at the same time.
#pragma once

#include <memory>

#include "trees/abstracttree.h"
#include "trees/clearappcontainertree.h"
#include "trees/registrytree.h"

class CDuplicateRegistryTree final : public CAbstractTree {
 public:
  // Opens nothing. Throws std::bad_alloc when its parts cannot be made.
  explicit CDuplicateRegistryTree(const secwstring& sTreeId);
  ~CDuplicateRegistryTree() override;

  HRESULT GetTreeId(secwstring& sTreeId) override;
  HRESULT SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) override;
  HRESULT GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) override;
  HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                     DWORD dwClientProcessId) override;
  HRESULT CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) override;
  // bUpdateVersions is not read (see above).
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

 private:
  std::unique_ptr<CRegistryTree> m_pMachineTree;
  std::unique_ptr<CRegistryTree> m_pLowLevelTree;
  std::unique_ptr<CClearAppContainerTree> m_pAppContainerTree;
  secwstring m_sTreeId;
};
