// CTimerCallbackFunction: what a PIN record's expiry timer does when it
// fires. It holds copies of the identifiers of the call that armed the
// timer and asks the store to remove the record they name.
//
// The timer owns the callback object; the store keeps a pointer to it only
// to mark it cancelled, under the store lock, before it destroys the timer.
// The mark is read under the same lock, so a callback that was already
// waiting for the lock when its timer was destroyed removes nothing.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include "support/zutimer.h"

class CInternalAuthStore;

struct TimerCallbackData {
  CInternalAuthStore* pStore = nullptr;  // not owned
  ULONG ulPID = 0;
  BSTR bstrCompartmentId = nullptr;  // owned copies
  BSTR bstrPINId = nullptr;
  BSTR bstrPINSessionId = nullptr;
};

class CTimerCallbackFunction final : public ZU::Framework::ITimerCallbackFunction {
 public:
  // Takes the record over, strings included.
  explicit CTimerCallbackFunction(TimerCallbackData* pData) noexcept : m_pData(pData) {}
  ~CTimerCallbackFunction() override;
  CTimerCallbackFunction(const CTimerCallbackFunction&) = delete;
  CTimerCallbackFunction& operator=(const CTimerCallbackFunction&) = delete;

  // False when the record or one of its strings is missing (nothing is
  // done); otherwise the store removes the record, and true.
  bool OnTimerExpired() override;

  // Both only under the store lock.
  void Cancel() noexcept { m_bCancelled = true; }
  bool Cancelled() const noexcept { return m_bCancelled; }

 private:
  TimerCallbackData* m_pData;
  bool m_bCancelled = false;
};
