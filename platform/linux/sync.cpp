// Critical sections: a recursive pthread mutex kept inside the caller's
// CRITICAL_SECTION storage, so that the owning thread may enter again as on
// Windows and no allocation can fail.
#include <pthread.h>
#include <windows.h>

#include <new>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION),
              "the mutex must fit the critical section's storage");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "the critical section's storage must be aligned for the mutex");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->Opaque));
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

// The spin count is a tuning hint for multiprocessor Windows; glibc's mutex
// already spins adaptively, so it is accepted and ignored.
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) {
  UNREFERENCED_PARAMETER(dwSpinCount);
  if (lpCriticalSection == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  auto* mutex = new (lpCriticalSection->Opaque) pthread_mutex_t;
  // Initialising a recursive mutex with a default attribute set allocates
  // nothing on Linux and cannot fail.
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return TRUE;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  pthread_mutex_lock(MutexOf(lpCriticalSection));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return;
  pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection == nullptr) return FALSE;
  return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}
