#include "trees/registrytree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "platform/machine.h"
#include "platform/registry_seam.h"
#include "security/processidentity.h"
#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/scopedbstr.h"
#include "support/scopedhkey.h"
#include "support/scopedsafearray.h"
#include "support/zureglist.h"
#include "trees/history.h"
#include "trees/registryformat.h"
#include "trees/treepath.h"

namespace {

// The directory of all registry trees below each location.
constexpr OLECHAR kMachineSubKey[] = OLESTR("Software\\Orvane\\Kelmyr\\RemanentDataStore\\");
constexpr OLECHAR kAppContainerSubKey[] =
    OLESTR("Software\\AppData\\Orvane\\Kelmyr\\RemanentDataStore\\");
constexpr OLECHAR kLowIntegritySubKey[] = OLESTR("Orvane\\Kelmyr\\RemanentDataStore\\");
constexpr OLECHAR kAppDataLowSubKey[] =
    OLESTR("\\Software\\AppDataLow\\Orvane\\Kelmyr\\RemanentDataStore\\");

constexpr OLECHAR kKeySeparator = OLESTR("\\")[0];

// Limits of key paths below the root, of the path buffers of the tree
// walks, and of value names, in UTF-16 units.
constexpr LONG kMaxFullPath = 250;
constexpr LONG kPathBuffer = 251;
constexpr UINT kMaxValueName = 255;

constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;       // 0x20119
constexpr REGSAM kAllAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F

constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr int kKeyNameInformation = 3;

using PFN_GetAppContainerRegistryLocation = HRESULT(WINAPI*)(REGSAM, PHKEY);
using PFN_IEGetWriteableHKCU = HRESULT(WINAPI*)(HKEY*);
using PFN_ZwQueryKey = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

template <class F>
F EntryPoint(HMODULE hModule, LPCSTR pszName) {
  return reinterpret_cast<F>(
      reinterpret_cast<void (*)()>(Machine().GetProcAddress(hModule, pszName)));
}

// The lines of the common start of an operation, each its own format.
struct SOperationLines {
  logformat::CLogFormat<> updateFailed;
  logformat::CLogFormat<> convertFailed;
  logformat::CLogFormat<LONG, LONG> tooLong;
};
#define OPERATION_LINES(op)                                                                    \
  SOperationLines {                                                                            \
    OLESTR(op " UpdateRegistryKey failed"), OLESTR(op " ConvertString2RegistryFormat failed"), \
        OLESTR(op " length of sFullPath = %d greater than %d")                                 \
  }

HRESULT Retarget(CRegistryTree& tree, const SOperationLines& lines, DWORD dwClientProcessId) {
  const HRESULT hr = tree.UpdateRegistryKey(dwClientProcessId);
  if (FAILED(hr)) qvlogLog(gLogChannel, LOG_FAILURE, lines.updateFailed);
  return hr;
}

// The full key path of a compartment, converted and within the limit.
HRESULT FullPath(CRegistryTree& tree, const SOperationLines& lines,
                 const secwstring& sCompartmentId, secwstring& sFullPath) {
  HRESULT hr = tree.ConvertString2RegistryFormat(sCompartmentId, sFullPath);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, lines.convertFailed);
    return hr;
  }
  if (sFullPath.size() > static_cast<size_t>(kMaxFullPath)) {
    qvlogLog(gLogChannel, LOG_FAILURE, lines.tooLong, static_cast<LONG>(sFullPath.size()),
             kMaxFullPath);
    return E_INVALIDARG;
  }
  return S_OK;
}

size_t StringLength(const WCHAR* psz) noexcept {
  size_t n = 0;
  while (psz[n] != 0) ++n;
  return n;
}

// Exact, case-sensitive comparison of a listed name with an identifier.
bool SameName(const WCHAR* pszName, const secwstring& s) noexcept {
  const size_t n = StringLength(pszName);
  return n == s.size() && std::equal(s.begin(), s.end(), pszName, [](OLECHAR a, WCHAR b) {
           return a == static_cast<OLECHAR>(b);
         });
}

bool IsRootPath(const secwstring& sPath) noexcept { return sPath == kRootPath; }

// The compartment key, opened once for the helper library's calls of one
// operation, which then name it with the empty path (kHere): each of them
// opens the key again, and opening it relative to itself spares the walk
// down the full path. A missing compartment fails here as it would fail
// the first of those calls.
constexpr OLECHAR kHere[] = OLESTR("");
LONG OpenCompartment(HKEY hRootKey, const secwstring& sFullPath, CScopedHKEY& key) {
  return Registry().RegOpenKeyExW(hRootKey, sFullPath.c_str(), 0, kReadAccess, key.Receive());
}

// The lines of a listing of a compartment's values, each its own format.
struct SValueListLines {
  logformat::CLogFormat<> allocationFailed;
  logformat::CLogFormat<DWORD, DWORD> countGrew;
  logformat::CLogFormat<> listFailed;
};
#define VALUE_LIST_LINES(op)                                 \
  SValueListLines {                                          \
    OLESTR(op " zuRegValue allocation failed"),              \
        OLESTR(op " nValueCount2 > nValueCount1 = %d > %d"), \
        OLESTR(op " zuRegListValueNamesEx failed")           \
  }

