#include "trees/clearappcontainertree.h"

#include <oleauto.h>

#include <new>
#include <string_view>

#include "platform/registry_seam.h"
#include "security/processidentity.h"
#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/scopedbstr.h"
#include "support/scopedhkey.h"
#include "support/zureglist.h"
#include "trees/registryformat.h"
#include "trees/treepath.h"

namespace {

constexpr OLECHAR kBackslash = OLESTR("\\")[0];
constexpr OLECHAR kContainerListSuffix[] =
    OLESTR("_Classes\\Local Settings\\Software\\Microsoft\\Windows\\")
        OLESTR("CurrentVersion\\AppContainer\\Storage");
constexpr OLECHAR kContainerSubKey[] =
    OLESTR("Software\\AppData\\") OLESTR("Orvane\\Kelmyr\\RemanentDataStore\\");
// Opening a key to see whether it is there: KEY_READ in the 64-bit view.
constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr DWORD kMaxPath = 250;       // units of a store path and of a RegDelTree path
constexpr DWORD kMaxValueName = 255;  // units of a value name
constexpr DWORD kPathBuffer = kMaxPath + 1;
// Levels below its start a nested search descends. The registry keeps keys
// at most 512 levels deep, so only a loop of registry links leads further;
// the bound keeps such a loop from exhausting the stack.
constexpr unsigned kMaxSearchDepth = 512;

void AppendKey(secwstring& sPath, const secwstring& sParent,
               std::basic_string_view<OLECHAR> sName) {
  sPath.reserve(sParent.size() + 1 + sName.size());
  sPath.assign(sParent);
  sPath.push_back(kBackslash);
  sPath.append(sName.data(), sName.size());
}

// Appends "\" and the segments of a compartment path joined by "\" (nothing
// for the root "/"); E_INVALIDARG, with nothing appended, for a path the
// registry cannot hold as keys.
HRESULT AppendKeyPathOf(const secwstring& sCompartmentId, secwstring& sPath) {
  if (sCompartmentId == kRootPath) return S_OK;
  if (!IsKeyablePath(sCompartmentId)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::ConvertString2RegistryFormat sCompartmentId = %s "
                    "cannot be a registry key"),
             sCompartmentId.c_str());
    return E_INVALIDARG;
  }
  const size_t cchPath = sPath.size();
  sPath.reserve(cchPath + 1 + sCompartmentId.size());
  sPath.push_back(kBackslash);
  for (const OLECHAR ch : sCompartmentId) sPath.push_back(ch == kPathSeparator ? kBackslash : ch);
  return S_OK;
}

}  // namespace

// The messages of one removal: Q is the name at the head of its lines.
struct SClearWalkMessages {
  CLogScopeName scope;                            // Q
  logformat::CLogFormat<> updateFailed;           // Q UpdateRegistryKey failed
  logformat::CLogFormat<> convertFailed;          // Q ConvertString2RegistryFormat failed
  logformat::CLogFormat<DWORD, DWORD> tooLong;    // Q length of sFullPath = %d greater than %d
  logformat::CLogFormat<LONG> listFailed;         // Q zuRegListKeysEx failed : rc = %d
  logformat::CLogFormat<> allocationFailed;       // Q zuRegKey allocation failed
  logformat::CLogFormat<DWORD, DWORD> countGrew;  // Q Key count increased ...
  logformat::CLogFormat<> outOfMemory;            // Q allocation failed
};

#define CLEAR_WALK_MESSAGES(q)                                                                  \
  {                                                                                             \
    LOG_SCOPE_NAME(q), OLESTR(q " UpdateRegistryKey failed"),                                   \
        OLESTR(q " ConvertString2RegistryFormat failed"),                                       \
        OLESTR(q " length of sFullPath = %d greater than %d"),                                  \
        OLESTR(q " zuRegListKeysEx failed : rc = %d"), OLESTR(q " zuRegKey allocation failed"), \
        OLESTR(q " Key count increased between calls of zuRegListKeysEx (%d > %d)"),            \
        OLESTR(q " allocation failed")                                                          \
  }

// The messages of one nested search, headed by its operation's name.
struct SClearSearchMessages {
  CLogScopeName scope;
  logformat::CLogFormat<const OLECHAR*> checkIn;  // <name> Check in subkey='%s'
  logformat::CLogFormat<LONG> listFailed;
  logformat::CLogFormat<> allocationFailed;
  logformat::CLogFormat<DWORD, DWORD> countGrew;
  logformat::CLogFormat<> noSubkey;
  logformat::CLogFormat<> tooDeep;
  logformat::CLogFormat<> outOfMemory;
};

