// CDataStoreManagerSubscriber: the store manager's answer to its session
// monitor. Each notification fans out to the manager's stores: an ended
// session is flushed from the session-aware data stores and the PIN store,
// an availability change reaches both kinds, and a move of the user to
// another session reaches the PIN store only.
//
// The subscriber points at two tables of its manager (neither owned nor
// referenced): the data stores that follow sessions, and the PIN stores.
// Both are null until the manager wires them; a null table logs its line
// and ends the notification there, so a null data-store table also skips
// the PIN stores. A failing store never stops the fan-out; results are only
// logged. The calls run on the monitor thread under the monitor's session
// lock, then each takes its store's lock; the manager fills the tables
// before the monitor starts and changes them only after it stopped.
#pragma once

#include <windows.h>

#include "sessions/sessionsubscriber.h"
#include "sessions/storetables.h"

class CDataStoreManagerSubscriber final : public ISessionSubscriber {
 public:
  CDataStoreManagerSubscriber() noexcept = default;
  CDataStoreManagerSubscriber(const CDataStoreManagerSubscriber&) = delete;
  CDataStoreManagerSubscriber& operator=(const CDataStoreManagerSubscriber&) = delete;

  void NotifyFlush(DWORD dwSessionId) override;
  void NotifyAvailability(DWORD dwSessionId, BOOL bAvailabled) override;
  void NotifyMove(DWORD dwFromSessionId, DWORD dwToSessionId) override;

  const CDataStoreTable* m_pDataStoreList = nullptr;
  const CAuthStoreTable* m_pAuthStoreList = nullptr;
};