// Lists the value names of the compartment at sFullPath into listing,
// leaving the key open for reads of the values. A missing compartment or
// a failed listing logs listFailed at lListLevel and gives hrListFailed,
// with no entries listed.
HRESULT ListValues(HKEY hRootKey, const secwstring& sFullPath, const SValueListLines& lines,
                   LONG lAllocationLevel, LONG lListLevel, HRESULT hrListFailed, CScopedHKEY& key,
                   CZuRegListing& listing) {
  switch (OpenCompartment(hRootKey, sFullPath, key) != ERROR_SUCCESS
              ? EZuRegList::kCountFailed
              : listing.ListValueNamesEx(key.Get(), kHere, ZU_REG_ALL_TYPES, ZU_REG_VIEW_64)) {
    case EZuRegList::kOk:
      return S_OK;
    case EZuRegList::kAllocationFailed:
      qvlogLog(gLogChannel, lAllocationLevel, lines.allocationFailed);
      return E_FAIL;
    case EZuRegList::kCountGrew:
      qvlogLog(gLogChannel, LOG_FAILURE, lines.countGrew, listing.Count2(), listing.Count1());
      return E_UNEXPECTED;
    default:
      qvlogLog(gLogChannel, lListLevel, lines.listFailed);
      return hrListFailed;
  }
}

// A new list of cElements strings, stored in the output at once.
HRESULT NewList(ULONG cElements, SAFEARRAY** ppsaList) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, cElements);
  if (psa == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree SafeArrayCreateVector failed"));
    return E_OUTOFMEMORY;
  }
  *ppsaList = psa;
  return S_OK;
}

// The path buffer of a tree walk, with room for a separator and a
// terminator beyond the 251 units the fit test allows for.
using CPathBuffer = std::array<OLECHAR, kPathBuffer + 2>;

// Whether a child name of cchName units may be written behind the path,
// whose current length is cchCurrent (from the second child on it still
// ends with the previous child's name).
bool ChildFits(DWORD cchName, size_t cchCurrent, bool bAppended) noexcept {
  return static_cast<LONGLONG>(cchName) <= static_cast<LONGLONG>(kPathBuffer) -
                                               (bAppended ? 2 : 0) -
                                               static_cast<LONGLONG>(cchCurrent);
}

// Appends a separator to the path in buffer unless it ends with one.
size_t AppendSeparator(CPathBuffer& buffer, size_t cch, bool& bAppended) noexcept {
  bAppended = cch == 0 || buffer[cch - 1] != kKeySeparator;
  if (bAppended) buffer[cch++] = kKeySeparator;
  buffer[cch] = 0;
  return cch;
}

}  // namespace

CRegistryTree::CRegistryTree(const secwstring& sTreeId, ULONG nIntegrity)
    : m_hRootKey(HKEY_LOCAL_MACHINE),
      m_sSubKey(kMachineSubKey),
      m_sTreeId(sTreeId),
      m_nIntegrity(nIntegrity) {
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::CRegistryTree"));
}

CRegistryTree::~CRegistryTree() {
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::~CRegistryTree"));
  if (!CScopedHKEY::IsPredefined(m_hRootKey)) Registry().RegCloseKey(m_hRootKey);
}

HRESULT CRegistryTree::GetTreeId(secwstring& sTreeId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::GetTreeId"), hr);
  try {
    sTreeId = m_sTreeId;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetTreeId allocation failed"));
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

void CRegistryTree::ReplaceRootKey(HKEY hNewRoot) noexcept {
  if (m_hRootKey != hNewRoot && !CScopedHKEY::IsPredefined(m_hRootKey)) {
    // The new location is in place whatever the old key does.
    const LONG l = Registry().RegCloseKey(m_hRootKey);
    if (l != ERROR_SUCCESS) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::UpdateRegistryKey RegCloseKey of the replaced key failed "
                      "lRet = %ld"),
               l);
    }
  }
  m_hRootKey = hNewRoot;
}

HRESULT CRegistryTree::UpdateRegistryKey(DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::UpdateRegistryKey"), hr);
  switch (m_nIntegrity) {
    case REGISTRY_TREE_APP_CONTAINER:
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CRegistryTree::UpdateRegistryKey App Container Integrity"));
      hr = UpdateAppContainerKey();
      break;
    case REGISTRY_TREE_LOW_INTEGRITY:
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CRegistryTree::UpdateRegistryKey Low Level Integrity"));
      hr = UpdateLowIntegrityKey();
      break;
    case REGISTRY_TREE_LOW_DUPLICATE: {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CRegistryTree::UpdateRegistryKey Low Level Integrity (Duplicate)"));
      secwstring sSid;
      hr = GetSIDUserFromProcessId(dwClientProcessId, sSid);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CRegistryTree::UpdateRegistryKey GetSIDUserFromProcessId failed"));
        break;
      }
      try {
        secwstring sSubKey = sSid + kAppDataLowSubKey;
        m_sSubKey.swap(sSubKey);
      } catch (const std::bad_alloc&) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CRegistryTree::UpdateRegistryKey allocation failed"));
        hr = E_OUTOFMEMORY;
        break;
      }
      ReplaceRootKey(HKEY_USERS);
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::UpdateRegistryKey m_sSubKey = %s"),
               m_sSubKey.c_str());
      break;
    }
    default:
      break;
  }
  return hr;
}