#define CLEAR_SEARCH_MESSAGES(name)                                                     \
  {                                                                                     \
    LOG_SCOPE_NAME(name), OLESTR(name " Check in subkey='%s'"),                         \
        OLESTR(name " zuRegListKeysEx failed : rc = %d"),                               \
        OLESTR(name " zuRegKey allocation failed"),                                     \
        OLESTR(name " Key count increased between calls of zuRegListKeysEx (%d > %d)"), \
        OLESTR(name " no subkey"), OLESTR(name " search too deep"),                     \
        OLESTR(name " allocation failed")                                               \
  }

namespace {

// Lists the subkeys of sPath in the 64-bit view; a failed listing is logged
// with the caller's lines and mapped to E_INVALIDARG when the registry
// refused it, E_FAIL otherwise.
template <class TMessages>
HRESULT ListSubkeys(CZuRegListing& listing, HKEY hRootKey, const secwstring& sPath,
                    const TMessages& messages) {
  switch (listing.ListKeysEx(hRootKey, sPath.c_str(), ZU_REG_VIEW_64)) {
    case EZuRegList::kOk:
      return S_OK;
    case EZuRegList::kCountFailed:
    case EZuRegList::kFillFailed:
      qvlogLog(gLogChannel, LOG_FAILURE, messages.listFailed, listing.Rc());
      return E_INVALIDARG;
    case EZuRegList::kAllocationFailed:
      qvlogLog(gLogChannel, LOG_FAILURE, messages.allocationFailed);
      return E_FAIL;
    case EZuRegList::kCountGrew:
      qvlogLog(gLogChannel, LOG_FAILURE, messages.countGrew, listing.Count2(), listing.Count1());
      return E_FAIL;
  }
  return E_FAIL;
}

constexpr SClearWalkMessages kRemoveDataWalk =
    CLEAR_WALK_MESSAGES("CClearAppContainerTree::RemoveData");
// The compartment removal keeps the registry tree's name at the head of its
// lines.
constexpr SClearWalkMessages kRemoveCompartmentWalk =
    CLEAR_WALK_MESSAGES("CRegistryTree::RemoveCompartment");
constexpr SClearWalkMessages kFlushTreeWalk =
    CLEAR_WALK_MESSAGES("CClearAppContainerTree::FlushTree");

constexpr SClearSearchMessages kSubValueSearch =
    CLEAR_SEARCH_MESSAGES("CClearAppContainerTree::RegDeleteSubValue");
constexpr SClearSearchMessages kSubTreeSearch =
    CLEAR_SEARCH_MESSAGES("CClearAppContainerTree::RegDeleteSubTree");
constexpr SClearSearchMessages kSubKeySearch =
    CLEAR_SEARCH_MESSAGES("CClearAppContainerTree::RegDeleteSubKey");

}  // namespace

CClearAppContainerTree::CClearAppContainerTree(const secwstring& sTreeId)
    : m_hRootKey(HKEY_LOCAL_MACHINE), m_sTreeId(sTreeId) {
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::CRegistryTree"));
}

CClearAppContainerTree::~CClearAppContainerTree() {
  // The root is always a predefined key: nothing to close.
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::~CRegistryTree"));
}

HRESULT CClearAppContainerTree::UpdateRegistryKey(DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CClearAppContainerTree::UpdateRegistryKey"), hr);
  secwstring sSid;
  hr = GetSIDUserFromProcessId(dwClientProcessId, sSid);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::UpdateRegistryKey GetSIDUserFromProcessId failed"));
    return hr;
  }
  try {
    sSid.append(kContainerListSuffix);
    m_sAppContainerKey.swap(sSid);
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::UpdateRegistryKey allocation failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  m_hRootKey = HKEY_USERS;
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CClearAppContainerTree::UpdateRegistryKey m_sAppContainerKey = %s"),
           m_sAppContainerKey.c_str());
  return hr;
}

