// TSeam: one replaceable implementation of an interface, process-wide.
//
// The system reaches the machine and the outside libraries through seams so
// that a hosting process (and the tests) can put its own implementation in
// place of the real one. A seam starts on its real default; Install swaps in
// another implementation and returns the previous one, and installing null
// restores the default. The caller keeps ownership of what it installs.
//
// Lifetime. Two ways of reaching the implementation:
// - Get() hands out a plain reference. It is for threads that the installer
//   joins (or whose calls have returned) before it uninstalls: the callers
//   of the system's interfaces and the tests' own threads.
// - Use() hands out a counted reference, for threads that outlive any one
//   installation (the timer thread, the session monitor).
// Whoever destroys an implementation it installed removes it with
// Uninstall, which returns only when no counted reference reaches it any
// more. An implementation whose calls block (waits on the clock) releases
// its blocked callers first. A counted reference still held after a minute
// is a deadlock: the process stops with a message rather than hang or free
// memory under a running thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

template <class I>
class TSeam {
 public:
  // A counted reference to the implementation that was current when it was
  // taken.
  class TUse {
   public:
    TUse(TUse&& other) noexcept : m_pSeam(other.m_pSeam), m_p(other.m_p) {
      other.m_pSeam = nullptr;
    }
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;
    TUse& operator=(TUse&&) = delete;
    ~TUse() {
      if (m_pSeam != nullptr) m_pSeam->Release(m_p);
    }
    I& operator*() const noexcept { return *m_p; }
    I* operator->() const noexcept { return m_p; }

   private:
    friend class TSeam;
    TUse(TSeam* pSeam, I* p) noexcept : m_pSeam(pSeam), m_p(p) {}
    TSeam* m_pSeam;
    I* m_p;
  };

  explicit TSeam(I& real) noexcept : m_real(real), m_pCurrent(&real) {}
  TSeam(const TSeam&) = delete;
  TSeam& operator=(const TSeam&) = delete;

  I& Get() const noexcept { return *m_pCurrent.load(std::memory_order_acquire); }

  TUse Use() noexcept {
    std::unique_lock lock(m_lock);
    // The few implementations in use at once fit the table; a full table
    // waits for a slot.
    for (;;) {
      I* const p = m_pCurrent.load();
      SCount* pFree = nullptr;
      for (SCount& count : m_counts) {
        if (count.p == p) {
          ++count.uses;
          return TUse(this, p);
        }
        if (count.uses == 0 && pFree == nullptr) pFree = &count;
      }
      if (pFree != nullptr) {
        *pFree = SCount{p, 1};
        return TUse(this, p);
      }
      m_released.wait(lock);
    }
  }

  I* Install(I* pReplacement) noexcept {
    std::lock_guard lock(m_lock);
    return m_pCurrent.exchange(pReplacement != nullptr ? pReplacement : &m_real);
  }

  // Puts pPrevious back in place of pInstalled and waits until no counted
  // reference reaches pInstalled.
  void Uninstall(I* pInstalled, I* pPrevious) noexcept {
    Install(pPrevious);
    std::unique_lock lock(m_lock);
    const bool bReleased = m_released.wait_for(lock, std::chrono::minutes(1), [&] {
      for (const SCount& count : m_counts) {
        if (count.p == pInstalled && count.uses != 0) return false;
      }
      return true;
    });
    if (!bReleased) {
      std::fputs("seam: an uninstalled implementation is still in use by a thread\n", stderr);
      std::abort();
    }
  }

  I& Real() const noexcept { return m_real; }

 private:
  struct SCount {
    I* p = nullptr;
    long uses = 0;
  };

  void Release(I* p) noexcept {
    {
      std::lock_guard lock(m_lock);
      for (SCount& count : m_counts) {
        if (count.p == p && count.uses != 0) {
          --count.uses;
          break;
        }
      }
    }
    m_released.notify_all();
  }

  I& m_real;
  mutable std::mutex m_lock;
  std::condition_variable m_released;
  std::atomic<I*> m_pCurrent;
  SCount m_counts[8];
};
