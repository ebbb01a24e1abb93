// COM activation of in-process servers: per-thread initialisation, the
// lookup of classes and program identifiers under HKEY_CLASSES_ROOT, the
// process-wide table of loaded servers and their unloading.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/no_destructor.h"

namespace kelmyr::winapi {
namespace {

using WString = std::u16string;

// The thread's initialisations not yet paired with CoUninitialize, and the
// concurrency model the first of them asked for.
struct SThreadInit {
  unsigned long cInits = 0;
  bool bMultithreaded = false;
};
thread_local SThreadInit tInit;

// Threads initialised multithreaded and not yet uninitialised: while there
// is one, threads that never initialised count as its apartment's members.
std::atomic<unsigned long> gcMultithreaded{0};

bool CanActivate() noexcept { return tInit.cInits > 0 || gcMultithreaded.load() > 0; }

// A server module kept loaded for the process. `cActivations` changes each
// time a class object is obtained from it, so that a sweep that asked
// DllCanUnloadNow before a concurrent activation does not free it after.
struct SServer {
  HMODULE hModule = nullptr;
  LPFNCANUNLOADNOW pfnCanUnloadNow = nullptr;
  unsigned long cActivations = 0;
};

// The table holds one LoadLibrary reference per module. `sweep` makes
// sweeps one at a time: only a sweep removes entries, so the modules of its
// snapshot stay loaded while it calls into them.
struct SServers {
  std::mutex lock;
  std::list<SServer> loaded;
  std::mutex sweep;
};

SServers& Servers() noexcept {
  static TNoDestructor<SServers> object;
  return *object;
}

std::list<SServer>::iterator FindServer(std::list<SServer>& loaded, HMODULE hModule) noexcept {
  for (auto it = loaded.begin(); it != loaded.end(); ++it) {
    if (it->hModule == hModule) return it;
  }
  return loaded.end();
}

template <class F>
F ExportOf(HMODULE hModule, LPCSTR pszName) noexcept {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

WString GuidText(REFGUID guid) {
  OLECHAR text[39];
  StringFromGUID2(guid, text, 39);
  return WString(text);
}

// A string value (REG_SZ, or REG_EXPAND_SZ unexpanded) of a key below
// HKEY_CLASSES_ROOT; a null name is the default value.
LONG ReadClassesString(const WString& sPath, LPCWSTR pszValue, WString* pText) {
  const DWORD dwFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  // The value may grow between the size query and the read; a few rounds
  // settle any ordinary writer.
  for (int round = 0; round < 3; ++round) {
    DWORD cb = 0;
    LONG l =
        RegGetValueW(HKEY_CLASSES_ROOT, sPath.c_str(), pszValue, dwFlags, nullptr, nullptr, &cb);
    if (l != ERROR_SUCCESS) return l;
    std::vector<OLECHAR> buffer(cb / sizeof(OLECHAR) + 1, 0);
    cb = static_cast<DWORD>(buffer.size() * sizeof(OLECHAR));
    l = RegGetValueW(HKEY_CLASSES_ROOT, sPath.c_str(), pszValue, dwFlags, nullptr, buffer.data(),
                     &cb);
    if (l == ERROR_MORE_DATA) continue;
    if (l != ERROR_SUCCESS) return l;
    pText->assign(buffer.data());
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

// The default value of a subkey of the class's key, which must not be empty:
// E_OUTOFMEMORY, or REGDB_E_CLASSNOTREG for anything else that is missing.
HRESULT ReadClassKey(REFCLSID rclsid, const char16_t* pszSubkey, WString* pText) {
  const LONG l =
      ReadClassesString(u"CLSID\\" + GuidText(rclsid) + u"\\" + pszSubkey, nullptr, pText);
  if (l == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
  return l != ERROR_SUCCESS || pText->empty() ? REGDB_E_CLASSNOTREG : S_OK;
}

// Loads the server, asks it for the class object and keeps it in the table.
// The call holds a load of its own while the server's code runs, so a
// concurrent sweep freeing the table's load cannot unmap it; afterwards
// that load becomes the table's when the module is (no longer) there.
HRESULT ClassObjectFrom(const WString& sModule, REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  std::list<SServer> node(1);
  HMODULE hModule = LoadLibraryExW(sModule.c_str(), nullptr, 0);
  if (hModule == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  auto pfnGetClassObject = ExportOf<LPFNGETCLASSOBJECT>(hModule, "DllGetClassObject");
  if (pfnGetClassObject == nullptr) {
    FreeLibrary(hModule);
    return CO_E_ERRORINDLL;
  }
  const HRESULT hr = pfnGetClassObject(rclsid, riid, ppv);
  node.front().hModule = hModule;
  node.front().pfnCanUnloadNow = ExportOf<LPFNCANUNLOADNOW>(hModule, "DllCanUnloadNow");
  bool bKept = false;
  {
    SServers& servers = Servers();
    std::lock_guard lock(servers.lock);
    auto it = FindServer(servers.loaded, hModule);
    if (it != servers.loaded.end()) {
      ++it->cActivations;
    } else {
      servers.loaded.splice(servers.loaded.end(), node);
      bKept = true;
    }
  }
  if (!bKept) FreeLibrary(hModule);
  return hr;
}

}  // namespace
}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  const bool bMultithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
  if (tInit.cInits > 0) {
    if (tInit.bMultithreaded != bMultithreaded) return RPC_E_CHANGED_MODE;
    ++tInit.cInits;
    return S_FALSE;
  }
  tInit.cInits = 1;
  tInit.bMultithreaded = bMultithreaded;
  if (bMultithreaded) ++gcMultithreaded;
  return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

// Loaded servers stay in the table after the last CoUninitialize: they
// belong to the process, not to a thread.
void WINAPI CoUninitialize(void) {
  if (tInit.cInits == 0) return;
  if (--tInit.cInits == 0 && tInit.bMultithreaded) --gcMultithreaded;
}

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo,
                                REFIID riid, LPVOID* ppv) {
  UNREFERENCED_PARAMETER(pServerInfo);
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (!CanActivate()) return CO_E_NOTINITIALIZED;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  try {
    WString sModule;
    const HRESULT hr = ReadClassKey(rclsid, u"InprocServer32", &sModule);
    return FAILED(hr) ? hr : ClassObjectFrom(sModule, rclsid, riid, ppv);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* pFactory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&pFactory));
  if (FAILED(hr)) return hr;
  // A server that reports success without an object has failed.
  if (pFactory == nullptr) return E_UNEXPECTED;
  hr = pFactory->CreateInstance(pUnkOuter, riid, ppv);
  pFactory->Release();
  return hr;
}

// The current version named by "CurVer" comes first; a ProgID whose "CurVer"
// leads nowhere falls back to its own "CLSID".
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  try {
    const WString sProgId(lpszProgID);
    if (sProgId.empty()) return CO_E_CLASSSTRING;
    WString sCurrent, sClsid;
    const bool bFound =
        (ReadClassesString(sProgId + u"\\CurVer", nullptr, &sCurrent) == ERROR_SUCCESS &&
         !sCurrent.empty() &&
         ReadClassesString(sCurrent + u"\\CLSID", nullptr, &sClsid) == ERROR_SUCCESS) ||
        ReadClassesString(sProgId + u"\\CLSID", nullptr, &sClsid) == ERROR_SUCCESS;
    return bFound ? CLSIDFromString(sClsid.c_str(), lpclsid) : CO_E_CLASSSTRING;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (lplpszProgID == nullptr) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  try {
    WString sProgId;
    const HRESULT hr = ReadClassKey(clsid, u"ProgID", &sProgId);
    if (FAILED(hr)) return hr;
    const size_t cb = (sProgId.size() + 1) * sizeof(OLECHAR);
    auto* pszProgId = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
    if (pszProgId == nullptr) return E_OUTOFMEMORY;
    std::memcpy(pszProgId, sProgId.c_str(), cb);
    *lplpszProgID = pszProgId;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void WINAPI CoFreeUnusedLibraries(void) { CoFreeUnusedLibrariesEx(INFINITE, 0); }

void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved) {
  UNREFERENCED_PARAMETER(dwUnloadDelay);
  UNREFERENCED_PARAMETER(dwReserved);
  if (!CanActivate()) return;
  SServers& servers = Servers();
  std::lock_guard sweep(servers.sweep);
  std::vector<SServer> snapshot;
  try {
    std::lock_guard lock(servers.lock);
    snapshot.assign(servers.loaded.begin(), servers.loaded.end());
  } catch (const std::bad_alloc&) {
    return;
  }
  for (const SServer& server : snapshot) {
    // A server without DllCanUnloadNow is never unloaded.
    if (server.pfnCanUnloadNow == nullptr || server.pfnCanUnloadNow() != S_OK) continue;
    bool bUnused = false;
    {
      std::lock_guard lock(servers.lock);
      auto it = FindServer(servers.loaded, server.hModule);
      if (it != servers.loaded.end() && it->cActivations == server.cActivations) {
        servers.loaded.erase(it);
        bUnused = true;
      }
    }
    if (bUnused) FreeLibrary(server.hModule);
  }
}
