// Scoped owners of COM values: an interface pointer released, and a
// VARIANT cleared, when the owner goes out of scope.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

template <class I>
class TScopedInterface {
 public:
  TScopedInterface() noexcept = default;
  ~TScopedInterface() { Reset(); }
  TScopedInterface(const TScopedInterface&) = delete;
  TScopedInterface& operator=(const TScopedInterface&) = delete;

  I* Get() const noexcept { return m_p; }
  I* operator->() const noexcept { return m_p; }
  // For calls that return a new reference through an I**.
  I** Receive() noexcept {
    Reset();
    return &m_p;
  }
  // For calls that return it through a void** (CoGetCallContext,
  // QueryInterface).
  void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }
  void Reset() noexcept {
    if (m_p != nullptr) std::exchange(m_p, nullptr)->Release();
  }

 private:
  I* m_p = nullptr;
};

class CScopedVariant {
 public:
  CScopedVariant() noexcept { VariantInit(&m_v); }
  ~CScopedVariant() { VariantClear(&m_v); }
  CScopedVariant(const CScopedVariant&) = delete;
  CScopedVariant& operator=(const CScopedVariant&) = delete;

  VARIANT* Get() noexcept { return &m_v; }
  const VARIANT& operator*() const noexcept { return m_v; }
  // Clears the value, for reuse.
  void Clear() noexcept { VariantClear(&m_v); }

 private:
  VARIANT m_v;
};