HRESULT CClearAppContainerTree::ConvertString2RegistryFormat(const secwstring& sCompartmentId,
                                                             secwstring& sFullPath) {
  // An empty tree identifier would make the store path that of every tree
  // in a container, one with a backslash that of a key inside another tree.
  if (m_sTreeId.empty() || HoldsKeyBreak(m_sTreeId)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::ConvertString2RegistryFormat m_sTreeId = %s cannot "
                    "be a registry key"),
             m_sTreeId.c_str());
    return E_INVALIDARG;
  }
  try {
    secwstring sPath(sFullPath);
    sPath.append(kContainerSubKey).append(m_sTreeId);
    const HRESULT hr = AppendKeyPathOf(sCompartmentId, sPath);
    if (FAILED(hr)) return hr;
    sFullPath.swap(sPath);
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::ConvertString2RegistryFormat allocation failed"));
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CClearAppContainerTree::RemoveData(const secwstring& sCompartmentId,
                                           const secwstring& sDataId, DWORD dwClientProcessId) {
  return Walk(kRemoveDataWalk, EWalk::kValue, sCompartmentId, &sDataId, dwClientProcessId);
}

HRESULT CClearAppContainerTree::RemoveCompartment(const secwstring& sCompartmentId,
                                                  DWORD dwClientProcessId) {
  return Walk(kRemoveCompartmentWalk, EWalk::kTree, sCompartmentId, nullptr, dwClientProcessId);
}

HRESULT CClearAppContainerTree::FlushTree(DWORD dwClientProcessId) {
  static const secwstring sRoot(kRootPath);
  return Walk(kFlushTreeWalk, EWalk::kKey, sRoot, nullptr, dwClientProcessId);
}

HRESULT CClearAppContainerTree::Walk(const SClearWalkMessages& messages, EWalk eWalk,
                                     const secwstring& sCompartmentId, const secwstring* psDataId,
                                     DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(messages.scope, hr);
  hr = UpdateRegistryKey(dwClientProcessId);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.updateFailed);
    return hr;
  }
  secwstring sFullPath;
  hr = ConvertString2RegistryFormat(sCompartmentId, sFullPath);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.convertFailed);
    return hr;
  }
  if (sFullPath.size() > kMaxPath) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.tooLong, static_cast<DWORD>(sFullPath.size()),
             kMaxPath);
    hr = E_INVALIDARG;
    return hr;
  }

  CScopedBSTR bstrValueName;
  if (eWalk == EWalk::kValue) {
    if (FAILED(wstring2BSTR(*psDataId, *bstrValueName.Receive()))) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CClearAppContainerTree::RemoveData wstring2BSTR failed"));
      hr = E_FAIL;
      return hr;
    }
    const UINT cchName = SysStringLen(bstrValueName.Get());
    if (cchName > kMaxValueName) {
      qvlogLog(
          gLogChannel, LOG_FAILURE,
          OLESTR("CClearAppContainerTree::RemoveData length of pValueName = %d greater than %d"),
          cchName, kMaxValueName);
      hr = E_INVALIDARG;
      return hr;
    }
    // The registry reads a value name up to its first zero: a name holding
    // one would name another value.
    if (psDataId->find(OLECHAR(0)) != secwstring::npos) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CClearAppContainerTree::RemoveData pValueName holds a zero unit"));
      hr = E_INVALIDARG;
      return hr;
    }
  }
  const LPCWSTR pszValueName = bstrValueName.Get();

  CZuRegListing containers;
  hr = ListSubkeys(containers, m_hRootKey, m_sAppContainerKey, messages);
  if (FAILED(hr)) return hr;

  try {
    secwstring sCandidate;
    secwstring sTarget;
    for (DWORD i = 0; i < containers.Count(); ++i) {
      AppendKey(sCandidate, m_sAppContainerKey, containers.Name(i));
      AppendKey(sTarget, sCandidate, sFullPath);
      switch (eWalk) {
        case EWalk::kValue: {
          const LONG rc =
              zuRegDeleteValue(m_hRootKey, sTarget.c_str(), pszValueName, ZU_REG_VIEW_64);
          if (rc != ERROR_SUCCESS) {
            qvlogLog(gLogChannel, LOG_FAILURE,
                     OLESTR("CClearAppContainerTree::RemoveData zuRegDeleteValue failed : rc = %d"),
                     rc);
            hr = Search(kSubValueSearch, eWalk, sCandidate, sFullPath, pszValueName, 0);
          }
          break;
        }
        case EWalk::kTree: {
          CScopedHKEY key;
          const LONG lResult =
              Registry().RegOpenKeyExW(m_hRootKey, sTarget.c_str(), 0, kReadAccess, key.Receive());
          if (lResult == ERROR_SUCCESS) {
            qvlogLog(gLogChannel, LOG_DETAIL,
                     OLESTR("CRegistryTree::RemoveCompartment RegCloseKey lResult = 0x%x"),
                     key.Reset());
            if (!RegDelTree(m_hRootKey, sTarget.c_str())) {
              qvlogLog(gLogChannel, LOG_NOTABLE,
                       OLESTR("CRegistryTree::RemoveCompartment RegDelTree return FALSE"));
            }
          } else {
            qvlogLog(gLogChannel, LOG_FAILURE,
                     OLESTR("CRegistryTree::RemoveCompartment RegOpenKeyEx failed : lResult = %x "
                            "dwLastError = %x"),
                     lResult, GetLastError());
            hr = Search(kSubTreeSearch, eWalk, sCandidate, sFullPath, nullptr, 0);
          }
          break;
        }
        case EWalk::kKey: {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("CClearAppContainerTree::FlushTree Calling zuRegDeleteSubKey on %s"),
                   sTarget.c_str());
          if (zuRegDeleteSubKey(m_hRootKey, sTarget.c_str(), ZU_REG_VIEW_64, 0) != ERROR_SUCCESS) {
            qvlogLog(gLogChannel, LOG_FAILURE,
                     OLESTR("CClearAppContainerTree::FlushTree zuRegDeleteSubKey failed"));
            hr = Search(kSubKeySearch, eWalk, sCandidate, sFullPath, nullptr, 0);
          }
          break;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.outOfMemory);
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

HRESULT CClearAppContainerTree::RegDeleteSubValue(const secwstring& sParentKey,
                                                  const secwstring& sFullPath,
                                                  const secwstring& sValueName) {
  // The registry reads the name up to its first zero, which would name
  // another value.
  if (sValueName.find(OLECHAR(0)) != secwstring::npos) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::RegDeleteSubValue pValueName holds a zero unit"));
    return E_INVALIDARG;
  }
  return Search(kSubValueSearch, EWalk::kValue, sParentKey, sFullPath, sValueName.c_str(), 0);
}

HRESULT CClearAppContainerTree::RegDeleteSubTree(const secwstring& sParentKey,
                                                 const secwstring& sFullPath) {
  return Search(kSubTreeSearch, EWalk::kTree, sParentKey, sFullPath, nullptr, 0);
}

HRESULT CClearAppContainerTree::RegDeleteSubKey(const secwstring& sParentKey,
                                                const secwstring& sFullPath) {
  return Search(kSubKeySearch, EWalk::kKey, sParentKey, sFullPath, nullptr, 0);
}

HRESULT CClearAppContainerTree::Search(const SClearSearchMessages& messages, EWalk eWalk,
                                       const secwstring& sParentKey, const secwstring& sFullPath,
                                       LPCWSTR pszValueName, unsigned uDepth) {
  HRESULT hr = S_OK;
  CLogScope scope(messages.scope, hr);
  if (uDepth >= kMaxSearchDepth) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.tooDeep);
    hr = E_FAIL;
    return hr;
  }
  CZuRegListing subkeys;
  hr = ListSubkeys(subkeys, m_hRootKey, sParentKey, messages);
  if (FAILED(hr)) return hr;
  if (subkeys.Count() == 0) {
    // The bottom of every branch of the search: nothing below to look in.
    qvlogLog(gLogChannel, LOG_DETAIL, messages.noSubkey);
    hr = E_FAIL;
    return hr;
  }

  try {
    secwstring sKey;
    secwstring sTarget;
    for (DWORD i = 0; i < subkeys.Count(); ++i) {
      AppendKey(sKey, sParentKey, subkeys.Name(i));
      AppendKey(sTarget, sKey, sFullPath);
      if (RemoveAt(eWalk, sTarget, pszValueName)) {
        hr = S_OK;
        return hr;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE, messages.checkIn, sKey.c_str());
      hr = Search(messages, eWalk, sKey, sFullPath, pszValueName, uDepth + 1);
      if (SUCCEEDED(hr)) {
        hr = S_OK;
        return hr;
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.outOfMemory);
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

bool CClearAppContainerTree::RemoveAt(EWalk eWalk, const secwstring& sTarget,
                                      LPCWSTR pszValueName) {
  switch (eWalk) {
    case EWalk::kValue:
      if (zuRegDeleteValue(m_hRootKey, sTarget.c_str(), pszValueName, ZU_REG_VIEW_64) !=
          ERROR_SUCCESS) {
        return false;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CClearAppContainerTree::RegDeleteSubValue Value deleted on %s"),
               sTarget.c_str());
      return true;
    case EWalk::kTree: {
      CScopedHKEY key;
      const LONG lResult =
          Registry().RegOpenKeyExW(m_hRootKey, sTarget.c_str(), 0, kReadAccess, key.Receive());
      if (lResult != ERROR_SUCCESS) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CClearAppContainerTree::RegDeleteSubTree RegOpenKeyEx failed : lResult = "
                        "%x dwLastError = %x"),
                 lResult, GetLastError());
        return false;
      }
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("CClearAppContainerTree::RegDeleteSubTree RegCloseKey lResult = 0x%x"),
               key.Reset());
      if (!RegDelTree(m_hRootKey, sTarget.c_str())) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CClearAppContainerTree::RegDeleteSubTree RegDelTree return FALSE"));
        return false;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CClearAppContainerTree::RegDeleteSubTree SubTree deleted on %s"),
               sTarget.c_str());
      return true;
    }
    case EWalk::kKey:
      if (zuRegDeleteSubKey(m_hRootKey, sTarget.c_str(), ZU_REG_VIEW_64, 0) != ERROR_SUCCESS) {
        return false;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CClearAppContainerTree::RegDeleteSubKey SubKey deleted on %s"),
               sTarget.c_str());
      return true;
  }
  return false;
}

