// TSeam: one replaceable implementation of an interface, process-wide.
//
// The system reaches the machine and the outside libraries through seams so
// that a hosting process (and the tests) can put its own implementation in
// place of the real one. A seam starts on its real default; Install swaps in
// another implementation and returns the previous one, and installing null
// restores the default. The caller keeps ownership of what it installs and
// must not destroy it while installed.
#pragma once

#include <atomic>

template <class I>
class TSeam {
 public:
  explicit TSeam(I& real) noexcept : m_real(real), m_current(&real) {}
  TSeam(const TSeam&) = delete;
  TSeam& operator=(const TSeam&) = delete;

  I& Get() const noexcept { return *m_current.load(std::memory_order_acquire); }

  I* Install(I* pReplacement) noexcept {
    return m_current.exchange(pReplacement ? pReplacement : &m_real, std::memory_order_acq_rel);
  }

  I& Real() const noexcept { return m_real; }

 private:
  I& m_real;
  std::atomic<I*> m_current;
};
