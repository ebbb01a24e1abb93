#include "support/zutimer.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/machine.h"
#include "platform/no_destructor.h"

using ZU::Framework::ITimer;
using ZU::Framework::ITimerCallbackFunction;

namespace {

class CTimerService;

// The deadline queue orders armed timers by their tick; a timer keeps its
// queue node while disarmed, so arming it again allocates nothing.
struct STimerEntry;
using TQueue = std::multimap<ULONGLONG, STimerEntry*>;

struct STimerEntry {
  ULONGLONG ullPeriodMs = 0;
  std::unique_ptr<ITimerCallbackFunction> pCallback;
  TQueue::node_type node;    // while disarmed
  TQueue::iterator itArmed;  // while armed
  bool bArmed = false;
  bool bRunning = false;   // its callback runs on the timer thread
  bool bDetached = false;  // destroyed while running: the timer thread frees it
};

class CTimer final : public ITimer {
 public:
  CTimer(CTimerService& service, STimerEntry* pEntry) noexcept
      : m_service(service), m_pEntry(pEntry) {}
  ~CTimer() override;
  CTimer(const CTimer&) = delete;
  CTimer& operator=(const CTimer&) = delete;
  void Restart() override;

 private:
  CTimerService& m_service;
  STimerEntry* m_pEntry;
};

// The real service: one thread waits on the clock of the current machine
// for the earliest deadline. It starts with the first timer and ends once no
// timer exists, so that the module holding it can be unloaded when its
// stores are gone; the next timer starts it again. Deadlines are ticks of the
// machine current when the timer was armed.
class CTimerService final : public ITimerService {
 public:
  ITimer* CreateNewTimer(DWORD dwPeriodSeconds, ITimerCallbackFunction* pCallback) override {
    std::unique_ptr<ITimerCallbackFunction> pOwned(pCallback);
    if (pOwned == nullptr) return nullptr;
    try {
      auto pEntry = std::make_unique<STimerEntry>();
      pEntry->ullPeriodMs = static_cast<ULONGLONG>(dwPeriodSeconds) * 1000u;
      TQueue nodes;
      pEntry->node = nodes.extract(nodes.emplace(0, pEntry.get()));
      auto pTimer = std::make_unique<CTimer>(*this, pEntry.get());
      std::lock_guard lock(m_lock);
      if (!m_bThreadRunning) {
        ReapEndedThreadLocked();
        DWORD dwThreadId = 0;
        m_hThread = CreateThread(nullptr, 0, ThreadRoutine, this, 0, &dwThreadId);
        if (m_hThread == nullptr) return nullptr;
        m_dwTimerThread = dwThreadId;
        m_bThreadRunning = true;
      }
      ++m_cTimers;
      pEntry->pCallback = std::move(pOwned);
      ArmLocked(pEntry.release());
      return pTimer.release();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  void WaitForRunningCallbacks() override {
    std::unique_lock lock(m_lock);
    if (!m_bCallbackRunning || GetCurrentThreadId() == m_dwTimerThread) return;
    const ULONGLONG ullDone = m_ullCallbacksDone;
    m_callbackDone.wait(lock, [&] { return m_ullCallbacksDone != ullDone; });
  }

  void Arm(STimerEntry* pEntry) noexcept {
    std::lock_guard lock(m_lock);
    ArmLocked(pEntry);
  }

  // Whether the thread runs; one that has ended is waited for here, so that
  // no code of the module runs on it afterwards.
  bool ThreadRunning() noexcept {
    std::lock_guard lock(m_lock);
    if (m_bThreadRunning) return true;
    ReapEndedThreadLocked();
    return false;
  }

  void Destroy(STimerEntry* pEntry) noexcept {
    {
      std::lock_guard lock(m_lock);
      DisarmLocked(pEntry);
      // The last timer gone: the waiting thread wakes up to end.
      if (--m_cTimers == 0 && m_pWaitingOn != nullptr) m_pWaitingOn->Wake();
      if (pEntry->bRunning) {
        pEntry->bDetached = true;
        return;
      }
    }
    delete pEntry;
  }

 private:
  void DisarmLocked(STimerEntry* pEntry) noexcept {
    if (!pEntry->bArmed) return;
    pEntry->node = m_queue.extract(pEntry->itArmed);
    pEntry->bArmed = false;
  }

  void ArmLocked(STimerEntry* pEntry) noexcept {
    DisarmLocked(pEntry);
    IMachine& machine = Machine();
    pEntry->node.key() = machine.GetTickCount64() + pEntry->ullPeriodMs;
    pEntry->itArmed = m_queue.insert(std::move(pEntry->node));
    pEntry->bArmed = true;
    // The thread reads the wake count before it looks at the queue, so this
    // wake-up is never lost. A deadline no earlier than the one it waits for
    // on the same clock needs none: a read restarting its timer never wakes
    // the thread.
    if (m_pWaitingOn != nullptr &&
        (pEntry->itArmed->first < m_ullWaitingFor || m_pWaitingOn != &machine)) {
      m_pWaitingOn->Wake();
    }
  }

  // A thread that has left Run needs no lock to finish: its handle is
  // signalled once it is out of the module's code.
  void ReapEndedThreadLocked() noexcept {
    if (m_hThread == nullptr) return;
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }

  static DWORD WINAPI ThreadRoutine(LPVOID pService) {
    static_cast<CTimerService*>(pService)->Run();
    return 0;
  }

  // One turn: fire the earliest timer that is due, or wait for the earliest
  // deadline (or a change of the queue).
  void Run() noexcept {
    for (;;) {
      STimerEntry* pDue = nullptr;
      {
        auto machine = MachineSeam().Use();
        const ULONGLONG ullWakeCount = machine->GetWakeCount();
        ULONGLONG ullDeadline = IMachine::kNoDeadline;
        {
          std::lock_guard lock(m_lock);
          if (m_cTimers == 0) {
            m_bThreadRunning = false;
            return;
          }
          if (!m_queue.empty() && m_queue.begin()->first <= machine->GetTickCount64()) {
            pDue = m_queue.begin()->second;
            DisarmLocked(pDue);
            pDue->bRunning = true;
            m_bCallbackRunning = true;
          } else {
            if (!m_queue.empty()) ullDeadline = m_queue.begin()->first;
            m_pWaitingOn = &*machine;
            m_ullWaitingFor = ullDeadline;
          }
        }
        if (pDue == nullptr) {
          machine->WaitForTick(ullDeadline, ullWakeCount);
          std::lock_guard lock(m_lock);
          m_pWaitingOn = nullptr;
          continue;
        }
      }
      // Neither the lock nor the machine is held while the callback runs: it
      // may wait for a lock whose holder destroys timers.
      try {
        pDue->pCallback->OnTimerExpired();
      } catch (...) {
      }
      // A timer destroyed meanwhile is freed before the callback counts as
      // done, so that a waiter finds its callback object gone.
      bool bFree = false;
      {
        std::lock_guard lock(m_lock);
        pDue->bRunning = false;
        bFree = pDue->bDetached;
      }
      if (bFree) delete pDue;
      {
        std::lock_guard lock(m_lock);
        m_bCallbackRunning = false;
        ++m_ullCallbacksDone;
      }
      m_callbackDone.notify_all();
    }
  }

  std::mutex m_lock;
  std::condition_variable m_callbackDone;
  TQueue m_queue;
  size_t m_cTimers = 0;           // timers not destroyed
  HANDLE m_hThread = nullptr;     // the thread, until reaped
  bool m_bThreadRunning = false;  // until the thread leaves Run
  DWORD m_dwTimerThread = 0;
  IMachine* m_pWaitingOn = nullptr;  // the machine the thread waits on, held by it
  ULONGLONG m_ullWaitingFor = 0;     // and the deadline it waits for
  bool m_bCallbackRunning = false;
  ULONGLONG m_ullCallbacksDone = 0;
};

CTimer::~CTimer() { m_service.Destroy(m_pEntry); }

void CTimer::Restart() { m_service.Arm(m_pEntry); }

// The service and its seam are never destroyed: a timer thread may still run
// when the process ends.
CTimerService& RealTimerService() noexcept {
  static TNoDestructor<CTimerService> real;
  return *real;
}

}  // namespace

bool TimerThreadRunning() noexcept { return RealTimerService().ThreadRunning(); }

TSeam<ITimerService>& TimerServiceSeam() noexcept {
  static TNoDestructor<TSeam<ITimerService>> seam(RealTimerService());
  return *seam;
}

namespace ZU::Framework {

ITimer* ITimer::CreateNewTimer(DWORD dwPeriodSeconds, ITimerCallbackFunction* pCallback) {
  return TimerServiceSeam().Get().CreateNewTimer(dwPeriodSeconds, pCallback);
}

void ITimer::WaitForRunningCallbacks() { TimerServiceSeam().Get().WaitForRunningCallbacks(); }

}  // namespace ZU::Framework
