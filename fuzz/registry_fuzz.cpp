// The reading of stored values: arbitrary registry values (any type, any
// bytes) are written under a compartment of a registry tree and read back
// through its GetData, so that the decoding of every registry type sees any
// input, whoever wrote it; and through the GetData of two registry data
// stores of the tree's name, shared between sessions, one in clear and one
// encrypted.
//
// Input: the first byte chooses the registry type (below 0xF0 the byte
// modulo 12, otherwise the next four bytes, little-endian), the rest is the
// value's data.
//
// GetData must answer S_OK for the registry types the tree reads and E_FAIL
// for the others, and an array it returns must be what the stored bytes
// describe: its element type, its shape, and for strings, vectors and
// numbers the stored bytes themselves. The store in clear must answer as the
// tree does. The encrypted one opens what it reads: bytes it never protected
// fail with one of its documented results and hand out no array.
#include <windows.h>

#include <oleauto.h>
#include <winreg.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "datastore/internaldatastore.h"
#include "fuzz_keys.h"
#include "support/qvlog.h"
#include "trees/history.h"
#include "trees/registrytree.h"

namespace {

void Check(bool bCondition) {
  if (!bCondition) __builtin_trap();
}

constexpr OLECHAR kCompartmentKey[] =
    OLESTR("Software\\Orvane\\Kelmyr\\RemanentDataStore\\Fuzz\\1\\A");

std::string gHive;

void RemoveHive() {
  for (const char* pszSuffix : {"", "-wal", "-shm"}) std::remove((gHive + pszSuffix).c_str());
}

// The element bytes of a one-dimensional array.
bool SameBytes(SAFEARRAY* psa, const BYTE* p, size_t cb) {
  void* pv = nullptr;
  if (cb == 0) return true;
  if (FAILED(SafeArrayAccessData(psa, &pv))) return false;
  const bool bSame = std::memcmp(pv, p, cb) == 0;
  SafeArrayUnaccessData(psa);
  return bSame;
}

void CheckArray(DWORD dwType, const std::vector<BYTE>& stored, SAFEARRAY* psa) {
  const size_t cb = stored.size();
  VARTYPE vt = VT_EMPTY;
  Check(SUCCEEDED(SafeArrayGetVartype(psa, &vt)));
  const UINT cDims = SafeArrayGetDim(psa);
  const ULONG cElements = psa->rgsabound[0].cElements;
  const BYTE bTag = cb != 0 ? stored[0] : 0;
  switch (dwType) {
    case REG_SZ: {
      Check(vt == VT_BSTR && cDims == 1 && cElements == (cb != 0 ? 1u : 0u));
      if (cElements == 0) break;
      LONG i = 0;
      BSTR bstr = nullptr;
      Check(SUCCEEDED(SafeArrayGetElement(psa, &i, &bstr)));
      Check(SysStringByteLen(bstr) == cb && std::memcmp(bstr, stored.data(), cb) == 0);
      SysFreeString(bstr);
      break;
    }
    case REG_MULTI_SZ:
      // One string at most per unit, none holding a zero unit.
      Check(vt == VT_BSTR && cDims == 1 && cElements <= cb / sizeof(OLECHAR));
      for (LONG i = 0; i < static_cast<LONG>(cElements); ++i) {
        BSTR bstr = nullptr;
        Check(SUCCEEDED(SafeArrayGetElement(psa, &i, &bstr)));
        for (UINT u = 0; u < SysStringLen(bstr); ++u) Check(bstr[u] != 0);
        SysFreeString(bstr);
      }
      break;
    case REG_BINARY:
      if (cb != 0 && bTag == 0xBB) {
        // Rows of at least two bytes, no more rows than two-byte records fit.
        Check(vt == VT_UI1 && cDims == 2 && psa->rgsabound[1].cElements >= 2 &&
              psa->rgsabound[1].cElements <= 256 && cElements <= cb / 2);
      } else {
        Check(vt == (bTag == 0x0B ? VT_I1 : VT_UI1) && cDims == 1);
        const size_t cbData = cb > 2 ? cb - 2 : 0;
        Check(cElements == cbData && SameBytes(psa, stored.data() + 2, cbData));
      }
      break;
    case REG_DWORD:
    case REG_QWORD: {
      const size_t cbElement = dwType == REG_DWORD ? 4 : 8;
      Check(vt == (dwType == REG_DWORD ? VT_UINT : VT_UI8) && cDims == 1);
      Check(cElements == cb / cbElement && SameBytes(psa, stored.data(), cElements * cbElement));
      break;
    }
    default:
      Check(dwType == REG_NONE && vt == VT_UNKNOWN && cDims == 1 && cElements == 0);
      break;
  }
}

CInternalDataStore* StartStore(BSTR bstrStore, BOOL bEncrypted) {
  auto* pStore = new CInternalDataStore;
  Check(SUCCEEDED(pStore->Begin(bstrStore, 1, bEncrypted, TRUE, OLESTR("Brenmoor"))));
  return pStore;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvlogSetLevelMask(0);
  InstallFixedFuzzKeys();
  Check(SUCCEEDED(AcquireHistoryTree()));
  if (std::getenv("KELMYR_REGISTRY") == nullptr) {
    char szDir[] = "/tmp/kelmyr-registry-fuzz.XXXXXX";
    Check(mkdtemp(szDir) != nullptr);
    gHive = std::string(szDir) + "/registry.db";
    setenv("KELMYR_REGISTRY", gHive.c_str(), 1);
    std::atexit([] {
      RemoveHive();
      rmdir(gHive.substr(0, gHive.rfind('/')).c_str());
    });
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbInput) {
  static CRegistryTree* const pTree = new CRegistryTree(OLESTR("Fuzz"), REGISTRY_TREE_MACHINE);
  static const BSTR bstrIds[] = {SysAllocString(OLESTR("Fuzz")), SysAllocString(OLESTR("1/A")),
                                 SysAllocString(OLESTR("v"))};
  static CInternalDataStore* const pStores[] = {StartStore(bstrIds[0], FALSE),
                                                StartStore(bstrIds[0], TRUE)};
  if (cbInput == 0) return 0;
  DWORD dwType = pData[0] % 12;
  size_t cbHeader = 1;
  if (pData[0] >= 0xF0) {
    if (cbInput < 5) return 0;
    std::memcpy(&dwType, pData + 1, sizeof dwType);
    cbHeader = 5;
  }
  // A non-zero unit after the data, so that the registry stores exactly it.
  std::vector<BYTE> data(pData + cbHeader, pData + cbInput);
  const DWORD cbData = static_cast<DWORD>(data.size());
  data.insert(data.end(), {0xFF, 0xFF});

  HKEY hKey = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCompartmentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &hKey, nullptr) == ERROR_SUCCESS);
  const LONG lSet = RegSetValueExW(hKey, OLESTR("v"), 0, dwType, data.data(), cbData);
  // What the registry holds is what GetData must describe.
  std::vector<BYTE> stored(cbData + 2);
  DWORD cbStored = static_cast<DWORD>(stored.size());
  DWORD dwStoredType = REG_NONE;
  const LONG lQuery =
      RegQueryValueExW(hKey, OLESTR("v"), nullptr, &dwStoredType, stored.data(), &cbStored);
  RegCloseKey(hKey);
  if (lSet != ERROR_SUCCESS) return 0;
  Check(lQuery == ERROR_SUCCESS && dwStoredType == dwType);
  stored.resize(cbStored);