BOOL CClearAppContainerTree::RegDelTree(HKEY hRootKey, LPCWSTR lpSubKey) {
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CClearAppContainerTree::RegDelTree"));
  const BOOL bDeleted = DeleteTree(hRootKey, lpSubKey);
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("CClearAppContainerTree::RegDelTree lResult = 0x%x"),
           bDeleted);
  return bDeleted;
}

BOOL CClearAppContainerTree::DeleteTree(HKEY hRootKey, LPCWSTR lpSubKey) {
  const size_t cchSubKey = lpSubKey == nullptr ? 0 : std::char_traits<WCHAR>::length(lpSubKey);
  // An empty path names the root itself, which is never deleted whole.
  if (cchSubKey == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::RegDelTree lpSubKey is empty"));
    return FALSE;
  }
  if (cchSubKey > kMaxPath) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CClearAppContainerTree::RegDelTree length of lpSubKey = %d greater than %d"),
             static_cast<DWORD>(cchSubKey), kMaxPath);
    return FALSE;
  }
  WCHAR szPath[kPathBuffer];
  std::char_traits<WCHAR>::copy(szPath, lpSubKey, cchSubKey + 1);

  LONG lResult = zuRegDeleteKey(hRootKey, szPath, 0, ZU_REG_VIEW_64);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CClearAppContainerTree::RegDelTree zuRegDeleteKey lResult = %d"), lResult);
  if (lResult == ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("CClearAppContainerTree::RegDelTree zuRegDeleteKey succeeded"));
    return TRUE;
  }

  CScopedHKEY key;
  lResult = Registry().RegOpenKeyExW(hRootKey, szPath, 0, kReadAccess, key.Receive());
  if (lResult != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CClearAppContainerTree::RegDelTree RegOpenKeyEx failed : lResult = %x "
                    "dwLastError = %x"),
             lResult, GetLastError());
    return FALSE;
  }

  size_t cchBase = cchSubKey;
  if (szPath[cchBase - 1] != kBackslash) szPath[cchBase++] = kBackslash;
  szPath[cchBase] = 0;
  for (;;) {
    WCHAR szName[kPathBuffer];
    DWORD cchName = kPathBuffer;
    // The child just deleted is gone, so the next one is at index 0 again.
    if (Registry().RegEnumKeyExW(key.Get(), 0, szName, &cchName, nullptr, nullptr, nullptr,
                                 nullptr) != ERROR_SUCCESS) {
      break;
    }
    if (cchBase + cchName > kMaxPath) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CClearAppContainerTree::RegDelTree dwSize too long"));
      break;
    }
    std::char_traits<WCHAR>::copy(szPath + cchBase, szName, cchName);
    szPath[cchBase + cchName] = 0;
    if (!RegDelTree(hRootKey, szPath)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CClearAppContainerTree::RegDelTree RegDelTree failed"));
      break;
    }
  }

  szPath[cchSubKey] = 0;
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CClearAppContainerTree::RegDelTree RegCloseKey lResult = 0x%x"), key.Reset());
  lResult = zuRegDeleteKey(hRootKey, szPath, 0, ZU_REG_VIEW_64);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CClearAppContainerTree::RegDelTree zuRegDeleteKey lResult = 0x%x"), lResult);
  return lResult == ERROR_SUCCESS;
}
