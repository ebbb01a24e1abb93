// CScopedSafeArray: owns one SAFEARRAY and destroys it when it goes out of
// scope. A failed release is logged by the helper library.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

#include "support/zuwinext.h"

class CScopedSafeArray {
 public:
  CScopedSafeArray() noexcept = default;
  explicit CScopedSafeArray(SAFEARRAY* psa) noexcept : m_psa(psa) {}
  ~CScopedSafeArray() { Reset(); }
  CScopedSafeArray(CScopedSafeArray&& other) noexcept
      : m_psa(std::exchange(other.m_psa, nullptr)) {}
  CScopedSafeArray& operator=(CScopedSafeArray&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_psa, nullptr));
    return *this;
  }
  CScopedSafeArray(const CScopedSafeArray&) = delete;
  CScopedSafeArray& operator=(const CScopedSafeArray&) = delete;

  SAFEARRAY* Get() const noexcept { return m_psa; }
  // For functions that return a new array through a SAFEARRAY**; destroys
  // the current one first.
  SAFEARRAY** Receive() noexcept {
    Reset();
    return &m_psa;
  }
  // Gives up ownership without destroying.
  SAFEARRAY* Release() noexcept { return std::exchange(m_psa, nullptr); }
  // Destroys the current array (as a temporary of the system) and takes
  // psa; returns the result of the release.
  HRESULT Reset(SAFEARRAY* psa = nullptr) noexcept {
    HRESULT hr = S_OK;
    if (m_psa != nullptr) hr = zuSafeArrayDestroy(m_psa, ZU_RELEASE_TEMPORARY);
    m_psa = psa;
    return hr;
  }

 private:
  SAFEARRAY* m_psa = nullptr;
};
