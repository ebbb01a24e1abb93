// CScriptedTimerService: timers that fire only when the test says so, on the
// test's thread. A timer is due when the machine's clock has reached its
// deadline (creation or last Restart plus the period); FireDue fires the due
// ones in deadline order, each once. Installs itself for its lifetime.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "support/zutimer.h"

class CScriptedTimerService final : public ITimerService {
 public:
  CScriptedTimerService();
  ~CScriptedTimerService() override;
  CScriptedTimerService(const CScriptedTimerService&) = delete;
  CScriptedTimerService& operator=(const CScriptedTimerService&) = delete;

  // Fires every due timer; the number fired.
  size_t FireDue();
  // Timers not yet destroyed.
  size_t Live() const;

  ZU::Framework::ITimer* CreateNewTimer(DWORD dwPeriodSeconds,
                                        ZU::Framework::ITimerCallbackFunction* pCallback) override;
  void WaitForRunningCallbacks() override {}

 private:
  class CTimer;
  struct SState {
    ULONGLONG ullPeriodMs;
    ULONGLONG ullDeadline;
    bool bArmed;
    std::unique_ptr<ZU::Framework::ITimerCallbackFunction> pCallback;
  };

  mutable std::mutex m_lock;
  std::vector<CTimer*> m_timers;
  ITimerService* m_pPrevious;
};
