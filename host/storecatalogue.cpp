#include "host/storecatalogue.h"

#include <oleauto.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/zureglist.h"

namespace {

constexpr OLECHAR kCatalogueKey[] = OLESTR("Software\\Orvane\\Kelmyr\\StoreList");
constexpr OLECHAR kDefaultProduct[] = OLESTR("Brenmoor");
constexpr OLECHAR kType[] = OLESTR("Type");
constexpr OLECHAR kEncrypted[] = OLESTR("Encrypted");
constexpr OLECHAR kShared[] = OLESTR("SharedBetweenUserSessions");
constexpr OLECHAR kProduct[] = OLESTR("Product");

// The catalogue path, or the path of one of its subkeys, as a new BSTR.
HRESULT PathToBSTR(const OLECHAR* pszSubkey, CScopedBSTR& bstrPath) {
  HRESULT hr = S_OK;
  try {
    secwstring sPath(kCatalogueKey);
    if (pszSubkey != nullptr) sPath.append(OLESTR("\\")).append(pszSubkey);
    hr = wstring2BSTR(sPath, *bstrPath.Receive());
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos wstring2BSTR failed"));
  return hr;
}

HRESULT CopyText(const OLECHAR* pszText, CScopedBSTR& bstrCopy) {
  const BSTR bstr = SysAllocString(pszText);
  if (bstr == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos SysAllocString failed"));
    return E_OUTOFMEMORY;
  }
  bstrCopy.Reset(bstr);
  return S_OK;
}

HRESULT ReadFailed(LONG rc) {
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos zuRegRead failed rc = %x"), rc);
  return E_FAIL;
}

// A REG_DWORD switch: exactly dwSwitched sets the field to it, any other
// number leaves the field as it is.
HRESULT ReadSwitch(LPCWSTR pszPath, LPCWSTR pszName, DWORD dwSwitched, DWORD& dwField) {
  DWORD dwValue = 0;
  const LONG rc =
      zuRegReadDWORDValueEx(HKEY_LOCAL_MACHINE, pszPath, pszName, &dwValue, ZU_REG_VIEW_64);
  if (rc != ERROR_SUCCESS) return ReadFailed(rc);
  if (dwValue == dwSwitched) dwField = dwSwitched;
  return S_OK;
}

// The product text: its length first, then the text into a zero-filled
// buffer of that many units.
HRESULT ReadProduct(LPCWSTR pszPath, StoreInfo& info) {
  DWORD cch = 0;
  LONG rc =
      zuRegReadStringValueEx(HKEY_LOCAL_MACHINE, pszPath, kProduct, nullptr, &cch, ZU_REG_VIEW_64);
  if (rc != ERROR_SUCCESS) return ReadFailed(rc);
  // The size saturates as a listing's does, so that an impossible length
  // fails the allocation; one unit more than told keeps the text terminated
  // whatever the read leaves in the buffer.
  std::unique_ptr<WCHAR[]> pszValue;
  if (ZuRegSaturatingSize(cch, sizeof(WCHAR)) != kZuRegImpossibleSize) {
    pszValue.reset(new (std::nothrow) WCHAR[cch + 1]());
  }
  if (pszValue == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos pszValue allocation failed"));
    return E_FAIL;
  }
  rc = zuRegReadStringValueEx(HKEY_LOCAL_MACHINE, pszPath, kProduct, pszValue.get(), &cch,
                              ZU_REG_VIEW_64);
  if (rc != ERROR_SUCCESS) return ReadFailed(rc);
  return CopyText(pszValue.get(), info.bstrProduct);
}

// Value names are matched as whole strings, case-sensitively; other values
// are not read.
HRESULT ReadValue(LPCWSTR pszPath, LPCWSTR pszName, StoreInfo& info) {
  const std::basic_string_view<WCHAR> sName(pszName);
  if (sName == kType) return ReadSwitch(pszPath, pszName, 1, info.nType);
  if (sName == kEncrypted) return ReadSwitch(pszPath, pszName, 0, info.bEncrypted);
  if (sName == kShared) return ReadSwitch(pszPath, pszName, 1, info.bSharedBetweenUserSessions);
  if (sName == kProduct) return ReadProduct(pszPath, info);
  return S_OK;
}

// Reads one store subkey and appends its record; S_OK without a record when
// there is no memory to list its values.
HRESULT ReadStore(LPCWSTR pszStoreId, std::list<StoreInfo>& listStoreInfos) {
  CScopedBSTR bstrPath;
  HRESULT hr = PathToBSTR(pszStoreId, bstrPath);
  if (FAILED(hr)) return hr;
  StoreInfo info;
  hr = CopyText(kDefaultProduct, info.bstrProduct);
  if (FAILED(hr)) return hr;

  CZuRegListing values;
  const EZuRegList eListed =
      values.ListValueNamesEx(HKEY_LOCAL_MACHINE, bstrPath.Get(), ZU_REG_ALL_TYPES, ZU_REG_VIEW_64);
  switch (eListed) {
    case EZuRegList::kCountFailed:
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos zuRegListValueNames failed rc = %x"),
               values.Rc());
      return E_FAIL;
    case EZuRegList::kAllocationFailed:
      return S_OK;
    case EZuRegList::kCountGrew:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("GetRegInfos nValueCount2 > nValueCount1 = %d > %d"), values.Count2(),
               values.Count1());
      return E_UNEXPECTED;
    case EZuRegList::kOk:
    case EZuRegList::kFillFailed:
      break;
  }
  // A failed fill lists nothing: the store keeps its defaults.
  for (DWORD i = 0; i < values.Count(); ++i) {
    hr = ReadValue(bstrPath.Get(), values.Name(i), info);
    if (FAILED(hr)) return hr;
  }
  hr = CopyText(pszStoreId, info.bstrStoreId);
  if (FAILED(hr)) return hr;
  try {
    listStoreInfos.push_back(std::move(info));
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos allocation failed"));
    return E_OUTOFMEMORY;
  }
  if (eListed == EZuRegList::kFillFailed) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos zuRegListValueNames failed rc = %x"),
             values.Rc());
    return E_FAIL;
  }
  return S_OK;
}

