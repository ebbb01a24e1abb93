#include "pincache/timercallback.h"

#include "pincache/internalauthstore.h"
#include "support/zuwinext.h"

CTimerCallbackFunction::~CTimerCallbackFunction() {
  if (m_pData == nullptr) return;
  zuSysFreeString(m_pData->bstrCompartmentId, ZU_RELEASE_TEMPORARY);
  zuSysFreeString(m_pData->bstrPINId, ZU_RELEASE_TEMPORARY);
  zuSysFreeString(m_pData->bstrPINSessionId, ZU_RELEASE_TEMPORARY);
  delete m_pData;
}

bool CTimerCallbackFunction::OnTimerExpired() {
  if (m_pData == nullptr || m_pData->pStore == nullptr || m_pData->bstrCompartmentId == nullptr ||
      m_pData->bstrPINId == nullptr || m_pData->bstrPINSessionId == nullptr) {
    return false;
  }
  // The outcome is logged by the store; the timer has no use for it.
  m_pData->pStore->RemoveExpiredPINFromPINSessionId(m_pData->ulPID, m_pData->bstrCompartmentId,
                                                    m_pData->bstrPINId, m_pData->bstrPINSessionId,
                                                    this);
  return true;
}
