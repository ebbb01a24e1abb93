// Handles and the waitable objects of the layer: the process-wide handle
// table, threads, events and the wait functions.
//
// Signal states of all waitable objects are guarded by one dispatcher lock,
// and every change of a signal state wakes all waiters through one condition
// variable; a waiter re-checks its own objects and goes back to sleep. This
// makes a wait on several objects, and wait-all in particular, atomic without
// per-object bookkeeping: the waits of this system are few and short.
#include "kernel_objects.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/no_destructor.h"
#include "process_id.h"

namespace kelmyr::winapi {
namespace {

// Access rights of the handles this file creates, with the Windows values.
constexpr ACCESS_MASK kEventModifyState = 0x0002;
constexpr ACCESS_MASK kEventAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
constexpr ACCESS_MASK kThreadAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;

// Windows allows about 16 million handles per process; handle values are
// multiples of 4 and stay below 2^31, so code that keeps a handle in 32 bits,
// as Windows permits, keeps it whole.
constexpr uint32_t kMaxHandleSlots = 1u << 24;

// CHandleTable: slot n is handle value 4 * (n + 1). Fresh slots are taken in
// a ring, so a closed handle's value comes back only after every other slot
// has been used: a stale handle is answered with ERROR_INVALID_HANDLE for as
// long as possible.
class CHandleTable {
 public:
  HANDLE Insert(std::shared_ptr<CKernelObject> pObject, ACCESS_MASK grantedAccess) noexcept {
    // Declared before the lock: should the insertion fail, the reference is
    // dropped after the lock is released.
    SHandleEntry entry{std::move(pObject), grantedAccess};
    std::lock_guard lock(m_lock);
    if (m_entries.size() >= kMaxHandleSlots) {
      SetLastError(ERROR_NO_SYSTEM_RESOURCES);
      return nullptr;
    }
    while (m_entries.count(m_nextSlot) != 0) m_nextSlot = (m_nextSlot + 1) % kMaxHandleSlots;
    const uint32_t slot = m_nextSlot;
    try {
      m_entries.emplace(slot, std::move(entry));
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    m_nextSlot = (slot + 1) % kMaxHandleSlots;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot + 1) * 4);
  }

