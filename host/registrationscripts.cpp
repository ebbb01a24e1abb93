#include "host/registrationscripts.h"

#ifndef _WIN32
// Generated at build time from the .rgs files.
extern const SEmbeddedScript kEmbeddedScripts[];
extern const size_t kEmbeddedScriptCount;
#endif

HRESULT LoadRegistrationScript(HMODULE hModule, UINT id, std::string_view* pText) noexcept {
  if (pText == nullptr) return E_POINTER;
#ifdef _WIN32
  HRSRC hInfo = FindResourceW(hModule, MAKEINTRESOURCEW(id), L"REGISTRY");
  if (hInfo == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL hData = LoadResource(hModule, hInfo);
  const DWORD cb = SizeofResource(hModule, hInfo);
  const void* pData = hData == nullptr ? nullptr : LockResource(hData);
  if (pData == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  *pText = std::string_view(static_cast<const char*>(pData), cb);
  return S_OK;
#else
  (void)hModule;
  for (size_t i = 0; i < kEmbeddedScriptCount; ++i) {
    if (kEmbeddedScripts[i].id == id) {
      *pText = kEmbeddedScripts[i].text;
      return S_OK;
    }
  }
  return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
#endif
}