HRESULT CRegistryTree::UpdateAppContainerKey() {
  IMachine& machine = Machine();
  const HMODULE hUserEnv = machine.LoadLibraryW(OLESTR("userenv.dll"));
  if (hUserEnv == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey LoadLibrary failed with error 0x%x"),
             GetLastError());
    return E_FAIL;
  }
  const auto pfnLocation =
      EntryPoint<PFN_GetAppContainerRegistryLocation>(hUserEnv, "GetAppContainerRegistryLocation");
  if (pfnLocation == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey GetAppContainerRegistryLocation failed to "
                    "load with error 0x%x"),
             GetLastError());
    machine.FreeLibrary(hUserEnv);
    return E_FAIL;
  }
  HKEY hKey = nullptr;
  const HRESULT hr = pfnLocation(KEY_ALL_ACCESS, &hKey);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey GetAppContainerRegistryLocation failed with "
                    "error 0x%x"),
             GetLastError());
    machine.FreeLibrary(hUserEnv);
    return hr;
  }
  machine.FreeLibrary(hUserEnv);
  return AdoptOpenedKey(hKey, kAppContainerSubKey);
}

HRESULT CRegistryTree::UpdateLowIntegrityKey() {
  IMachine& machine = Machine();
  HRESULT hr = E_NOTIMPL;
  HKEY hKey = nullptr;
  const HMODULE hIeFrame = machine.LoadLibraryW(OLESTR("ieframe.dll"));
  if (hIeFrame != nullptr) {
    const auto pfnWriteable = EntryPoint<PFN_IEGetWriteableHKCU>(hIeFrame, "IEGetWriteableHKCU");
    if (pfnWriteable != nullptr) hr = pfnWriteable(&hKey);
    machine.FreeLibrary(hIeFrame);
  }
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey IEGetWriteableHKCU failed with error 0x%x"),
             hr);
    return hr;
  }
  return AdoptOpenedKey(hKey, kLowIntegritySubKey);
}

HRESULT CRegistryTree::AdoptOpenedKey(HKEY hKey, const OLECHAR* pszSubKey) {
  CScopedHKEY key(hKey);
  secwstring sKeyPath;
  HRESULT hr = GetKeyPathFromHKey(hKey, sKeyPath);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey GetKeyPathFromHKey failed with error 0x%x"),
             hr);
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::UpdateRegistryKey sKeyPath = %s"),
           sKeyPath.c_str());
  try {
    m_sSubKey = pszSubKey;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::UpdateRegistryKey allocation failed"));
    return E_OUTOFMEMORY;
  }
  ReplaceRootKey(key.Release());
  return S_OK;
}

HRESULT CRegistryTree::GetKeyPathFromHKey(HKEY hKey, secwstring& sPath) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::GetKeyPathFromHKey"), hr);
  IMachine& machine = Machine();
  const HMODULE hNtdll = machine.LoadLibraryW(OLESTR("ntdll.dll"));
  if (hNtdll == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::GetKeyPathFromHKey LoadLibrary failed with error 0x%x"),
             GetLastError());
    hr = E_FAIL;
    return hr;
  }
  sPath.clear();
  const auto pfnQueryKey = EntryPoint<PFN_ZwQueryKey>(hNtdll, "ZwQueryKey");
  ULONG cbNeeded = 0;
  // A key name is at most a few thousand units; a larger answer is not
  // believed.
  if (pfnQueryKey != nullptr &&
      pfnQueryKey(hKey, kKeyNameInformation, nullptr, 0, &cbNeeded) == kStatusBufferTooSmall &&
      cbNeeded <= 0x10000) {
    try {
      // The name's length in bytes, then the name.
      std::vector<WCHAR> buffer(cbNeeded + 2, 0);
      const ULONG cbBuffer = static_cast<ULONG>(buffer.size() * sizeof(WCHAR));
      ULONG cbWritten = 0;
      if (pfnQueryKey(hKey, kKeyNameInformation, buffer.data(), cbBuffer, &cbWritten) >= 0) {
        ULONG cbName = 0;
        std::memcpy(&cbName, buffer.data(), sizeof cbName);
        const size_t cchRoom = (cbBuffer - sizeof cbName) / sizeof(WCHAR);
        const size_t cchName = std::min<size_t>(cbName / sizeof(WCHAR), cchRoom);
        const WCHAR* pName = buffer.data() + sizeof cbName / sizeof(WCHAR);
        for (size_t i = 0; i < cchName; ++i) sPath.push_back(static_cast<OLECHAR>(pName[i]));
      }
    } catch (const std::bad_alloc&) {
      // Only the log line goes without the path.
      sPath.clear();
    }
  }
  machine.FreeLibrary(hNtdll);
  return hr;
}

