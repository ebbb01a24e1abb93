#include "support/zureglist.h"

#include <new>

#include "support/secstring.h"

DWORD ZuRegSaturatingSize(DWORD dwCount, DWORD cbSlot) noexcept {
  const ULONGLONG cb = static_cast<ULONGLONG>(dwCount) * cbSlot;
  return cb >= kZuRegImpossibleSize ? kZuRegImpossibleSize : static_cast<DWORD>(cb);
}

namespace {

// A zero-filled block; null when the size is the saturated one or memory
// is short. An empty listing still gets a block, so that its second call
// is a fill call (with capacity 0), never a second count.
std::unique_ptr<BYTE[]> AllocateBlock(DWORD cb) noexcept {
  if (cb == kZuRegImpossibleSize) return nullptr;
  return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[cb == 0 ? 1 : cb]());
}

}  // namespace

template <class TSlot, class FCall>
EZuRegList CZuRegListing::Read(FCall&& call) noexcept {
  m_pBuffer.reset();
  m_bFilled = false;
  m_dwCount1 = 0;
  m_dwCount2 = 0;
  m_lRc = call(static_cast<TSlot*>(nullptr), &m_dwCount1);
  if (m_lRc != ERROR_SUCCESS) return EZuRegList::kCountFailed;

  m_pBuffer = AllocateBlock(ZuRegSaturatingSize(m_dwCount1, sizeof(TSlot)));
  if (m_pBuffer == nullptr) return EZuRegList::kAllocationFailed;

  m_dwCount2 = m_dwCount1;
  m_lRc = call(reinterpret_cast<TSlot*>(m_pBuffer.get()), &m_dwCount2);
  // The count is judged before the call's result: a key that grew makes the
  // fill call fail as well, and growth is what the caller must report.
  if (m_dwCount2 > m_dwCount1) return EZuRegList::kCountGrew;
  if (m_lRc != ERROR_SUCCESS) return EZuRegList::kFillFailed;
  m_bFilled = true;
  return EZuRegList::kOk;
}

EZuRegList CZuRegListing::ListKeysEx(HKEY hRoot, LPCWSTR pszPath, DWORD dwView) noexcept {
  m_bKeys = true;
  return Read<ZU_REG_KEY_SLOT>([&](ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount) {
    return zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, dwView);
  });
}

EZuRegList CZuRegListing::ListKeys(HKEY hRoot, LPCWSTR pszPath) noexcept {
  m_bKeys = true;
  return Read<ZU_REG_KEY_SLOT>([&](ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount) {
    return zuRegListKeys(hRoot, pszPath, pSlots, pdwCount);
  });
}

EZuRegList CZuRegListing::ListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, DWORD dwTypeFilter,
                                           DWORD dwView) noexcept {
  m_bKeys = false;
  return Read<ZU_REG_VALUE_RECORD>([&](ZU_REG_VALUE_RECORD* pRecords, DWORD* pdwCount) {
    return zuRegListValueNamesEx(hRoot, pszPath, pRecords, pdwCount, dwTypeFilter, dwView);
  });
}

const WCHAR* CZuRegListing::Name(DWORD i) const noexcept {
  if (m_bKeys) return reinterpret_cast<const ZU_REG_KEY_SLOT*>(m_pBuffer.get())[i].szName;
  return Record(i).szName;
}

const ZU_REG_VALUE_RECORD& CZuRegListing::Record(DWORD i) const noexcept {
  return reinterpret_cast<const ZU_REG_VALUE_RECORD*>(m_pBuffer.get())[i];
}

// m_cbData covers every byte a read may have written: the whole block
// until the data read succeeds, what it read from then on.
void CZuRegValue::Wipe() noexcept {
  if (m_pData != nullptr) ZU::Framework::SecureZero(m_pData.get(), m_cbData);
  m_pData.reset();
}

EZuRegRead CZuRegValue::Read(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) noexcept {
  Wipe();
  m_cbData = 0;
  m_dwType = REG_NONE;
  m_lRc = zuRegReadValueEx(hRoot, pszPath, pszValue, &m_dwType, nullptr, &m_cbData, dwView);
  if (m_lRc != ERROR_SUCCESS) return EZuRegRead::kSizeFailed;
  m_pData = AllocateBlock(m_cbData);
  if (m_pData == nullptr) return EZuRegRead::kAllocationFailed;
  const DWORD dwTypeFirst = m_dwType;
  DWORD cbRead = m_cbData;
  m_lRc = zuRegReadValueEx(hRoot, pszPath, pszValue, &m_dwType, m_pData.get(), &cbRead, dwView);
  if (m_lRc == ERROR_MORE_DATA || (m_lRc == ERROR_SUCCESS && m_dwType != dwTypeFirst)) {
    Wipe();
    return EZuRegRead::kChanged;
  }
  if (m_lRc != ERROR_SUCCESS) {
    Wipe();
    return EZuRegRead::kReadFailed;
  }
  // A value that shrank is what the second read found.
  m_cbData = cbRead;
  if (m_cbData == 0) Wipe();
  return EZuRegRead::kOk;
}
