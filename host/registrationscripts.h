// The registry scripts of the component and where they are read from: the
// module's "REGISTRY" resources on Windows; natively a table compiled from
// the same .rgs files at build time (host/embedscripts.cmake).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

constexpr UINT kAppIdScript = 101;
constexpr UINT kDataStoreManagerScript = 102;
constexpr UINT kDataStoreScript = 103;
constexpr UINT kAuthStoreScript = 104;
// Natively only: the keys the platform's type-library registration writes on
// Windows (numbered after the type library resource it stands for).
constexpr UINT kTypeLibraryScript = 1;

struct SEmbeddedScript {
  UINT id;
  std::string_view text;
};

// The script text, valid while the module stays loaded; an id the module
// does not hold answers HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND).
HRESULT LoadRegistrationScript(HMODULE hModule, UINT id, std::string_view* pText) noexcept;
