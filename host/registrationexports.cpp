// The registration entry points of the component's module.
#include <windows.h>

#include "host/registration.h"

namespace {

HRESULT UpdateThisModule(bool bRegister) noexcept {
  HMODULE hModule = nullptr;
  WCHAR szPath[MAX_PATH * 4];
  HRESULT hr = CurrentModule(&hModule, szPath, sizeof szPath / sizeof szPath[0]);
  if (FAILED(hr)) return hr;
  return bRegister ? RegisterComponent(hModule, szPath) : UnregisterComponent(hModule, szPath);
}

}  // namespace

extern "C" HRESULT WINAPI DllRegisterServer() { return UpdateThisModule(true); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return UpdateThisModule(false); }
