#include "host/registration.h"

#include <windows.h>

#include <oleauto.h>
#include <winreg.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "host/registrationscripts.h"
#include "host/registryscript.h"
#include "kelmyr_i.h"
#include "platform/registry_seam.h"
#include "support/scopedhkey.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <stdlib.h>

#include "support/utf8.h"
#endif

namespace {

using WString = std::basic_string<WCHAR>;

constexpr UINT kClassScripts[] = {kDataStoreManagerScript, kDataStoreScript, kAuthStoreScript};

// The thread runs in the system default locale while it lives.
class CSystemLocale {
 public:
  CSystemLocale() noexcept : m_previous(GetThreadLocale()) {
    SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  }
  ~CSystemLocale() { SetThreadLocale(m_previous); }
  CSystemLocale(const CSystemLocale&) = delete;
  CSystemLocale& operator=(const CSystemLocale&) = delete;

 private:
  LCID m_previous;
};

// Where HKEY_CLASSES_ROOT's entries go: the machine's, or the user's class
// key when this process may not write the machine's.
HRESULT OpenClassesRoot(CScopedHKEY* phRoot, bool* pbPerUser) {
  IRegistry& registry = Registry();
  CScopedHKEY hMachine;
  LSTATUS l = registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, OLESTR("Software\\Classes"), 0,
                                     KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_WOW64_64KEY,
                                     hMachine.Receive());
  *pbPerUser = l == ERROR_ACCESS_DENIED;
  if (!*pbPerUser) {
    phRoot->Reset(HKEY_CLASSES_ROOT);
    return S_OK;
  }
  l = registry.RegCreateKeyExW(HKEY_CURRENT_USER, OLESTR("Software\\Classes"), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                               nullptr, phRoot->Receive(), nullptr);
  return l == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(l);
}

HRESULT RunScript(HMODULE hModule, UINT id, const WCHAR* pszModulePath, const WCHAR* pszModuleDir,
                  EScriptMode mode, HKEY hRoot) {
  std::string_view text;
  HRESULT hr = LoadRegistrationScript(hModule, id, &text);
  if (FAILED(hr)) return hr;
  const SScriptReplacement replacements[] = {
      {"APPID", KELMYR_APPID_STRING},
      {"MODULE", pszModulePath},
      {"MODULEDIR", pszModuleDir},
  };
  return RunRegistryScript(text, replacements, sizeof replacements / sizeof replacements[0], mode,
                           hRoot);
}

// The folder of the module's file, as the type-library registration
// records it for help files.
WString ModuleDirectory(const WCHAR* pszModulePath) {
  WString dir(pszModulePath);
  const size_t slash = dir.find_last_of(OLESTR("\\/"));
  dir.resize(slash == WString::npos ? 0 : slash);
  return dir;
}

#ifdef _WIN32