HRESULT ReadCatalogue(std::list<StoreInfo>& listStoreInfos) {
  CScopedBSTR bstrCatalogue;
  const HRESULT hr = PathToBSTR(nullptr, bstrCatalogue);
  if (FAILED(hr)) return hr;
  listStoreInfos.clear();

  CZuRegListing subkeys;
  switch (subkeys.ListKeysEx(HKEY_LOCAL_MACHINE, bstrCatalogue.Get(), ZU_REG_VIEW_64)) {
    case EZuRegList::kOk:
      break;
    case EZuRegList::kCountFailed:
    case EZuRegList::kFillFailed:
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos zuRegListKeys failed rc = %x"),
               subkeys.Rc());
      return E_FAIL;
    case EZuRegList::kAllocationFailed:
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegInfos pRegSubKeys allocation failed"));
      return E_FAIL;
    case EZuRegList::kCountGrew:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("GetRegInfos nSubKeyCount2 > nSubKeyCount1 = %d > %d"), subkeys.Count2(),
               subkeys.Count1());
      return E_UNEXPECTED;
  }
  for (DWORD i = 0; i < subkeys.Count(); ++i) {
    const HRESULT hrStore = ReadStore(subkeys.Name(i), listStoreInfos);
    if (FAILED(hrStore)) return hrStore;
  }
  return S_OK;
}

}  // namespace

HRESULT GetRegInfos(std::list<StoreInfo>& listStoreInfos) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("GetRegInfos"), hr);
  hr = ReadCatalogue(listStoreInfos);
  return hr;
}
