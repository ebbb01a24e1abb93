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

#include <algorithm>
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

std::string gHive;  // the fuzzer's own hive, unless one is given

void CheckArray(DWORD dwType, const std::vector<BYTE>& stored, SAFEARRAY* psa) {
  const size_t cb = stored.size();
  VARTYPE vt = VT_EMPTY;
  Check(SUCCEEDED(SafeArrayGetVartype(psa, &vt)));
  const UINT cDims = SafeArrayGetDim(psa);
  const ULONG cElements = psa->rgsabound[0].cElements;
  const auto* pbstr = static_cast<const BSTR*>(psa->pvData);
  // The element bytes of a vector: cbData stored bytes from offset on.
  const auto same = [&](size_t offset, size_t cbData) {
    return cElements * SafeArrayGetElemsize(psa) == cbData &&
           (cbData == 0 || std::memcmp(psa->pvData, stored.data() + offset, cbData) == 0);
  };
  if (dwType == REG_SZ) {
    Check(vt == VT_BSTR && cDims == 1 && cElements == (cb != 0 ? 1u : 0u));
    Check(cb == 0 ||
          (SysStringByteLen(pbstr[0]) == cb && std::memcmp(pbstr[0], stored.data(), cb) == 0));
  } else if (dwType == REG_MULTI_SZ) {
    // One string at most per unit, none holding a zero unit.
    Check(vt == VT_BSTR && cDims == 1 && cElements <= cb / sizeof(OLECHAR));
    for (ULONG i = 0; i < cElements; ++i) {
      Check(std::count(pbstr[i], pbstr[i] + SysStringLen(pbstr[i]), 0) == 0);
    }
  } else if (dwType == REG_BINARY && cb != 0 && stored[0] == 0xBB) {
    // Rows of at least two bytes, no more rows than two-byte records fit.
    Check(vt == VT_UI1 && cDims == 2 && psa->rgsabound[1].cElements >= 2 &&
          psa->rgsabound[1].cElements <= 256 && cElements <= cb / 2);
  } else if (dwType == REG_BINARY) {
    Check(vt == (cb != 0 && stored[0] == 0x0B ? VT_I1 : VT_UI1) && cDims == 1 &&
          same(2, cb > 2 ? cb - 2 : 0));
  } else if (dwType == REG_DWORD || dwType == REG_QWORD) {
    // Whole elements only: a trailing part is not read.
    const size_t cbElement = dwType == REG_DWORD ? 4 : 8;
    Check(vt == (dwType == REG_DWORD ? VT_UINT : VT_UI8) && cDims == 1 &&
          same(0, cb - cb % cbElement));
  } else {
    Check(dwType == REG_NONE && vt == VT_UNKNOWN && cDims == 1 && cElements == 0);
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
    gHive = "/tmp/kelmyr-registry-fuzz-" + std::to_string(getpid()) + ".db";
    setenv("KELMYR_REGISTRY", gHive.c_str(), 1);
    std::atexit([] {
      for (const char* pszSuffix : {"", "-wal", "-shm"}) std::remove((gHive + pszSuffix).c_str());
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
  const size_t cbHeader = cbInput != 0 && pData[0] >= 0xF0 ? 5 : 1;
  if (cbInput < cbHeader) return 0;
  DWORD dwType = pData[0] % 12;
  if (cbHeader == 5) std::memcpy(&dwType, pData + 1, sizeof dwType);
  // A non-zero unit after the data, so that the registry stores exactly it;
  // what the registry then holds is what GetData must describe.
  std::vector<BYTE> stored(pData + cbHeader, pData + cbInput);
  const DWORD cbData = static_cast<DWORD>(stored.size());
  stored.insert(stored.end(), {0xFF, 0xFF});
  HKEY hKey = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        OLESTR("Software\\Orvane\\Kelmyr\\RemanentDataStore\\Fuzz\\1\\A"), 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS);
  const LONG lSet = RegSetValueExW(hKey, OLESTR("v"), 0, dwType, stored.data(), cbData);
  DWORD cbStored = static_cast<DWORD>(stored.size()), dwStoredType = REG_NONE;
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
