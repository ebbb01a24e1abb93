// Helpers of the Win32 conformance suites: a handle closed at the end of its
// scope, a thread started on a captureless lambda, and the error of a call.
#pragma once

#include <windows.h>

class CScopedHandle {
 public:
  explicit CScopedHandle(HANDLE h = nullptr) : m_h(h) {}
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;
  ~CScopedHandle() {
    if (m_h != nullptr) CloseHandle(m_h);
  }
  HANDLE Get() const { return m_h; }
  HANDLE* Put() { return &m_h; }

 private:
  HANDLE m_h;
};

inline HANDLE StartThread(LPTHREAD_START_ROUTINE pfnRoutine, void* pParameter,
                          DWORD* pThreadId = nullptr) {
  return CreateThread(nullptr, 0, pfnRoutine, pParameter, 0, pThreadId);
}

// What FAILURE_OF answers for a call that succeeded.
inline constexpr DWORD kSucceeded = 0xFFFFFFFE;

// The last error of a call that answered FALSE or null, or kSucceeded.
#define FAILURE_OF(call) (SetLastError(0), (call) ? kSucceeded : GetLastError())

// The last error of a wait that answered WAIT_FAILED, or its result.
#define WAIT_ERROR_OF(call) (SetLastError(0), (call) == WAIT_FAILED ? GetLastError() : kSucceeded)