  bool Lookup(HANDLE hObject, SHandleEntry* pEntry) noexcept {
    uint32_t slot = 0;
    if (SlotOf(hObject, &slot)) {
      std::lock_guard lock(m_lock);
      auto it = m_entries.find(slot);
      if (it != m_entries.end()) {
        *pEntry = it->second;
        return true;
      }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

  // The handle's reference to its object is dropped after the table lock is
  // released: an object is never destroyed under the table lock.
  bool Remove(HANDLE hObject) noexcept {
    uint32_t slot = 0;
    SHandleEntry removed;
    if (SlotOf(hObject, &slot)) {
      std::lock_guard lock(m_lock);
      auto it = m_entries.find(slot);
      if (it != m_entries.end()) {
        removed = std::move(it->second);
        m_entries.erase(it);
        return true;
      }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

 private:
  static bool SlotOf(HANDLE hObject, uint32_t* pSlot) noexcept {
    const auto value = reinterpret_cast<uintptr_t>(hObject);
    if (value == 0 || value % 4 != 0 || value / 4 > kMaxHandleSlots) return false;
    *pSlot = static_cast<uint32_t>(value / 4 - 1);
    return true;
  }

  std::mutex m_lock;
  std::unordered_map<uint32_t, SHandleEntry> m_entries;
  uint32_t m_nextSlot = 0;
};

// The table and the dispatcher are built in static storage on first use and
// never destroyed: threads the layer started may still end (and signal)
// while static objects are being destroyed at exit. Building them allocates
// nothing, so it cannot fail.
template <class T>
T& Immortal() noexcept {
  static TNoDestructor<T> object;
  return *object;
}

CHandleTable& HandleTable() noexcept { return Immortal<CHandleTable>(); }

struct SDispatcher {
  std::mutex lock;
  std::condition_variable wake;
};

SDispatcher& Dispatcher() noexcept { return Immortal<SDispatcher>(); }

class CEvent final : public CKernelObject {
 public:
  CEvent(bool bManualReset, bool bInitialState) noexcept
      : CKernelObject(ObjectKind::kEvent),
        m_bManualReset(bManualReset),
        m_bSignalled(bInitialState) {}

  DWORD WaitSupport() const noexcept override { return ERROR_SUCCESS; }
  bool IsSignalled() const noexcept override { return m_bSignalled; }
  void Consume() noexcept override {
    if (!m_bManualReset) m_bSignalled = false;
  }

  void SetSignalled(bool bSignalled) noexcept { m_bSignalled = bSignalled; }

 private:
  const bool m_bManualReset;
  bool m_bSignalled;  // under the dispatcher lock
};

// CThread: a thread started by CreateThread. It is signalled when its routine
// has returned; the routine's result is its exit code.
class CThread final : public CKernelObject {
 public:
  CThread() noexcept : CKernelObject(ObjectKind::kThread) {}

  DWORD WaitSupport() const noexcept override { return ERROR_SUCCESS; }
  bool IsSignalled() const noexcept override { return m_bEnded; }

  // Under the dispatcher lock.
  DWORD m_threadId = 0;
  DWORD m_exitCode = STILL_ACTIVE;
  bool m_bEnded = false;
};

// What a wait on GetCurrentProcess() or GetCurrentThread() waits for: the end
// of the caller itself, which the caller cannot see.
template <ObjectKind kKind>
class CCurrentSelf final : public CKernelObject {
 public:
  CCurrentSelf() noexcept : CKernelObject(kKind) {}
  DWORD WaitSupport() const noexcept override { return ERROR_SUCCESS; }
};

struct SThreadStart {
  std::shared_ptr<CThread> pThread;
  LPTHREAD_START_ROUTINE pfnStart;
  LPVOID pParameter;
};

void* ThreadMain(void* pArg) noexcept {
  std::unique_ptr<SThreadStart> pStart(static_cast<SThreadStart*>(pArg));
  SDispatcher& dispatcher = Dispatcher();
  {
    std::lock_guard lock(dispatcher.lock);
    pStart->pThread->m_threadId = GetCurrentThreadId();
  }
  dispatcher.wake.notify_all();

  const DWORD exitCode = pStart->pfnStart(pStart->pParameter);

  {
    std::lock_guard lock(dispatcher.lock);
    pStart->pThread->m_exitCode = exitCode;
    pStart->pThread->m_bEnded = true;
  }
  dispatcher.wake.notify_all();
  return nullptr;
}

// The object a wait function waits on for a handle, with the errors of
// Windows: an unknown handle, a handle without SYNCHRONIZE access, an object
// that cannot be waited on.
std::shared_ptr<CKernelObject> WaitableObjectOf(HANDLE hObject) noexcept {
  // The pseudo objects are not owned by any reference (aliasing an empty
  // owner), so naming them allocates nothing.
  if (hObject == kCurrentProcessPseudoHandle) {
    return std::shared_ptr<CKernelObject>(std::shared_ptr<void>(),
                                          &Immortal<CCurrentSelf<ObjectKind::kProcess>>());
  }
  if (hObject == kCurrentThreadPseudoHandle) {
    return std::shared_ptr<CKernelObject>(std::shared_ptr<void>(),
                                          &Immortal<CCurrentSelf<ObjectKind::kThread>>());
  }

  SHandleEntry entry;
  if (!LookupHandle(hObject, &entry)) return nullptr;
  if ((entry.grantedAccess & SYNCHRONIZE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const DWORD support = entry.pObject->WaitSupport();
  if (support != ERROR_SUCCESS) {
    SetLastError(support);
    return nullptr;
  }
  return std::move(entry.pObject);
}

using WaitSet = std::array<std::shared_ptr<CKernelObject>, MAXIMUM_WAIT_OBJECTS>;

// Satisfies the wait if it can, under the dispatcher lock: the index of the
// lowest signalled object for wait-any, 0 for wait-all, or -1.
int TrySatisfy(const WaitSet& objects, DWORD nCount, bool bWaitAll) noexcept {
  if (bWaitAll) {
    for (DWORD i = 0; i < nCount; ++i) {
      if (!objects[i]->IsSignalled()) return -1;
    }
    for (DWORD i = 0; i < nCount; ++i) objects[i]->Consume();
    return 0;
  }
  for (DWORD i = 0; i < nCount; ++i) {
    if (objects[i]->IsSignalled()) {
      objects[i]->Consume();
      return static_cast<int>(i);
    }
  }
  return -1;
}

DWORD WaitOn(const WaitSet& objects, DWORD nCount, bool bWaitAll, DWORD dwMilliseconds) noexcept {
  SDispatcher& dispatcher = Dispatcher();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  std::unique_lock lock(dispatcher.lock);
  bool bTimedOut = false;
  for (;;) {
    const int satisfied = TrySatisfy(objects, nCount, bWaitAll);
    if (satisfied >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(satisfied);
    if (dwMilliseconds == 0 || bTimedOut) return WAIT_TIMEOUT;
    if (dwMilliseconds == INFINITE) {
      dispatcher.wake.wait(lock);
    } else {
      bTimedOut = dispatcher.wake.wait_until(lock, deadline) == std::cv_status::timeout;
    }
  }
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<CKernelObject> pObject, ACCESS_MASK grantedAccess) noexcept {
  return HandleTable().Insert(std::move(pObject), grantedAccess);
}

bool LookupHandle(HANDLE hObject, SHandleEntry* pEntry) noexcept {
  return HandleTable().Lookup(hObject, pEntry);
}

}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == kCurrentProcessPseudoHandle || hObject == kCurrentThreadPseudoHandle) return TRUE;
  return HandleTable().Remove(hObject) ? TRUE : FALSE;
}

// The thread runs detached; its object, shared by the thread and the handle,
// keeps the exit code for as long as a handle names it. CREATE_SUSPENDED is
// refused: the layer has no ResumeThread.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  UNREFERENCED_PARAMETER(lpThreadAttributes);
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }

  std::shared_ptr<CThread> pThread;
  std::unique_ptr<SThreadStart> pStart;
  try {
    pThread = std::make_shared<CThread>();
    pStart.reset(new SThreadStart{pThread, lpStartAddress, lpParameter});
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE hThread = InsertHandle(pThread, kThreadAllAccess);
  if (hThread == nullptr) return nullptr;

  // The requested size is a minimum: as the Windows default reserve, the
  // system's default stack size is never reduced.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  size_t defaultStack = 0;
  pthread_attr_getstacksize(&attr, &defaultStack);
  if (dwStackSize > defaultStack) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    pthread_attr_setstacksize(&attr, (dwStackSize + page - 1) / page * page);
  }
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, ThreadMain, pStart.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    HandleTable().Remove(hThread);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pStart.release();

  // The id is the new thread's own; wait until it has published it.
  SDispatcher& dispatcher = Dispatcher();
  DWORD threadId = 0;
  {
    std::unique_lock lock(dispatcher.lock);
    dispatcher.wake.wait(lock, [&] { return pThread->m_threadId != 0; });
    threadId = pThread->m_threadId;
  }
  if (lpThreadId != nullptr) *lpThreadId = threadId;
  return hThread;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  if (lpExitCode == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (hThread == kCurrentThreadPseudoHandle) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto pThread = LookupObject<CThread>(hThread, ObjectKind::kThread);
  if (pThread == nullptr) return FALSE;
  std::lock_guard lock(Dispatcher().lock);
  *lpExitCode = pThread->m_exitCode;
  return TRUE;
}

// The Linux thread id: unique among the live threads of the machine, below
// 2^22 by default (and below 2^30 at most), so it fits the 32-bit id. It is
// kept with the process id it was read in: the thread that forks goes on in
// the child under a new id.
DWORD WINAPI GetCurrentThreadId(void) {
  struct SKnownId {
    DWORD dwPid = 0;
    DWORD dwTid = 0;
  };
  thread_local SKnownId known;
  const DWORD dwPid = CurrentProcessId();
  if (known.dwPid != dwPid) {
    known.dwTid = static_cast<DWORD>(syscall(SYS_gettid));
    known.dwPid = dwPid;
  }
  return known.dwTid;
}

DWORD WINAPI GetCurrentProcessId(void) { return CurrentProcessId(); }

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcessPseudoHandle; }

HANDLE WINAPI GetCurrentThread(void) { return kCurrentThreadPseudoHandle; }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
  } else if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  }
}

