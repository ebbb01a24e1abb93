// Registration of the component: the AppID, the three classes and the type
// library, written below HKEY_CLASSES_ROOT by the registry scripts.
//
// The scripts are resources 101 (AppID, with "%APPID%") and 102 to 104 (one
// class each, with "%MODULE%", the module's path, and "%APPID%"). On Windows
// they are read from the module's "REGISTRY" resources and the type library
// is registered from its TYPELIB resource 1 by the platform. The Linux build
// has no resources: the same script files are compiled into the module as
// text at build time, and the type library's keys (the ones the platform's
// type-library registration writes: TypeLib\{LIBID}\1.0 and Interface\{IID}
// of the three dual interfaces) come from one more compiled-in script.
//
// Per-user registration is in force when this process may not write the
// machine's class key (HKLM\Software\Classes answers access denied, as it
// does for a user without administrative rights): everything then goes to
// HKCU\Software\Classes, the type library through the platform's per-user
// function.
//
// Both switch the thread locale to the system default for their duration
// and restore it; both stop at the first failure and return it.
#pragma once

#include <windows.h>

// The AppID script, then each class script, then the type library.
HRESULT RegisterComponent(HMODULE hModule, const WCHAR* pszModulePath) noexcept;
// The classes and the type library, then the AppID script.
HRESULT UnregisterComponent(HMODULE hModule, const WCHAR* pszModulePath) noexcept;

// The path of the module that holds this code (qv.kelmyr.dll, or the
// shared object natively), and its handle for the resources.
HRESULT CurrentModule(HMODULE* phModule, WCHAR* pszPath, DWORD cchPath) noexcept;
