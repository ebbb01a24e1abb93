// CScopedHKEY: owns one open registry key and closes it, through the
// registry seam, when it goes out of scope. A predefined root is never closed
// (closing it would do nothing anyway, but an owner should not pretend to
// own it).
#pragma once

#include <windows.h>

#include <winreg.h>

#include <utility>

#include "platform/registry_seam.h"

class CScopedHKEY {
 public:
  CScopedHKEY() noexcept = default;
  explicit CScopedHKEY(HKEY hKey) noexcept : m_hKey(hKey) {}
  ~CScopedHKEY() { Reset(); }
  CScopedHKEY(CScopedHKEY&& other) noexcept : m_hKey(std::exchange(other.m_hKey, nullptr)) {}
  CScopedHKEY& operator=(CScopedHKEY&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_hKey, nullptr));
    return *this;
  }
  CScopedHKEY(const CScopedHKEY&) = delete;
  CScopedHKEY& operator=(const CScopedHKEY&) = delete;

  HKEY Get() const noexcept { return m_hKey; }
  explicit operator bool() const noexcept { return m_hKey != nullptr; }
  // For RegOpenKeyExW and RegCreateKeyExW: closes the key held so far and
  // hands out the slot for the new one.
  HKEY* Receive() noexcept {
    Reset();
    return &m_hKey;
  }
  HKEY Release() noexcept { return std::exchange(m_hKey, nullptr); }
  // Closes the key held (its result is RegCloseKey's) and takes hKey.
  LONG Reset(HKEY hKey = nullptr) noexcept {
    LONG l = ERROR_SUCCESS;
    if (m_hKey != nullptr && !IsPredefined(m_hKey)) l = Registry().RegCloseKey(m_hKey);
    m_hKey = hKey;
    return l;
  }

  static bool IsPredefined(HKEY hKey) noexcept {
    return hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE ||
           hKey == HKEY_USERS;
  }

 private:
  HKEY m_hKey = nullptr;
};