// Named events would be shared across processes on Windows; the layer has no
// such namespace, so a name is refused rather than silently made private.
// An empty name creates an unnamed event, as on Windows.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
  UNREFERENCED_PARAMETER(lpEventAttributes);
  if (lpName != nullptr && lpName[0] != u'\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::shared_ptr<CEvent> pEvent;
  try {
    pEvent = std::make_shared<CEvent>(bManualReset != FALSE, bInitialState != FALSE);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE hEvent = InsertHandle(std::move(pEvent), kEventAllAccess);
  // A new unnamed event clears the last error, as on Windows.
  if (hEvent != nullptr) SetLastError(ERROR_SUCCESS);
  return hEvent;
}

namespace {

BOOL SetEventState(HANDLE hEvent, bool bSignalled) noexcept {
  ACCESS_MASK granted = 0;
  auto pEvent = LookupObject<CEvent>(hEvent, ObjectKind::kEvent, &granted);
  if (pEvent == nullptr) return FALSE;
  if ((granted & kEventModifyState) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SDispatcher& dispatcher = Dispatcher();
  {
    std::lock_guard lock(dispatcher.lock);
    pEvent->SetSignalled(bSignalled);
  }
  if (bSignalled) dispatcher.wake.notify_all();
  return TRUE;
}

}  // namespace

BOOL WINAPI SetEvent(HANDLE hEvent) { return SetEventState(hEvent, true); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return SetEventState(hEvent, false); }

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  WaitSet objects;
  for (DWORD i = 0; i < nCount; ++i) {
    objects[i] = WaitableObjectOf(lpHandles[i]);
    if (objects[i] == nullptr) return WAIT_FAILED;
  }
  // Wait-all must be able to satisfy every entry at once: one object named
  // twice (an auto-reset event could be consumed only once) is refused.
  if (bWaitAll) {
    for (DWORD i = 0; i < nCount; ++i) {
      for (DWORD j = i + 1; j < nCount; ++j) {
        if (objects[i] == objects[j]) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
  }
  return WaitOn(objects, nCount, bWaitAll != FALSE, dwMilliseconds);
}
