// CScopedBSTR: owns one BSTR and frees it when it goes out of scope.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

#include "support/zuwinext.h"

class CScopedBSTR {
 public:
  CScopedBSTR() noexcept = default;
  explicit CScopedBSTR(BSTR bstr) noexcept : m_bstr(bstr) {}
  ~CScopedBSTR() { Reset(); }
  CScopedBSTR(CScopedBSTR&& other) noexcept : m_bstr(std::exchange(other.m_bstr, nullptr)) {}
  CScopedBSTR& operator=(CScopedBSTR&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_bstr, nullptr));
    return *this;
  }
  CScopedBSTR(const CScopedBSTR&) = delete;
  CScopedBSTR& operator=(const CScopedBSTR&) = delete;

  BSTR Get() const noexcept { return m_bstr; }
  // For functions that return a new BSTR through a BSTR*; frees the current
  // one first.
  BSTR* Receive() noexcept {
    Reset();
    return &m_bstr;
  }
  // Gives up ownership without freeing.
  BSTR Release() noexcept { return std::exchange(m_bstr, nullptr); }
  // Frees the current string (as a temporary of the system) and takes bstr.
  void Reset(BSTR bstr = nullptr) noexcept {
    if (m_bstr != nullptr) zuSysFreeString(m_bstr, ZU_RELEASE_TEMPORARY);
    m_bstr = bstr;
  }

 private:
  BSTR m_bstr = nullptr;
};