HRESULT CRegistryTree::ConvertString2RegistryFormat(const secwstring& sCompartmentId,
                                                    secwstring& sFullPath) {
  if (m_sTreeId.empty() || HoldsKeyBreak(m_sTreeId)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ConvertString2RegistryFormat m_sTreeId = %s is no key name"),
             m_sTreeId.c_str());
    return E_INVALIDARG;
  }
  const bool bRoot = IsRootPath(sCompartmentId);
  if (!bRoot && !IsKeyablePath(sCompartmentId)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ConvertString2RegistryFormat sCompartmentId = %s is no key "
                    "path"),
             sCompartmentId.c_str());
    return E_INVALIDARG;
  }
  try {
    secwstring sPath = sFullPath;
    sPath.reserve(sPath.size() + m_sSubKey.size() + m_sTreeId.size() + 1 + sCompartmentId.size());
    sPath += m_sSubKey;
    sPath += m_sTreeId;
    if (!bRoot) {
      sPath.push_back(kKeySeparator);
      for (const OLECHAR ch : sCompartmentId) {
        sPath.push_back(ch == kPathSeparator ? kKeySeparator : ch);
      }
    }
    sFullPath.swap(sPath);
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ConvertString2RegistryFormat allocation failed"));
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CRegistryTree::SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                               SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::SetData"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::SetData");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;

  CScopedHKEY key;
  const LONG lRet = Registry().RegCreateKeyExW(m_hRootKey, sFullPath.c_str(), 0, nullptr, 0,
                                               kAllAccess, nullptr, key.Receive(), nullptr);
  if (lRet != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData RegCreateKeyEx failed lRet = %ld"), lRet);
    hr = E_FAIL;
    return hr;
  }
  hr = WriteValue(key.Get(), sDataId, psaDataValue);
  const LONG lClose = key.Reset();
  if (lClose != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData RegCloseKey failed lRet = %ld"), lClose);
    if (SUCCEEDED(hr)) hr = E_FAIL;
  }
  return hr;
}

HRESULT CRegistryTree::WriteValue(HKEY hKey, const secwstring& sDataId, SAFEARRAY* psaDataValue) {
  CScopedBSTR name;
  if (FAILED(wstring2BSTR(sDataId, *name.Receive()))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData wstring2BSTR failed"));
    return E_FAIL;
  }
  const UINT cchName = SysStringLen(name.Get());
  if (cchName > kMaxValueName) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData length of pDataName = %d greater than %d"), cchName,
             kMaxValueName);
    return E_INVALIDARG;
  }
  if (sDataId.find(OLECHAR{0}) != secwstring::npos) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData pDataName holds a zero unit"));
    return E_INVALIDARG;
  }
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(psaDataValue, &vt))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData SafeArrayGetVartype failed"));
    return E_FAIL;
  }
  DWORD dwType = REG_NONE;
  if (FAILED(GetRegistryTypeFromSafeArrayType(vt, dwType))) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData GetRegistryTypeFromSafeArrayType failed"));
    return E_FAIL;
  }
  CRegistryBytes bytes;
  HRESULT hrElements = S_OK;
  HRESULT hr = EncodeRegistryValue(psaDataValue, vt, dwType, bytes, hrElements);
  if (FAILED(hr)) return hr;

  // The registry stores one more zero unit when a string's size leaves out
  // a terminator that follows it in the buffer: the units around the data
  // are never zero, so exactly the encoded bytes are stored.
  CRegistryBytes guarded;
  const BYTE* pData = bytes.data();
  BYTE bNothing = 0;
  try {
    if (dwType == REG_SZ || dwType == REG_MULTI_SZ) {
      guarded.assign(bytes.size() + 4, 0xFF);
      if (!bytes.empty()) std::memcpy(guarded.data() + 2, bytes.data(), bytes.size());
      pData = guarded.data() + 2;
    } else if (bytes.empty()) {
      pData = &bNothing;
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData allocation failed"));
    return E_OUTOFMEMORY;
  }
  const LONG l = Registry().RegSetValueExW(hKey, name.Get(), 0, dwType, pData,
                                           static_cast<DWORD>(bytes.size()));
  if (l != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData RegSetValueEx failed"));
    return E_FAIL;
  }
  return hrElements;
}

