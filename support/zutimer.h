// The timer library: one-shot countdown timers that call a callback object
// on the timer thread. ITimerService is the seam through which the system
// reaches it; ZU::Framework::ITimer::CreateNewTimer calls the installed
// service, by default the process's one timer thread.
//
// A timer counts down on the machine's clock from its creation and calls its
// callback's OnTimerExpired once when the period has passed; Restart starts
// the countdown again with the period of creation, whether or not the timer
// fired. The boolean a callback returns is not used. A period of 0 fires once
// at the next turn of the timer thread.
//
// Destroying a timer stops it: no callback of it starts after the
// destruction has begun. Destruction never waits for a callback of it that
// is already running, so it may be done under a lock that the callback is
// waiting for; the timer and its callback object are freed once that
// callback has returned. A caller that must know every callback finished
// (before deleting what the callbacks use) releases its locks and calls
// WaitForRunningCallbacks.
#pragma once

#include <windows.h>

#include "platform/seam.h"

namespace ZU::Framework {

class ITimerCallbackFunction {
 public:
  virtual ~ITimerCallbackFunction() = default;
  virtual bool OnTimerExpired() = 0;
};

class ITimer {
 public:
  virtual ~ITimer() = default;
  virtual void Restart() = 0;

  // A timer already counting down dwPeriodSeconds. It takes the callback
  // object over in every case: null when the callback is null or the timer
  // cannot be made (its callback is then destroyed).
  static ITimer* CreateNewTimer(DWORD dwPeriodSeconds, ITimerCallbackFunction* pCallback);
  // Returns when no callback that was running at the call still runs. On the
  // timer thread (from a callback) it returns at once.
  static void WaitForRunningCallbacks();
};

}  // namespace ZU::Framework

class ITimerService {
 public:
  virtual ~ITimerService() = default;
  virtual ZU::Framework::ITimer* CreateNewTimer(
      DWORD dwPeriodSeconds, ZU::Framework::ITimerCallbackFunction* pCallback) = 0;
  virtual void WaitForRunningCallbacks() = 0;
};

TSeam<ITimerService>& TimerServiceSeam() noexcept;

// Whether the real service's thread runs. It ends once no timer exists;
// until then the module may not be unloaded.
bool TimerThreadRunning() noexcept;
