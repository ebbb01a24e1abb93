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
// memory under a running thread. Uninstall polls: it runs only when an
// installer is done, never on a path that must be fast.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <type_traits>

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
    // The few implementations in use at once fit the table; a full table
    // waits for a slot.
    for (;;) {
      {
        std::lock_guard lock(m_lock);
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
      }
      std::this_thread::yield();
    }
  }

  I* Install(I* pReplacement) noexcept {
    std::lock_guard lock(m_lock);
    return m_pCurrent.exchange(pReplacement != nullptr ? pReplacement : &m_real);
  }

  // Puts pPrevious back in place of pInstalled and waits until no counted
  // reference reaches pInstalled; one still held after giveUpAfter stops the
  // process.
  void Uninstall(I* pInstalled, I* pPrevious,
                 std::chrono::milliseconds giveUpAfter = std::chrono::minutes(1)) noexcept {
    Install(pPrevious);
    const auto giveUp = std::chrono::steady_clock::now() + giveUpAfter;
    while (InUse(pInstalled)) {
      if (std::chrono::steady_clock::now() > giveUp) {
        std::fputs("seam: an uninstalled implementation is still in use by a thread\n", stderr);
        std::abort();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  I& Real() const noexcept { return m_real; }

 private:
  struct SCount {
    I* p = nullptr;
    long uses = 0;
  };

  void Release(I* p) noexcept {
    std::lock_guard lock(m_lock);
    for (SCount& count : m_counts) {
      if (count.p == p && count.uses != 0) {
        --count.uses;
        break;
      }
    }
  }

  bool InUse(I* p) const noexcept {
    std::lock_guard lock(m_lock);
    for (const SCount& count : m_counts) {
      if (count.p == p && count.uses != 0) return true;
    }
    return false;
  }

  I& m_real;
  // A spin lock guards the table: its holders only scan eight entries, and
  // unlike a mutex it needs no destruction on any platform.
  class CSpinLock {
   public:
    void lock() noexcept {
      while (m_bLocked.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() noexcept { m_bLocked.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> m_bLocked{false};
  };

  mutable CSpinLock m_lock;
  std::atomic<I*> m_pCurrent;
  SCount m_counts[8];
};

// A seam held in a function's static survives the exit handlers: nothing in it
// needs destroying, so threads may still reach it while the process exits.
static_assert(std::is_trivially_destructible_v<TSeam<int>>);