HRESULT CRegistryTree::GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                               SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::GetData"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::GetData");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (ppsaDataValue == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData ppsaDataValue == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;

  CScopedHKEY key;
  CZuRegListing listing;
  if (FAILED(hr = ListValues(m_hRootKey, sFullPath, VALUE_LIST_LINES("CRegistryTree::GetData"),
                             LOG_FAILURE, LOG_FAILURE, E_INVALIDARG, key, listing))) {
    return hr;
  }
  for (DWORD i = 0; i < listing.Count(); ++i) {
    if (!SameName(listing.Name(i), sDataId)) {
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CRegistryTree::GetData datas are different"));
      continue;
    }
    CZuRegValue value;
    switch (value.Read(key.Get(), kHere, listing.Name(i), ZU_REG_VIEW_64)) {
      case EZuRegRead::kOk:
        hr = DecodeRegistryValue(value.Type(), value.Data(), value.Size(), ppsaDataValue);
        break;
      case EZuRegRead::kSizeFailed:
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CRegistryTree::GetData zuRegReadValueEx failed"));
        hr = E_INVALIDARG;
        break;
      case EZuRegRead::kAllocationFailed:
        qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData allocation failed"));
        hr = E_OUTOFMEMORY;
        break;
      default:
        // Grown, retyped or gone since its size was read: no array rather
        // than a part of one.
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CRegistryTree::GetData value changed between its size and its read "
                        "lRet = %ld"),
                 value.Rc());
        hr = E_UNEXPECTED;
        break;
    }
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::GetData data was not found"));
  hr = E_INVALIDARG;
  return hr;
}

HRESULT CRegistryTree::RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                                  DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::RemoveData"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::RemoveData");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CScopedBSTR name;
  if (FAILED(wstring2BSTR(sDataId, *name.Receive()))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::RemoveData wstring2BSTR failed"));
    hr = E_FAIL;
    return hr;
  }
  const UINT cchName = SysStringLen(name.Get());
  if (cchName > kMaxValueName) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RemoveData length of pValueName = %d greater than %d"), cchName,
             kMaxValueName);
    hr = E_INVALIDARG;
    return hr;
  }
  if (sDataId.find(OLECHAR{0}) != secwstring::npos) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RemoveData pValueName holds a zero unit"));
    hr = E_INVALIDARG;
    return hr;
  }
  const LONG rc = zuRegDeleteValue(m_hRootKey, sFullPath.c_str(), name.Get(), ZU_REG_VIEW_64);
  if (rc != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RemoveData zuRegDeleteValue failed : rc = %d"), rc);
    hr = E_INVALIDARG;
  }
  return hr;
}

HRESULT CRegistryTree::CreateCompartment(const secwstring& sCompartmentId,
                                         DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::CreateCompartment"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::CreateCompartment");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CScopedHKEY key;
  if (Registry().RegCreateKeyExW(m_hRootKey, sFullPath.c_str(), 0, nullptr, 0, kAllAccess, nullptr,
                                 key.Receive(), nullptr) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::CreateCompartment RegCreateKeyEx failed"));
    hr = E_FAIL;
    return hr;
  }
  if (key.Reset() != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::CreateCompartment RegCloseKey failed"));
    hr = E_FAIL;
  }
  return hr;
}

HRESULT CRegistryTree::RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                                         DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::RemoveCompartment"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::RemoveCompartment");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CScopedHKEY key;
  const LONG lResult =
      Registry().RegOpenKeyExW(m_hRootKey, sFullPath.c_str(), 0, kReadAccess, key.Receive());
  if (lResult != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RemoveCompartment RegOpenKeyEx failed : lResult = %x "
                    "dwLastError = %x"),
             lResult, GetLastError());
    hr = E_INVALIDARG;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CRegistryTree::RemoveCompartment RegCloseKey lResult = 0x%x"), key.Reset());
  if (!RegDelTree(m_hRootKey, sFullPath.c_str(), bUpdateVersions)) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CRegistryTree::RemoveCompartment RegDelTree return FALSE"));
  }
  return hr;
}

BOOL CRegistryTree::RegDelTree(HKEY hRootKey, LPCWSTR pszSubKey, BOOL bUpdateVersions) {
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CRegistryTree::RegDelTree"));
  BOOL bResult = FALSE;
  const size_t cchSubKey = StringLength(pszSubKey);
  if (cchSubKey > static_cast<size_t>(kMaxFullPath)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RegDelTree length of lpSubKey = %d greater than %d"),
             static_cast<LONG>(cchSubKey), kMaxFullPath);
  } else {
    const LONG lResult = zuRegDeleteKey(hRootKey, pszSubKey, 0, ZU_REG_VIEW_64);
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CRegistryTree::RegDelTree zuRegDeleteKey lResult = %d"), lResult);
    if (lResult == ERROR_SUCCESS) {
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("CRegistryTree::RegDelTree zuRegDeleteKey succeeded"));
      bResult = TRUE;
    } else {
      bResult = DeleteChildrenThenKey(hRootKey, pszSubKey, cchSubKey, bUpdateVersions);
    }
  }
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("CRegistryTree::RegDelTree lResult = 0x%x"), bResult);
  return bResult;
}

