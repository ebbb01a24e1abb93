// The two-call reading of registry listings and values, the one place where
// every caller of the helper library's listings gets them from.
//
// A listing is read in two calls: the first, without a buffer, gives the
// count; count × slot size bytes are allocated, the product saturating
// instead of wrapping so that an impossible count fails the allocation; the
// second call fills the buffer, being told the first count as its capacity;
// a second count larger than the first means the key gained entries between
// the calls and fails the listing; otherwise the second count is the number
// of entries to iterate. Each failure is reported as its own outcome, with
// the codes and counts the caller logs, so that every caller can map it to
// its own HRESULT and message.
//
// A value is read the same way: its size first, then the data; a value that
// grew or changed type between the two calls is reported as changed.
#pragma once

#include <windows.h>

#include <memory>

#include "support/zuwinext.h"

// Bytes of count slots of cbSlot bytes, in 32 bits; a product that does not
// fit saturates at 0xFFFFFFFF, which no allocation accepts.
DWORD ZuRegSaturatingSize(DWORD dwCount, DWORD cbSlot) noexcept;
inline constexpr DWORD kZuRegImpossibleSize = 0xFFFFFFFF;

enum class EZuRegList {
  kOk,                // Count() entries are available
  kCountFailed,       // the first call failed with Rc()
  kAllocationFailed,  // Count1() slots could not be allocated
  kCountGrew,         // Count2() > Count1(): the key changed between the calls
  kFillFailed,        // the second call failed with Rc()
};

class CZuRegListing {
 public:
  CZuRegListing() noexcept = default;
  CZuRegListing(const CZuRegListing&) = delete;
  CZuRegListing& operator=(const CZuRegListing&) = delete;

  // Subkeys through zuRegListKeysEx, with the view flag.
  EZuRegList ListKeysEx(HKEY hRoot, LPCWSTR pszPath, DWORD dwView) noexcept;
  // Subkeys through zuRegListKeys, which takes no view flag.
  EZuRegList ListKeys(HKEY hRoot, LPCWSTR pszPath) noexcept;
  // Value names through zuRegListValueNamesEx.
  EZuRegList ListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, DWORD dwTypeFilter,
                              DWORD dwView) noexcept;

  LONG Rc() const noexcept { return m_lRc; }
  DWORD Count1() const noexcept { return m_dwCount1; }
  DWORD Count2() const noexcept { return m_dwCount2; }
  // Entries to iterate: the second count after kOk, else none.
  DWORD Count() const noexcept { return m_bFilled ? m_dwCount2 : 0; }
  // The zero-terminated name of entry i < Count().
  const WCHAR* Name(DWORD i) const noexcept;
  // The record of entry i < Count() of a value listing.
  const ZU_REG_VALUE_RECORD& Record(DWORD i) const noexcept;

 private:
  template <class TSlot, class FCall>
  EZuRegList Read(FCall&& call) noexcept;

  std::unique_ptr<BYTE[]> m_pBuffer;
  bool m_bKeys = true;
  bool m_bFilled = false;
  LONG m_lRc = ERROR_SUCCESS;
  DWORD m_dwCount1 = 0;
  DWORD m_dwCount2 = 0;
};

enum class EZuRegRead {
  kOk,                // Type(), Data() and Size() hold the value
  kSizeFailed,        // the size query failed with Rc() (ERROR_FILE_NOT_FOUND: absent)
  kAllocationFailed,  // Size() bytes could not be allocated
  kChanged,           // the value grew or changed type between the two calls
  kReadFailed,        // the read failed with Rc()
};

// The data it holds is overwritten with zeros before its memory is given
// back: values may be protected secrets.
class CZuRegValue {
 public:
  CZuRegValue() noexcept = default;
  ~CZuRegValue() { Wipe(); }
  CZuRegValue(const CZuRegValue&) = delete;
  CZuRegValue& operator=(const CZuRegValue&) = delete;

  EZuRegRead Read(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) noexcept;

  LONG Rc() const noexcept { return m_lRc; }
  DWORD Type() const noexcept { return m_dwType; }
  DWORD Size() const noexcept { return m_cbData; }
  // The data (null for an empty value).
  const BYTE* Data() const noexcept { return m_pData.get(); }

 private:
  // Wipes and frees the data block.
  void Wipe() noexcept;

  std::unique_ptr<BYTE[]> m_pData;
  LONG m_lRc = ERROR_SUCCESS;
  DWORD m_dwType = REG_NONE;
  DWORD m_cbData = 0;
};
