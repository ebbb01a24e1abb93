// Modules: LoadLibrary, GetProcAddress and FreeLibrary.
//
// A module name is, in this order: one of the layer's built-in modules, a
// Windows system library Linux does not have (refused with
// ERROR_MOD_NOT_FOUND), or the name of a shared object for dlopen. Built-in
// and absent modules are matched on the file name alone, case-insensitively,
// with or without ".dll", so "C:\Windows\System32\KERNEL32.DLL" is the
// built-in kernel32 as it is kernel32 on Windows.
//
// Built-in modules are part of the layer and stay loaded, as kernel32 does
// on Windows: FreeLibrary of one succeeds and changes nothing. A shared
// object is reference-counted: each successful load is one dlopen, each
// FreeLibrary one dlclose, and after the last FreeLibrary its handle is no
// longer a module (ERROR_MOD_NOT_FOUND, as Windows answers an unloaded one).
#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "builtin_modules.h"
#include "platform/no_destructor.h"

namespace kelmyr::winapi {
namespace {

const SBuiltinModule* FindBuiltinModule(std::string_view name) noexcept {
  for (const SBuiltinModule& module : BuiltinModules()) {
    if (name == module.pszName) return &module;
  }
  return nullptr;
}

bool IsAbsentSystemModule(std::string_view name) noexcept {
  for (const char* pszAbsent : kAbsentSystemModules) {
    if (name == pszAbsent) return true;
  }
  return false;
}

const SBuiltinModule* BuiltinModuleOf(HMODULE hModule) noexcept {
  for (const SBuiltinModule& module : BuiltinModules()) {
    if (reinterpret_cast<const void*>(hModule) == &module) return &module;
  }
  return nullptr;
}

HMODULE HandleOf(const SBuiltinModule* pModule) noexcept {
  return reinterpret_cast<HMODULE>(const_cast<SBuiltinModule*>(pModule));
}

// The key a module name is matched on: the file name after the last path
// separator, ASCII letters in lower case, without a ".dll" extension. Only
// ASCII names can match; anything else yields a key that matches nothing.
std::string ModuleKey(std::u16string_view name) {
  const size_t slash = name.find_last_of(u"\\/");
  if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
  std::string key;
  key.reserve(name.size());
  for (char16_t ch : name) {
    if (ch >= 0x80) return std::string();
    char c = static_cast<char>(ch);
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    key.push_back(c);
  }
  if (key.size() > 4 && key.compare(key.size() - 4, 4, ".dll") == 0) key.resize(key.size() - 4);
  return key;
}

// UTF-16 to UTF-8; false for an unpaired surrogate, which no file name on
// Linux can hold.
bool ToUtf8(std::u16string_view text, std::string* pUtf8) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  pUtf8->swap(out);
  return true;
}

// The shared objects loaded through LoadLibrary, with the number of loads
// not yet freed. Recursive: a symbol lookup may run an IFUNC resolver, which
// may itself look a module up.
struct SLoadedModules {
  std::recursive_mutex lock;
  std::unordered_map<void*, unsigned long> loads;
};

// Built in static storage on first use and never destroyed, so that a
// library unloaded at exit can still free modules; building it allocates
// nothing.
SLoadedModules& LoadedModules() noexcept {
  static TNoDestructor<SLoadedModules> object;
  return *object;
}

void* MainProgram() noexcept {
  static void* const hMain = dlopen(nullptr, RTLD_LAZY);
  return hMain;
}

HMODULE LoadSharedObject(std::u16string_view name) {
  std::string utf8;
  if (!ToUtf8(name, &utf8)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Not under the lock: loading runs the object's constructors, which may
  // load modules themselves.
  void* hShared = dlopen(utf8.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (hShared == nullptr) {
    dlerror();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  SLoadedModules& loaded = LoadedModules();
  try {
    std::lock_guard lock(loaded.lock);
    ++loaded.loads[hShared];
  } catch (const std::bad_alloc&) {
    dlclose(hShared);
    throw;
  }
  return static_cast<HMODULE>(hShared);
}

FARPROC FindBuiltinExport(const SBuiltinModule& module, LPCSTR lpProcName) noexcept {
  for (const SBuiltinExport& entry : module.exports) {
    if (std::strcmp(entry.pszName, lpProcName) == 0) return entry.pfn;
  }
  return nullptr;
}

// A name whose pointer value fits 16 bits is an export ordinal. Neither the
// built-in modules nor shared objects export by ordinal.
bool IsOrdinal(LPCSTR lpProcName) noexcept {
  return reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF;
}

FARPROC ProcOf(void* pSymbol) noexcept {
  if (pSymbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(pSymbol);
}

}  // namespace
}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

// The search-path flags choose among Windows directories; here every name is
// resolved the one way described above, so the flags change nothing.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  UNREFERENCED_PARAMETER(dwFlags);
  if (lpLibFileName == nullptr || hFile != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string_view name(lpLibFileName);
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  try {
    const std::string key = ModuleKey(name);
    if (const SBuiltinModule* pModule = FindBuiltinModule(key)) return HandleOf(pModule);
    if (IsAbsentSystemModule(key)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return LoadSharedObject(name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

// A null module is the main program, as it is the executable on Windows.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule == nullptr) {
    void* hMain = MainProgram();
    if (hMain == nullptr || IsOrdinal(lpProcName)) return ProcOf(nullptr);
    return ProcOf(dlsym(hMain, lpProcName));
  }
  if (const SBuiltinModule* pModule = BuiltinModuleOf(hModule)) {
    if (IsOrdinal(lpProcName)) return ProcOf(nullptr);
    return ProcOf(reinterpret_cast<void*>(FindBuiltinExport(*pModule, lpProcName)));
  }
  SLoadedModules& loaded = LoadedModules();
  std::lock_guard lock(loaded.lock);
  if (loaded.loads.count(hModule) == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (IsOrdinal(lpProcName)) return ProcOf(nullptr);
  return ProcOf(dlsym(hModule, lpProcName));
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (BuiltinModuleOf(hLibModule) != nullptr) return TRUE;
  SLoadedModules& loaded = LoadedModules();
  {
    std::lock_guard lock(loaded.lock);
    auto it = loaded.loads.find(hLibModule);
    if (it == loaded.loads.end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--it->second == 0) loaded.loads.erase(it);
  }
  // Unloading runs the object's destructors, which may free modules too.
  dlclose(hLibModule);
  return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string_view name(lpModuleName);
  try {
    const std::string key = ModuleKey(name);
    if (const SBuiltinModule* pModule = FindBuiltinModule(key)) return HandleOf(pModule);
    std::string utf8;
    if (!name.empty() && !IsAbsentSystemModule(key) && ToUtf8(name, &utf8)) {
      SLoadedModules& loaded = LoadedModules();
      std::lock_guard lock(loaded.lock);
      // Finds an object already mapped; the reference this takes is given
      // back at once.
      if (void* hShared = dlopen(utf8.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
        dlclose(hShared);
        if (loaded.loads.count(hShared) != 0) return static_cast<HMODULE>(hShared);
      }
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}