BOOL CRegistryTree::DeleteChildrenThenKey(HKEY hRootKey, LPCWSTR pszSubKey, size_t cchSubKey,
                                          BOOL bUpdateVersions) {
  CScopedHKEY key;
  LONG lResult = Registry().RegOpenKeyExW(hRootKey, pszSubKey, 0, kReadAccess, key.Receive());
  if (lResult != ERROR_SUCCESS) {
    qvlogLog(
        gLogChannel, LOG_NOTABLE,
        OLESTR("CRegistryTree::RegDelTree RegOpenKeyEx failed : lResult = %x dwLastError = %x"),
        lResult, GetLastError());
    return FALSE;
  }
  CPathBuffer path{};
  std::copy(pszSubKey, pszSubKey + cchSubKey, path.begin());
  bool bAppended = false;
  const size_t cchBase = AppendSeparator(path, cchSubKey, bAppended);
  size_t cchCurrent = cchBase;
  // Index 0 each time: the child just deleted is gone. A child reported
  // deleted that is listed again ends the walk instead of looping.
  for (bool bFirst = true;; bFirst = false) {
    std::array<OLECHAR, kPathBuffer> name{};
    DWORD cchName = kPathBuffer;
    if (Registry().RegEnumKeyExW(key.Get(), 0, name.data(), &cchName, nullptr, nullptr, nullptr,
                                 nullptr) != ERROR_SUCCESS) {
      break;
    }
    if (!ChildFits(cchName, cchCurrent, bAppended)) {
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::RegDelTree dwSize too long"));
      break;
    }
    if (!bFirst && cchCurrent - cchBase == cchName &&
        std::equal(name.begin(), name.begin() + cchName, path.begin() + cchBase)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CRegistryTree::RegDelTree removed key listed again"));
      break;
    }
    std::copy(name.begin(), name.begin() + cchName, path.begin() + cchBase);
    cchCurrent = cchBase + cchName;
    path[cchCurrent] = 0;
    if (!RegDelTree(hRootKey, path.data(), bUpdateVersions)) {
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::RegDelTree RegDelTree failed"));
      break;
    }
    if (bUpdateVersions) AdvanceRemoved(path.data());
  }
  path[bAppended ? cchBase - 1 : cchBase] = 0;
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::RegDelTree RegCloseKey lResult = 0x%x"),
           key.Reset());
  lResult = zuRegDeleteKey(hRootKey, path.data(), 0, ZU_REG_VIEW_64);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CRegistryTree::RegDelTree zuRegDeleteKey lResult = 0x%x"), lResult);
  return lResult == ERROR_SUCCESS;
}

void CRegistryTree::AdvanceRemoved(const OLECHAR* pszPath) {
  const size_t cchPath = StringLength(pszPath);
  if (cchPath <= m_sSubKey.size() || !std::equal(m_sSubKey.begin(), m_sSubKey.end(), pszPath)) {
    return;
  }
  try {
    secwstring sHistoryKey(pszPath + m_sSubKey.size(), cchPath - m_sSubKey.size());
    std::replace(sHistoryKey.begin(), sHistoryKey.end(), kKeySeparator, kPathSeparator);
    for (const ULONG ulSelector : {0u, 1u}) {
      const HRESULT hr = UpdateVersion(sHistoryKey, ulSelector);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CRegistryTree::RegDelTree UpdateVersion failed hr = %x"), hr);
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::RegDelTree allocation failed"));
  }
}

HRESULT CRegistryTree::FlushTree(DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::FlushTree"), hr);
  hr = UpdateRegistryKey(dwClientProcessId);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::FlushTree UpdateRegistryKey failed"));
    return hr;
  }
  // The tree's own key: "/" converts to it.
  secwstring sFullPath;
  hr = ConvertString2RegistryFormat(secwstring(kRootPath), sFullPath);
  if (FAILED(hr)) return hr;
  if (sFullPath.size() > static_cast<size_t>(kMaxFullPath)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::FlushTree length of sFullPath = %d greater than %d"),
             static_cast<LONG>(sFullPath.size()), kMaxFullPath);
    hr = E_INVALIDARG;
    return hr;
  }
  if (zuRegDeleteSubKey(m_hRootKey, sFullPath.c_str(), ZU_REG_VIEW_64, 0) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::FlushTree zuRegDeleteSubKey failed"));
    hr = E_FAIL;
  }
  return hr;
}

HRESULT CRegistryTree::IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId,
                                    BOOL* pbCached, DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::IsDataCached"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::IsDataCached");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (pbCached == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::IsDataCached pbCached == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CScopedHKEY key;
  CZuRegListing listing;
  if (FAILED(hr = ListValues(m_hRootKey, sFullPath, VALUE_LIST_LINES("CRegistryTree::IsDataCached"),
                             LOG_NOTABLE, LOG_NOTABLE, S_OK, key, listing))) {
    return hr;
  }
  BOOL bCached = FALSE;
  for (DWORD i = 0; i < listing.Count() && !bCached; ++i) {
    bCached = SameName(listing.Name(i), sDataId) ? TRUE : FALSE;
  }
  *pbCached = bCached;
  return hr;
}

