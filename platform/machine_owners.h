// Scoped owners of what the machine seam hands out: a handle closed through
// Machine().CloseHandle, and local memory (SIDs, texts, security
// descriptors) released through Machine().LocalFree, on every path.
#pragma once

#include <windows.h>

#include <utility>

#include "platform/machine.h"

class CMachineHandle {
 public:
  CMachineHandle() noexcept = default;
  explicit CMachineHandle(HANDLE h) noexcept : m_h(h) {}
  ~CMachineHandle() { Reset(); }
  CMachineHandle(const CMachineHandle&) = delete;
  CMachineHandle& operator=(const CMachineHandle&) = delete;

  HANDLE Get() const noexcept { return m_h; }
  // For calls that return a new handle through a HANDLE*; closes the
  // current one first.
  HANDLE* Receive() noexcept {
    Reset();
    return &m_h;
  }
  void Reset(HANDLE h = nullptr) noexcept {
    if (m_h != nullptr) Machine().CloseHandle(m_h);
    m_h = h;
  }

 private:
  HANDLE m_h = nullptr;
};

template <class T>
class CMachineLocal {
 public:
  CMachineLocal() noexcept = default;
  explicit CMachineLocal(T* p) noexcept : m_p(p) {}
  ~CMachineLocal() { Reset(); }
  CMachineLocal(const CMachineLocal&) = delete;
  CMachineLocal& operator=(const CMachineLocal&) = delete;

  T* Get() const noexcept { return m_p; }
  // For calls that return new memory through a T**; releases the current
  // block first.
  T** Receive() noexcept {
    Reset();
    return &m_p;
  }
  void Reset(T* p = nullptr) noexcept {
    if (m_p != nullptr) Machine().LocalFree(m_p);
    m_p = p;
  }

 private:
  T* m_p = nullptr;
};