using PFNREGISTERFORUSER = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using PFNUNREGISTERFORUSER = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The per-user functions are missing from the toolchain's import library.
template <class F>
F OleAutomationEntry(const char* pszName) {
  HMODULE hOleAut = GetModuleHandleW(L"oleaut32.dll");
  FARPROC p = hOleAut == nullptr ? nullptr : GetProcAddress(hOleAut, pszName);
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

struct SReleaseTypeLib {
  void operator()(ITypeLib* pTypeLib) const noexcept { pTypeLib->Release(); }
};

HRESULT UpdateTypeLibrary(HMODULE, const WCHAR* pszModulePath, const WCHAR*, bool bRegister,
                          bool bPerUser, HKEY) {
  ITypeLib* pLoaded = nullptr;
  HRESULT hr = LoadTypeLibEx(pszModulePath, REGKIND_NONE, &pLoaded);
  if (FAILED(hr)) return hr;
  // Released on every way out, a failed allocation's included.
  const std::unique_ptr<ITypeLib, SReleaseTypeLib> pTypeLib(pLoaded);
  if (bRegister) {
    WString path(pszModulePath);
    if (!bPerUser) {
      hr = RegisterTypeLib(pTypeLib.get(), path.data(), nullptr);
    } else if (auto pfn = OleAutomationEntry<PFNREGISTERFORUSER>("RegisterTypeLibForUser")) {
      hr = pfn(pTypeLib.get(), path.data(), nullptr);
    } else {
      hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    return hr;
  }
  TLIBATTR* pAttr = nullptr;
  hr = pTypeLib->GetLibAttr(&pAttr);
  if (SUCCEEDED(hr)) {
    const TLIBATTR attr = *pAttr;
    pTypeLib->ReleaseTLibAttr(pAttr);
    // A library that is not registered is already unregistered. The merged
    // view answers for both kinds of registration.
    WCHAR szLibId[39];
    StringFromGUID2(attr.guid, szLibId, sizeof szLibId / sizeof szLibId[0]);
    WString key = WString(L"TypeLib\\") + szLibId + L"\\" + std::to_wstring(attr.wMajorVerNum) +
                  L"." + std::to_wstring(attr.wMinorVerNum);
    CScopedHKEY hKey;
    const LSTATUS l = Registry().RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0,
                                               KEY_READ | KEY_WOW64_64KEY, hKey.Receive());
    hKey.Reset();  // only asked whether the key is there; not held across its removal
    if (l == ERROR_FILE_NOT_FOUND) {
      hr = S_OK;
    } else if (!bPerUser) {
      hr = UnRegisterTypeLib(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid,
                             attr.syskind);
    } else if (auto pfn = OleAutomationEntry<PFNUNREGISTERFORUSER>("UnRegisterTypeLibForUser")) {
      hr = pfn(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
    } else {
      hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
  }
  return hr;
}

#else

HRESULT UpdateTypeLibrary(HMODULE hModule, const WCHAR* pszModulePath, const WCHAR* pszModuleDir,
                          bool bRegister, bool, HKEY hRoot) {
  return RunScript(hModule, kTypeLibraryScript, pszModulePath, pszModuleDir,
                   bRegister ? EScriptMode::kRegister : EScriptMode::kUnregister, hRoot);
}

#endif

HRESULT Update(HMODULE hModule, const WCHAR* pszModulePath, bool bRegister) noexcept {
  if (pszModulePath == nullptr || *pszModulePath == 0) return E_INVALIDARG;
  CSystemLocale locale;
  try {
    CScopedHKEY hRoot;
    bool bPerUser = false;
    HRESULT hr = OpenClassesRoot(&hRoot, &bPerUser);
    if (FAILED(hr)) return hr;
    const WString dir = ModuleDirectory(pszModulePath);
    if (bRegister) {
      hr = RunScript(hModule, kAppIdScript, pszModulePath, dir.c_str(), EScriptMode::kRegister,
                     hRoot.Get());
      // The classes declare no component categories.
      for (UINT id : kClassScripts) {
        if (FAILED(hr)) break;
        hr =
            RunScript(hModule, id, pszModulePath, dir.c_str(), EScriptMode::kRegister, hRoot.Get());
      }
      if (SUCCEEDED(hr))
        hr = UpdateTypeLibrary(hModule, pszModulePath, dir.c_str(), true, bPerUser, hRoot.Get());
      return hr;
    }
    for (UINT id : kClassScripts) {
      hr =
          RunScript(hModule, id, pszModulePath, dir.c_str(), EScriptMode::kUnregister, hRoot.Get());
      if (FAILED(hr)) return hr;
    }
    hr = UpdateTypeLibrary(hModule, pszModulePath, dir.c_str(), false, bPerUser, hRoot.Get());
    if (FAILED(hr)) return hr;
    return RunScript(hModule, kAppIdScript, pszModulePath, dir.c_str(), EScriptMode::kUnregister,
                     hRoot.Get());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT RegisterComponent(HMODULE hModule, const WCHAR* pszModulePath) noexcept {
  return Update(hModule, pszModulePath, true);
}

HRESULT UnregisterComponent(HMODULE hModule, const WCHAR* pszModulePath) noexcept {
  return Update(hModule, pszModulePath, false);
}

HRESULT CurrentModule(HMODULE* phModule, WCHAR* pszPath, DWORD cchPath) noexcept {
  if (phModule == nullptr || pszPath == nullptr || cchPath == 0) return E_POINTER;
  *phModule = nullptr;
  pszPath[0] = 0;
#ifdef _WIN32
  HMODULE hModule = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&CurrentModule), &hModule)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  const DWORD cch = GetModuleFileNameW(hModule, pszPath, cchPath);
  if (cch == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (cch >= cchPath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  *phModule = hModule;
  return S_OK;
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&CurrentModule), &info) == 0 || info.dli_fname == nullptr) {
    return E_FAIL;
  }
  const std::unique_ptr<char, decltype(&free)> pszReal(realpath(info.dli_fname, nullptr), &free);
  if (pszReal == nullptr) return E_FAIL;
  std::basic_string<OLECHAR> path;
  try {
    path = Utf8ToUtf16(pszReal.get());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (path.size() >= cchPath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  path.copy(pszPath, path.size());
  pszPath[path.size()] = 0;
  return S_OK;
#endif
}
