#include "common/scripted_timer_service.h"

#include <algorithm>

#include "platform/machine.h"

class CScriptedTimerService::CTimer final : public ZU::Framework::ITimer {
 public:
  CTimer(CScriptedTimerService& service, SState state)
      : m_service(service), m_state(std::move(state)) {}
  ~CTimer() override {
    std::lock_guard lock(m_service.m_lock);
    auto& timers = m_service.m_timers;
    timers.erase(std::find(timers.begin(), timers.end(), this));
  }
  void Restart() override {
    std::lock_guard lock(m_service.m_lock);
    m_state.ullDeadline = Machine().GetTickCount64() + m_state.ullPeriodMs;
    m_state.bArmed = true;
  }
  SState& State() { return m_state; }

 private:
  CScriptedTimerService& m_service;
  SState m_state;
};

CScriptedTimerService::CScriptedTimerService() : m_pPrevious(TimerServiceSeam().Install(this)) {}

CScriptedTimerService::~CScriptedTimerService() { TimerServiceSeam().Uninstall(this, m_pPrevious); }

ZU::Framework::ITimer* CScriptedTimerService::CreateNewTimer(
    DWORD dwPeriodSeconds, ZU::Framework::ITimerCallbackFunction* pCallback) {
  std::unique_ptr<ZU::Framework::ITimerCallbackFunction> pOwned(pCallback);
  if (pOwned == nullptr) return nullptr;
  const ULONGLONG ullPeriodMs = static_cast<ULONGLONG>(dwPeriodSeconds) * 1000u;
  auto* pTimer = new CTimer(*this, SState{ullPeriodMs, Machine().GetTickCount64() + ullPeriodMs,
                                          true, std::move(pOwned)});
  std::lock_guard lock(m_lock);
  m_timers.push_back(pTimer);
  return pTimer;
}

// The callback runs without the lock: it may restart or destroy other timers.
size_t CScriptedTimerService::FireDue() {
  size_t fired = 0;
  for (;;) {
    ZU::Framework::ITimerCallbackFunction* pCallback = nullptr;
    {
      std::lock_guard lock(m_lock);
      const ULONGLONG now = Machine().GetTickCount64();
      CTimer* pDue = nullptr;
      for (CTimer* pTimer : m_timers) {
        const SState& state = pTimer->State();
        if (state.bArmed && state.ullDeadline <= now &&
            (pDue == nullptr || state.ullDeadline < pDue->State().ullDeadline)) {
          pDue = pTimer;
        }
      }
      if (pDue == nullptr) return fired;
      pDue->State().bArmed = false;
      pCallback = pDue->State().pCallback.get();
    }
    pCallback->OnTimerExpired();
    ++fired;
  }
}

size_t CScriptedTimerService::Live() const {
  std::lock_guard lock(m_lock);
  return m_timers.size();
}
