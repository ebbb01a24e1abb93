// CCriticalSection and CScopedLock: the re-entrant lock the stores and the
// history tree serialise on, and its scoped holder.
#pragma once

#include <windows.h>

class CCriticalSection {
 public:
  CCriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
  ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() noexcept { EnterCriticalSection(&m_cs); }
  void Leave() noexcept { LeaveCriticalSection(&m_cs); }
  bool TryEnter() noexcept { return TryEnterCriticalSection(&m_cs) != FALSE; }

 private:
  CRITICAL_SECTION m_cs;
};

class CScopedLock {
 public:
  explicit CScopedLock(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
  ~CScopedLock() { m_cs.Leave(); }
  CScopedLock(const CScopedLock&) = delete;
  CScopedLock& operator=(const CScopedLock&) = delete;

 private:
  CCriticalSection& m_cs;
};
