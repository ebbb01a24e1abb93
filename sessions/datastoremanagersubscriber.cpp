#include "sessions/datastoremanagersubscriber.h"

#include "support/logscope.h"
#include "support/qvlog.h"

namespace {

// The lines of one table's part of a notification.
struct STableMessages {
  logformat::CLogFormat<> nullTable;
  CLogScopeName facade;  // logged around each store call as its facade would
  logformat::CLogFormat<> succeeded;
  logformat::CLogFormat<HRESULT, DWORD> failed;
};

// Calls the operation on every store of the table in key order. False when
// the table is null: the notification ends there.
template <class Table, class F>
bool FanOut(const Table* pTable, const STableMessages& messages, F&& operation) {
  if (pTable == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.nullTable);
    return false;
  }
  for (const auto& [sStoreId, pStore] : *pTable) {
    if (pStore == nullptr) continue;
    HRESULT hr = S_OK;
    {
      CLogScope scope(messages.facade, hr);
      hr = operation(pStore->Internal());
    }
    if (SUCCEEDED(hr)) {
      qvlogLog(gLogChannel, LOG_DETAIL, messages.succeeded);
    } else {
      qvlogLog(gLogChannel, LOG_FAILURE, messages.failed, hr, GetLastError());
    }
  }
  return true;
}

#define FLUSH_LINE(text) OLESTR("CDataStoreManagerSubscriber::NotifyFlush " text)
#define AVAILABILITY_LINE(text) OLESTR("CDataStoreManagerSubscriber::NotifyAvailability " text)
#define MOVE_LINE(text) OLESTR("CDataStoreManagerSubscriber::NotifyMove " text)

constexpr STableMessages kFlushData{
    FLUSH_LINE("m_pDataStoreList == NULL"), LOG_SCOPE_NAME("CDataStore::FlushStoreFromSessionId"),
    FLUSH_LINE("FlushStoreFromSessionId succeeded"),
    FLUSH_LINE("FlushStoreFromSessionId failed hr = %x error = %x")};
constexpr STableMessages kFlushAuth{FLUSH_LINE("m_pAuthStoreList == NULL"),
                                    LOG_SCOPE_NAME("CAuthStore::FlushStoreFromSessionId"),
                                    kFlushData.succeeded, kFlushData.failed};
constexpr STableMessages kAvailabilityData{
    AVAILABILITY_LINE("m_pDataStoreList == NULL"),
    LOG_SCOPE_NAME("CDataStore::SetAvailabilityStoreFromSessionId"),
    AVAILABILITY_LINE("SetAvailabilityStoreFromSessionId succeeded"),
    AVAILABILITY_LINE("SetAvailabilityStoreFromSessionId failed hr = %x error = %x")};
constexpr STableMessages kAvailabilityAuth{
    AVAILABILITY_LINE("m_pAuthStoreList == NULL"),
    LOG_SCOPE_NAME("CAuthStore::SetAvailabilityStoreFromSessionId"), kAvailabilityData.succeeded,
    kAvailabilityData.failed};
constexpr STableMessages kMoveAuth{
    MOVE_LINE("m_pAuthStoreList == NULL"), LOG_SCOPE_NAME("CAuthStore::MoveStore"),
    MOVE_LINE("MoveStore succeeded"), MOVE_LINE("MoveStore failed hr = %x error = %x")};

}  // namespace

void CDataStoreManagerSubscriber::NotifyFlush(DWORD dwSessionId) {
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManagerSubscriber::NotifyFlush"));
  qvlogLog(gLogChannel, LOG_NOTABLE, FLUSH_LINE("dwSessionId = %d"), dwSessionId);
  auto flush = [&](auto& store) { return store.FlushStoreFromSessionId(dwSessionId); };
  if (FanOut(m_pDataStoreList, kFlushData, flush)) FanOut(m_pAuthStoreList, kFlushAuth, flush);
}

void CDataStoreManagerSubscriber::NotifyAvailability(DWORD dwSessionId, BOOL bAvailabled) {
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManagerSubscriber::NotifyAvailability"));
  qvlogLog(gLogChannel, LOG_NOTABLE, AVAILABILITY_LINE("dwSessionId = %d"), dwSessionId);
  qvlogLog(gLogChannel, LOG_NOTABLE, AVAILABILITY_LINE("bAvailabled = %d"), bAvailabled);
  auto set = [&](auto& store) {
    return store.SetAvailabilityStoreFromSessionId(dwSessionId, bAvailabled);
  };
  if (FanOut(m_pDataStoreList, kAvailabilityData, set)) {
    FanOut(m_pAuthStoreList, kAvailabilityAuth, set);
  }
}

void CDataStoreManagerSubscriber::NotifyMove(DWORD dwFromSessionId, DWORD dwToSessionId) {
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManagerSubscriber::NotifyMove"));
  qvlogLog(gLogChannel, LOG_NOTABLE, MOVE_LINE("dwFromSessionId = %d"), dwFromSessionId);
  qvlogLog(gLogChannel, LOG_NOTABLE, MOVE_LINE("dwToSessionId = %d"), dwToSessionId);
  FanOut(m_pAuthStoreList, kMoveAuth, [&](CInternalAuthStore& store) {
    return store.MoveStore(dwFromSessionId, dwToSessionId);
  });
}