  // The tree, the store in clear and the encrypted store, in this order.
  const DWORD dwPID = GetCurrentProcessId();
  SAFEARRAY* psas[3] = {};
  const HRESULT hrs[3] = {pTree->GetData(OLESTR("1/A"), OLESTR("v"), &psas[0], 0),
                          pStores[0]->GetData(dwPID, bstrIds[1], bstrIds[2], &psas[1]),
                          pStores[1]->GetData(dwPID, bstrIds[1], bstrIds[2], &psas[2])};
  const bool bRead = dwType == REG_SZ || dwType == REG_MULTI_SZ || dwType == REG_BINARY ||
                     dwType == REG_DWORD || dwType == REG_QWORD || dwType == REG_NONE;
  const bool bForeignBinary = dwType == REG_BINARY && cbStored != 0 && stored[0] != 0x0B &&
                              stored[0] != 0xBA && stored[0] != 0xBB;
  for (int i = 0; i < 2; ++i) {
    Check(hrs[i] == (bRead ? S_OK : E_FAIL) && (psas[i] != nullptr) == (bRead && !bForeignBinary));
    if (psas[i] != nullptr) CheckArray(dwType, stored, psas[i]);
  }
  Check(psas[2] != nullptr ? hrs[2] == S_OK
                           : hrs[2] == E_FAIL || hrs[2] == E_INVALIDARG || hrs[2] == E_UNEXPECTED ||
                                 hrs[2] == E_OUTOFMEMORY);
  for (SAFEARRAY* psa : psas) Check(SUCCEEDED(SafeArrayDestroy(psa)));
  return 0;
}