HRESULT CRegistryTree::ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                                   DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::ListDataIds"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::ListDataIds");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (ppsaDataIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::ListDataIds ppsaDataIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CScopedHKEY key;
  CZuRegListing listing;
  if (FAILED(hr = ListValues(m_hRootKey, sFullPath, VALUE_LIST_LINES("CRegistryTree::ListDataIds"),
                             LOG_FAILURE, LOG_NOTABLE, E_FAIL, key, listing))) {
    return hr;
  }
  if (FAILED(hr = NewList(listing.Count(), ppsaDataIdList))) return hr;
  for (DWORD i = 0; i < listing.Count(); ++i) {
    LONG lIndex = static_cast<LONG>(i);
    CScopedBSTR name(SysAllocString(listing.Name(i)));
    hr = name.Get() != nullptr ? SafeArrayPutElement(*ppsaDataIdList, &lIndex, name.Get())
                               : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListDataIds SafeArrayPutElement failed"));
    }
  }
  return hr;
}

HRESULT CRegistryTree::ListCompartmentIds(const secwstring& sCompartmentId,
                                          SAFEARRAY** ppsCompartmentIdList,
                                          DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::ListCompartmentIds"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::ListCompartmentIds");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (ppsCompartmentIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ListCompartmentIds ppsCompartmentIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;
  CZuRegListing listing;
  switch (listing.ListKeys(m_hRootKey, sFullPath.c_str())) {
    case EZuRegList::kOk:
      break;
    case EZuRegList::kAllocationFailed:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListCompartmentIds pRegSubKeys allocation failed"));
      hr = E_FAIL;
      return hr;
    case EZuRegList::kCountGrew:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListCompartmentIds nSubKeyCount2 > nSubKeyCount1 = %d > %d"),
               listing.Count2(), listing.Count1());
      hr = E_UNEXPECTED;
      return hr;
    default:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListCompartmentIds zuRegListKeys failed rc = %x"),
               listing.Rc());
      hr = E_FAIL;
      return hr;
  }
  if (FAILED(hr = NewList(listing.Count(), ppsCompartmentIdList))) return hr;
  for (DWORD i = 0; i < listing.Count(); ++i) {
    LONG lIndex = static_cast<LONG>(i);
    CScopedBSTR name(SysAllocString(listing.Name(i)));
    if (name.Get() == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListCompartmentIds wstring2BSTR failed"));
      hr = E_OUTOFMEMORY;
      return hr;
    }
    hr = SafeArrayPutElement(*ppsCompartmentIdList, &lIndex, name.Get());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListCompartmentIds SafeArrayPutElement failed hr = %x"), hr);
    }
  }
  return hr;
}

HRESULT CRegistryTree::IsCompartmentCached(const secwstring& sCompartmentId,
                                           ULONG* pulCompartmentVersion, ULONG* pulContentVersion,
                                           BOOL* pbCached, DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::IsCompartmentCached"), hr);
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::IsCompartmentCached");
  secwstring sFullPath;
  if (FAILED(hr = Retarget(*this, lines, dwClientProcessId))) return hr;
  if (pulCompartmentVersion == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::IsCompartmentCached pulCompartmentVersion == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (pulContentVersion == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::IsCompartmentCached pulContentVersion == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (pbCached == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::IsCompartmentCached pbCached == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (FAILED(hr = FullPath(*this, lines, sCompartmentId, sFullPath))) return hr;

  CScopedHKEY key;
  const LONG lRet =
      Registry().RegOpenKeyExW(m_hRootKey, sFullPath.c_str(), 0, kReadAccess, key.Receive());
  const BOOL bCached = lRet == ERROR_SUCCESS ? TRUE : FALSE;
  if (!bCached) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CRegistryTree::IsCompartmentCached RegOpenKeyEx failed : lRet = %x "
                    "dwLastError = %x"),
             lRet, GetLastError());
  }
  secwstring sHistoryKey;
  ULONG ulCompartmentVersion = 0;
  ULONG ulContentVersion = 0;
  hr = MakeHistoryKey(m_sTreeId, sCompartmentId, sHistoryKey);
  if (SUCCEEDED(hr)) hr = ReadVersions(sHistoryKey, &ulCompartmentVersion, &ulContentVersion);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::IsCompartmentCached GetVersion failed hr = %x"), hr);
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::IsCompartmentCached bCached = %d"),
           bCached);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CRegistryTree::IsCompartmentCached ulCompartmentVersion = %d"),
           ulCompartmentVersion);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CRegistryTree::IsCompartmentCached ulContentVersion = %d"), ulContentVersion);
  *pbCached = bCached;
  *pulCompartmentVersion = ulCompartmentVersion;
  *pulContentVersion = ulContentVersion;
  if (bCached && key.Reset() != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::IsCompartmentCached RegCloseKey failed"));
    hr = E_FAIL;
  }
  return hr;
}

