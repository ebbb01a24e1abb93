#include "trees/lockingtree.h"

#include <utility>

CLockingTree::CLockingTree(std::unique_ptr<CAbstractTree> pTree) noexcept
    : m_pTree(std::move(pTree)) {}

CLockingTree::~CLockingTree() = default;

HRESULT CLockingTree::GetTreeId(secwstring& sTreeId) {
  CScopedLock hold(m_Lock);
  return m_pTree->GetTreeId(sTreeId);
}

HRESULT CLockingTree::SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                              SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) {
  CScopedLock hold(m_Lock);
  return m_pTree->SetData(sCompartmentId, sDataId, psaDataValue, dwClientProcessId, bEncrypted);
}

HRESULT CLockingTree::GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                              SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->GetData(sCompartmentId, sDataId, ppsaDataValue, dwClientProcessId);
}

HRESULT CLockingTree::RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                                 DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->RemoveData(sCompartmentId, sDataId, dwClientProcessId);
}

HRESULT CLockingTree::CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->CreateCompartment(sCompartmentId, dwClientProcessId);
}

HRESULT CLockingTree::RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                                        DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->RemoveCompartment(sCompartmentId, bUpdateVersions, dwClientProcessId);
}

HRESULT CLockingTree::FlushTree(DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->FlushTree(dwClientProcessId);
}

HRESULT CLockingTree::IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId,
                                   BOOL* pbCached, DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->IsDataCached(sCompartmentId, sDataId, pbCached, dwClientProcessId);
}

HRESULT CLockingTree::ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                                  DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->ListDataIds(sCompartmentId, ppsaDataIdList, dwClientProcessId);
}

HRESULT CLockingTree::ListCompartmentIds(const secwstring& sCompartmentId,
                                         SAFEARRAY** ppsCompartmentIdList,
                                         DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->ListCompartmentIds(sCompartmentId, ppsCompartmentIdList, dwClientProcessId);
}

HRESULT CLockingTree::IsCompartmentCached(const secwstring& sCompartmentId,
                                          ULONG* pulCompartmentVersion, ULONG* pulContentVersion,
                                          BOOL* pbCached, DWORD dwClientProcessId) {
  CScopedLock hold(m_Lock);
  return m_pTree->IsCompartmentCached(sCompartmentId, pulCompartmentVersion, pulContentVersion,
                                      pbCached, dwClientProcessId);
}

HRESULT CLockingTree::ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) {
  CScopedLock hold(m_Lock);
  return m_pTree->ListAllCompartmentIds(ppsAllCompartmentIdList);
}

HRESULT CLockingTree::LookUpCompartment(const secwstring& sPath, bool& bFound) {
  CScopedLock hold(m_Lock);
  return m_pTree->LookUpCompartment(sPath, bFound);
}
