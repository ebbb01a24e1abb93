#include "trees/duplicateregistrytree.h"

#include <new>

#include "support/logscope.h"

namespace {

// The lines of one three-step removal.
struct SRemovalMessages {
  logformat::CLogFormat<HRESULT> lowLevel;      // "<name> Low Level hr1 = 0x%x"
  logformat::CLogFormat<HRESULT> appContainer;  // "<name> App Container hr1 = 0x%x"
};

#define DUPLICATE_REMOVAL_MESSAGES(name)                                           \
  SRemovalMessages {                                                               \
    OLESTR(name " Low Level hr1 = 0x%x"), OLESTR(name " App Container hr1 = 0x%x") \
  }

// Steps 2 and 3 of a removal whose machine copy is gone: the low-integrity
// copy's result becomes the removal's unless it found nothing there
// (E_INVALIDARG); the app containers' is only logged.
template <class FLow, class FContainers>
HRESULT RemoveCopies(const SRemovalMessages& messages, HRESULT hrMachine, FLow&& removeLow,
                     FContainers&& removeFromContainers) {
  HRESULT hr = hrMachine;
  HRESULT hr1 = removeLow();
  qvlogLog(gLogChannel, LOG_NOTABLE, messages.lowLevel, hr1);
  if (hr1 != E_INVALIDARG) hr = hr1;
  hr1 = removeFromContainers();
  qvlogLog(gLogChannel, LOG_NOTABLE, messages.appContainer, hr1);
  return hr;
}

}  // namespace

CDuplicateRegistryTree::CDuplicateRegistryTree(const secwstring& sTreeId)
    : m_pMachineTree(std::make_unique<CRegistryTree>(sTreeId, REGISTRY_TREE_MACHINE)),
      m_pLowLevelTree(std::make_unique<CRegistryTree>(sTreeId, REGISTRY_TREE_LOW_DUPLICATE)),
      m_pAppContainerTree(std::make_unique<CClearAppContainerTree>(sTreeId)),
      m_sTreeId(sTreeId) {
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::CDuplicateRegistryTree"));
}

CDuplicateRegistryTree::~CDuplicateRegistryTree() {
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::~CDuplicateRegistryTree"));
}

HRESULT CDuplicateRegistryTree::GetTreeId(secwstring& sTreeId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::GetTreeId"), hr);
  try {
    sTreeId = m_sTreeId;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CDuplicateRegistryTree::GetTreeId allocation failed"));
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

HRESULT CDuplicateRegistryTree::SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                                        SAFEARRAY* psaDataValue, DWORD, BOOL) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::SetData"), hr);
  hr = m_pMachineTree->SetData(sCompartmentId, sDataId, psaDataValue, 0, FALSE);
  return hr;
}

HRESULT CDuplicateRegistryTree::GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                                        SAFEARRAY** ppsaDataValue, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::GetData"), hr);
  hr = m_pMachineTree->GetData(sCompartmentId, sDataId, ppsaDataValue, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::RemoveData(const secwstring& sCompartmentId,
                                           const secwstring& sDataId, DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::RemoveData"), hr);
  hr = m_pMachineTree->RemoveData(sCompartmentId, sDataId, 0);
  if (FAILED(hr)) return hr;
  hr = RemoveCopies(
      DUPLICATE_REMOVAL_MESSAGES("CDuplicateRegistryTree::RemoveData"), hr,
      [&] { return m_pLowLevelTree->RemoveData(sCompartmentId, sDataId, dwClientProcessId); },
      [&] { return m_pAppContainerTree->RemoveData(sCompartmentId, sDataId, dwClientProcessId); });
  return hr;
}

HRESULT CDuplicateRegistryTree::CreateCompartment(const secwstring& sCompartmentId, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::CreateCompartment"), hr);
  hr = m_pMachineTree->CreateCompartment(sCompartmentId, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::RemoveCompartment(const secwstring& sCompartmentId, BOOL,
                                                  DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::RemoveCompartment"), hr);
  // Holders of a removed descendant learn of it from the machine copy's
  // versions alone; the copies' removal must not advance them a second time.
  hr = m_pMachineTree->RemoveCompartment(sCompartmentId, TRUE, 0);
  if (FAILED(hr)) return hr;
  hr = RemoveCopies(
      DUPLICATE_REMOVAL_MESSAGES("CDuplicateRegistryTree::RemoveCompartment"), hr,
      [&] { return m_pLowLevelTree->RemoveCompartment(sCompartmentId, FALSE, dwClientProcessId); },
      [&] { return m_pAppContainerTree->RemoveCompartment(sCompartmentId, dwClientProcessId); });
  return hr;
}

HRESULT CDuplicateRegistryTree::FlushTree(DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::FlushTree"), hr);
  hr = m_pMachineTree->FlushTree(0);
  if (FAILED(hr)) return hr;
  hr = RemoveCopies(
      DUPLICATE_REMOVAL_MESSAGES("CDuplicateRegistryTree::FlushTree"), hr,
      [&] { return m_pLowLevelTree->FlushTree(dwClientProcessId); },
      [&] { return m_pAppContainerTree->FlushTree(dwClientProcessId); });
  return hr;
}

HRESULT CDuplicateRegistryTree::IsDataCached(const secwstring& sCompartmentId,
                                             const secwstring& sDataId, BOOL* pbCached, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::IsDataCached"), hr);
  hr = m_pMachineTree->IsDataCached(sCompartmentId, sDataId, pbCached, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::ListDataIds(const secwstring& sCompartmentId,
                                            SAFEARRAY** ppsaDataIdList, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::ListDataIds"), hr);
  hr = m_pMachineTree->ListDataIds(sCompartmentId, ppsaDataIdList, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::ListCompartmentIds(const secwstring& sCompartmentId,
                                                   SAFEARRAY** ppsCompartmentIdList, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::ListCompartmentIds"), hr);
  hr = m_pMachineTree->ListCompartmentIds(sCompartmentId, ppsCompartmentIdList, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::IsCompartmentCached(const secwstring& sCompartmentId,
                                                    ULONG* pulCompartmentVersion,
                                                    ULONG* pulContentVersion, BOOL* pbCached,
                                                    DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::IsCompartmentCached"), hr);
  hr = m_pMachineTree->IsCompartmentCached(sCompartmentId, pulCompartmentVersion, pulContentVersion,
                                           pbCached, 0);
  return hr;
}

HRESULT CDuplicateRegistryTree::ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDuplicateRegistryTree::ListAllCompartmentIds"), hr);
  hr = m_pMachineTree->ListAllCompartmentIds(ppsAllCompartmentIdList);
  return hr;
}