HRESULT CRegistryTree::ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CRegistryTree::ListAllCompartmentIds"), hr);
  if (ppsAllCompartmentIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ListAllCompartmentIds ppsAllCompartmentIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  const SOperationLines lines = OPERATION_LINES("CRegistryTree::ListAllCompartmentIds");
  secwstring sFullPath;
  if (FAILED(hr = FullPath(*this, lines, secwstring(kRootPath), sFullPath))) return hr;
  std::vector<secwstring> list;
  if (RegListTree(m_hRootKey, sFullPath.c_str(), list) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::ListAllCompartmentIds RegListTree failed"));
    hr = E_FAIL;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CRegistryTree::ListAllCompartmentIds nbSubKeyCount = %d"),
           static_cast<LONG>(list.size()));
  if (FAILED(hr = NewList(static_cast<ULONG>(list.size()), ppsAllCompartmentIdList))) return hr;
  for (size_t i = 0; i < list.size(); ++i) {
    CScopedBSTR bstr;
    hr = wstring2BSTR(list[i], *bstr.Receive());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListAllCompartmentIds wstring2BSTR failed"));
      return hr;
    }
    LONG lIndex = static_cast<LONG>(i);
    hr = SafeArrayPutElement(*ppsAllCompartmentIdList, &lIndex, bstr.Get());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::ListAllCompartmentIds SafeArrayPutElement failed hr = %x"),
               hr);
    }
  }
  return hr;
}

LONG CRegistryTree::RegListTree(HKEY hRootKey, LPCWSTR pszSubKey, std::vector<secwstring>& list) {
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CRegistryTree::RegListTree"));
  LONG lResult = ERROR_SUCCESS;
  const size_t cchSubKey = StringLength(pszSubKey);
  CScopedHKEY key;
  if (cchSubKey > static_cast<size_t>(kMaxFullPath)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::RegListTree length of lpSubKey = %d greater than %d"),
             static_cast<LONG>(cchSubKey), kMaxFullPath);
    lResult = static_cast<LONG>(E_INVALIDARG);
  } else if ((lResult = Registry().RegOpenKeyExW(hRootKey, pszSubKey, 0, kReadAccess,
                                                 key.Receive())) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CRegistryTree::RegListTree RegOpenKeyEx failed : lResult = %x dwLastError = "
                    "%x"),
             lResult, GetLastError());
  } else {
    CPathBuffer path{};
    std::copy(pszSubKey, pszSubKey + cchSubKey, path.begin());
    try {
      // Every key below the tree key is a compartment: its path after the
      // tree key, with "/" for each backslash.
      const size_t cchTreeKey = m_sSubKey.size() + m_sTreeId.size();
      if (cchSubKey > cchTreeKey + 1 && path[cchTreeKey] == kKeySeparator &&
          std::equal(m_sSubKey.begin(), m_sSubKey.end(), path.begin()) &&
          std::equal(m_sTreeId.begin(), m_sTreeId.end(), path.begin() + m_sSubKey.size())) {
        secwstring sCompartmentId(path.data() + cchTreeKey + 1, cchSubKey - cchTreeKey - 1);
        std::replace(sCompartmentId.begin(), sCompartmentId.end(), kKeySeparator, kPathSeparator);
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CRegistryTree::RegListTree sCompartmentId2 = %s"), sCompartmentId.c_str());
        list.push_back(std::move(sCompartmentId));
      }
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::RegListTree allocation failed"));
      lResult = ERROR_NOT_ENOUGH_MEMORY;
    }
    bool bAppended = false;
    const size_t cchBase = AppendSeparator(path, cchSubKey, bAppended);
    size_t cchCurrent = cchBase;
    for (DWORD dwIndex = 0; lResult == ERROR_SUCCESS; ++dwIndex) {
      std::array<OLECHAR, kPathBuffer> name{};
      DWORD cchName = kPathBuffer;
      if (Registry().RegEnumKeyExW(key.Get(), dwIndex, name.data(), &cchName, nullptr, nullptr,
                                   nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      if (!ChildFits(cchName, cchCurrent, bAppended)) {
        qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::RegListTree dwSize too long"));
        break;
      }
      std::copy(name.begin(), name.begin() + cchName, path.begin() + cchBase);
      cchCurrent = cchBase + cchName;
      path[cchCurrent] = 0;
      if (RegListTree(hRootKey, path.data(), list) != ERROR_SUCCESS) {
        qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CRegistryTree::RegListTree RegListTree failed"));
        break;
      }
    }
    // What the children gave is kept; the result is the close's.
    if (lResult == ERROR_SUCCESS) lResult = key.Reset();
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CRegistryTree::RegListTree RegCloseKey lResult = 0x%x"), lResult);
  }
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("CRegistryTree::RegListTree lResult = 0x%x"), lResult);
  return lResult;
}
