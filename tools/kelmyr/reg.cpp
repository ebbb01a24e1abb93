// kelmyr reg: query, add, delete, export and import registry keys and
// values, in the conventions of the Windows `reg` command. On Linux it works
// on the hive named by KELMYR_REGISTRY (or the default hive); on Windows on
// the registry itself. Keys are opened in the 64-bit view unless /reg:32 is
// given.
//
// Exit codes: 0 done; 1 the operation failed (a key or value that does not
// exist, a refused change, an unreadable or damaged hive, an existing value
// or file without /f or /y); 2 bad input (command line, key path, type,
// data, .reg file), in which case nothing is changed.
#include <windows.h>

#include <winreg.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define KELMYR_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define KELMYR_ISATTY(fd) isatty(fd)
#endif

#include "commands.h"
#include "regfile.h"
#include "support/scopedhkey.h"
#include "support/utf8.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

RegText T(const std::string& s) {
  const std::basic_string<OLECHAR> w = Utf8ToUtf16(s);
  return RegText(w.begin(), w.end());
}
std::string U(const RegText& s) {
  return Utf16ToUtf8(std::basic_string<OLECHAR>(s.begin(), s.end()));
}

int BadInput(const std::string& message) {
  std::fprintf(stderr, "kelmyr reg: ERROR: %s\n", message.c_str());
  return kExitBadInput;
}

std::string ErrorText(LONG l) {
  switch (l) {
    case ERROR_FILE_NOT_FOUND:
      return "the registry key or value does not exist";
    case ERROR_ACCESS_DENIED:
      return "access denied (a key with subkeys, a root, a read-only key or hive)";
    case ERROR_PATH_NOT_FOUND:
      return "the folder of the registry hive does not exist";
    case ERROR_BADDB:
      return "the registry hive is damaged or is not a registry hive";
    case ERROR_CANTOPEN:
      return "the registry hive cannot be opened";
    case ERROR_LOCK_VIOLATION:
      return "the registry hive stayed locked by another process";
    case ERROR_INVALID_PARAMETER:
      return "a name is too long or invalid";
    case ERROR_BAD_PATHNAME:
      return "the key path is invalid";
    case ERROR_KEY_DELETED:
      return "the key was deleted meanwhile";
    default:
      return "the registry call failed";
  }
}

std::string HiveNote() {
#ifdef _WIN32
  return "";
#else
  const char* psz = std::getenv("KELMYR_REGISTRY");
  return psz != nullptr && psz[0] != '\0' ? std::string(" (hive ") + psz + ")"
                                          : std::string(" (default hive)");
#endif
}

int Failed(const std::string& what, LONG l) {
  std::fprintf(stderr, "kelmyr reg: ERROR: %s: %s (error %ld)%s\n", what.c_str(),
               ErrorText(l).c_str(), static_cast<long>(l), HiveNote().c_str());
  return kExitFailed;
}

struct SRoot {
  const char* pszLong;
  const char* pszShort;
  HKEY hKey;
};
const SRoot kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", "HKU", HKEY_USERS},
};

bool EqualNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A key named on the command line or in a .reg file: ROOT[\path].
struct SKeyName {
  const SRoot* pRoot = nullptr;
  RegText path;
  RegText Full() const { return T(pRoot->pszLong) + (path.empty() ? RegText() : T("\\") + path); }
};

bool ParseKeyName(const RegText& text, SKeyName* pKey, std::string* pError) {
  const size_t slash = text.find('\\');
  const std::string root = U(text.substr(0, slash));
  pKey->pRoot = nullptr;
  for (const SRoot& r : kRoots) {
    if (EqualNoCase(root, r.pszLong) || EqualNoCase(root, r.pszShort)) pKey->pRoot = &r;
  }
  if (pKey->pRoot == nullptr) {
    *pError = "invalid key name \"" + U(text) +
              "\": it must start with HKLM, HKCU, HKCR, HKU or their long names";
    return false;
  }
  pKey->path = slash == RegText::npos ? RegText() : text.substr(slash + 1);
  while (!pKey->path.empty() && pKey->path.back() == '\\') pKey->path.pop_back();
  if (!pKey->path.empty() && pKey->path[0] == '\\') {
    *pError = "invalid key name \"" + U(text) + "\": two separators after the root";
    return false;
  }
  return true;
}

struct SOptions {
  std::vector<std::string> positional;
  bool bHasValue = false;  // /v or /ve
  RegText valueName;
  bool bAllValues = false;  // /va
  bool bRecurse = false;    // /s (query)
  bool bForce = false;      // /f, /y
  std::string type = "REG_SZ";
  bool bHasData = false;
  std::string data;
  std::string separator = "\\0";
  REGSAM view = KEY_WOW64_64KEY;
};

bool IsOption(const std::string& arg, const char* pszName) {
  return (arg[0] == '/' || arg[0] == '-') && EqualNoCase(arg.substr(1), pszName);
}

bool ParseOptions(const KelmyrArgs& args, size_t first, bool bAdd, SOptions* pOptions,
                  std::string* pError) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool bHasNext = i + 1 < args.size();
    if (a.empty() || (a[0] != '/' && a[0] != '-')) {
      pOptions->positional.push_back(a);
    } else if (IsOption(a, "v") && bHasNext) {
      pOptions->bHasValue = true;
      pOptions->valueName = T(args[++i]);
    } else if (IsOption(a, "ve")) {
      pOptions->bHasValue = true;
      pOptions->valueName.clear();
    } else if (IsOption(a, "va")) {
      pOptions->bAllValues = true;
    } else if (IsOption(a, "t") && bHasNext) {
      pOptions->type = args[++i];
    } else if (IsOption(a, "d") && bHasNext) {
      pOptions->bHasData = true;
      pOptions->data = args[++i];
    } else if (IsOption(a, "s") && bAdd && bHasNext) {
      pOptions->separator = args[++i];
    } else if (IsOption(a, "s") && !bAdd) {
      pOptions->bRecurse = true;
    } else if (IsOption(a, "f") || IsOption(a, "y")) {
      pOptions->bForce = true;
    } else if (IsOption(a, "reg:64")) {
      pOptions->view = KEY_WOW64_64KEY;
    } else if (IsOption(a, "reg:32")) {
      pOptions->view = KEY_WOW64_32KEY;
    } else if (a[0] == '/' && a.find('/', 1) != std::string::npos) {
      // An absolute Linux path, not an option.
      pOptions->positional.push_back(a);
    } else {
      *pError = "unknown or incomplete option \"" + a + "\"";
      return false;
    }
  }
  return true;
}

// ---- Data conversions of `add`.

bool ParseNumber(const std::string& text, ULONGLONG limit, ULONGLONG* pValue) {
  if (text.empty()) return false;
  const bool bHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* p = text.c_str() + (bHex ? 2 : 0);
  ULONGLONG v = 0;
  for (; *p != '\0'; ++p) {
    int d = -1;
    if (*p >= '0' && *p <= '9') d = *p - '0';
    if (bHex && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
    if (bHex && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
    if (d < 0) return false;
    const ULONGLONG base = bHex ? 16 : 10;
    if (v > (limit - static_cast<ULONGLONG>(d)) / base) return false;
    v = v * base + static_cast<ULONGLONG>(d);
  }
  *pValue = v;
  return true;
}

bool TypeFromName(const std::string& name, DWORD* pdwType) {
  struct SType {
    const char* pszName;
    DWORD dwType;
  };
  static const SType kTypes[] = {
      {"REG_SZ", REG_SZ},         {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_MULTI_SZ", REG_MULTI_SZ},
      {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD},         {"REG_QWORD", REG_QWORD},
      {"REG_NONE", REG_NONE}};
  for (const SType& t : kTypes) {
    if (EqualNoCase(name, t.pszName)) {
      *pdwType = t.dwType;
      return true;
    }
  }
  return false;
}

void AppendText(RegBytes* pData, const RegText& text) {
  const auto* p = reinterpret_cast<const BYTE*>(text.c_str());
  pData->insert(pData->end(), p, p + (text.size() + 1) * sizeof(WCHAR));
}

bool DataFromText(DWORD dwType, const SOptions& options, RegBytes* pData, std::string* pError) {
  const std::string& d = options.data;
  pData->clear();
  switch (dwType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      AppendText(pData, T(d));
      return true;
    case REG_MULTI_SZ: {
      if (options.separator.empty()) {
        *pError = "the REG_MULTI_SZ separator must not be empty";
        return false;
      }
      size_t start = 0;
      while (!d.empty() && start <= d.size()) {
        size_t end = d.find(options.separator, start);
        if (end == std::string::npos) end = d.size();
        AppendText(pData, T(d.substr(start, end - start)));
        start = end + options.separator.size();
      }
      pData->insert(pData->end(), {0, 0});
      return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
      const bool bDword = dwType == REG_DWORD;
      ULONGLONG v = 0;
      if (options.bHasData && !ParseNumber(d, bDword ? 0xFFFFFFFFull : ~0ull, &v)) {
        *pError = std::string("invalid ") + (bDword ? "REG_DWORD" : "REG_QWORD") + " data \"" + d +
                  "\": a decimal or 0x-prefixed hexadecimal number of " + (bDword ? "32" : "64") +
                  " bits is expected";
        return false;
      }
      const size_t cb = bDword ? 4 : 8;
      for (size_t i = 0; i < cb; ++i) pData->push_back(static_cast<BYTE>(v >> (8 * i)));
      return true;
    }
    default: {  // REG_BINARY, REG_NONE: hexadecimal digits
      if (d.size() % 2 != 0) {
        *pError = "invalid binary data \"" + d + "\": an even number of hex digits is expected";
        return false;
      }
      for (size_t i = 0; i < d.size(); i += 2) {
        ULONGLONG v = 0;
        if (!ParseNumber("0x" + d.substr(i, 2), 0xFF, &v)) {
          *pError = "invalid binary data \"" + d + "\": only hex digits are allowed";
          return false;
        }
        pData->push_back(static_cast<BYTE>(v));
      }
      return true;
    }
  }
}

// ---- Output of `query`.

std::string TypeName(DWORD dwType) {
  switch (dwType) {
    case REG_NONE:
      return "REG_NONE";
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_QWORD:
      return "REG_QWORD";
    default:
      return "REG_0x" + [&] {
        char sz[16];
        std::snprintf(sz, sizeof sz, "%lX", static_cast<unsigned long>(dwType));
        return std::string(sz);
      }();
  }
}

std::string DataText(DWORD dwType, const RegBytes& data) {
  RegText units(data.size() / 2, 0);
  if (!units.empty()) std::memcpy(units.data(), data.data(), units.size() * sizeof(WCHAR));
  char sz[24];
  if ((dwType == REG_DWORD && data.size() == 4) || (dwType == REG_QWORD && data.size() == 8)) {
    ULONGLONG v = 0;
    for (size_t i = 0; i < data.size(); ++i) v |= static_cast<ULONGLONG>(data[i]) << (8 * i);
    std::snprintf(sz, sizeof sz, "0x%llx", static_cast<unsigned long long>(v));
    return sz;
  }
  if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) return U(units.substr(0, units.find(WCHAR(0))));
  if (dwType == REG_MULTI_SZ) {
    std::string out;
    size_t start = 0;
    while (start < units.size() && units[start] != 0) {
      size_t end = units.find(WCHAR(0), start);
      if (end == RegText::npos) end = units.size();
      if (!out.empty()) out += "\\0";
      out += U(units.substr(start, end - start));
      start = end + 1;
    }
    return out;
  }
  std::string out;
  for (BYTE b : data) {
    std::snprintf(sz, sizeof sz, "%02X", b);
    out += sz;
  }
  return out;
}

struct SValue {
  RegText name;
  DWORD dwType = REG_NONE;
  RegBytes data;
};

// Every value of an open key, in enumeration order.
LONG ReadValues(HKEY hKey, std::vector<SValue>* pValues) {
  DWORD cchMaxName = 0;
  DWORD cbMaxData = 0;
  LONG l = RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            &cchMaxName, &cbMaxData, nullptr, nullptr);
  if (l != ERROR_SUCCESS) return l;
  for (DWORD i = 0;; ++i) {
    std::vector<WCHAR> name(cchMaxName + 2);
    SValue value;
    value.data.resize(cbMaxData + 1);
    DWORD cch = static_cast<DWORD>(name.size());
    DWORD cb = static_cast<DWORD>(value.data.size());
    l = RegEnumValueW(hKey, i, name.data(), &cch, nullptr, &value.dwType, value.data.data(), &cb);
    if (l == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (l == ERROR_MORE_DATA) {  // changed meanwhile: measure again
      l = RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &cchMaxName, &cbMaxData, nullptr, nullptr);
      if (l != ERROR_SUCCESS) return l;
      --i;
      continue;
    }
    if (l != ERROR_SUCCESS) return l;
    value.name.assign(name.data(), cch);
    value.data.resize(cb);
    pValues->push_back(std::move(value));
  }
}

LONG ReadSubKeys(HKEY hKey, std::vector<RegText>* pNames) {
  for (DWORD i = 0;; ++i) {
    WCHAR szName[260];
    DWORD cch = 260;
    const LONG l = RegEnumKeyExW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr);
    if (l == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (l != ERROR_SUCCESS) return l;
    pNames->emplace_back(szName, cch);
  }
}

// Sets a value to exactly the given bytes. The registry reads the unit
// after a string's counted bytes (a zero there is stored as the terminator
// the caller left uncounted); the bytes are passed with a non-zero unit
// after them, so that what is stored is what was asked, and nothing past
// the buffer is read.
LONG SetExactValue(HKEY hKey, const RegText& name, DWORD dwType, const RegBytes& data) {
  RegBytes padded(data);
  padded.insert(padded.end(), {0xFF, 0xFF});
  return RegSetValueExW(hKey, name.c_str(), 0, dwType, data.empty() ? nullptr : padded.data(),
                        static_cast<DWORD>(data.size()));
}

LONG OpenKey(const SKeyName& key, REGSAM access, CScopedHKEY* pKey) {
  return RegOpenKeyExW(key.pRoot->hKey, key.path.c_str(), 0, access, pKey->Receive());
}

SKeyName Child(const SKeyName& key, const RegText& name) {
  SKeyName child = key;
  child.path = key.path.empty() ? name : key.path + T("\\") + name;
  return child;
}

bool SameName(const RegText& a, const RegText& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fa = a[i] < 0x80 ? std::toupper(a[i]) : a[i];
    const auto fb = b[i] < 0x80 ? std::toupper(b[i]) : b[i];
    if (fa != fb) return false;
  }
  return true;
}

LONG Query(const SKeyName& key, const SOptions& options, REGSAM view, int* pcMatches) {
  CScopedHKEY hKey;
  LONG l = OpenKey(key, KEY_READ | view, &hKey);
  if (l != ERROR_SUCCESS) return l;
  std::vector<SValue> values;
  l = ReadValues(hKey.Get(), &values);
  if (l != ERROR_SUCCESS) return l;
  std::vector<RegText> subKeys;
  l = ReadSubKeys(hKey.Get(), &subKeys);
  if (l != ERROR_SUCCESS) return l;

  bool bHeader = false;
  for (const SValue& v : values) {
    if (options.bHasValue && !SameName(v.name, options.valueName)) continue;
    if (!bHeader) std::printf("\n%s\n", U(key.Full()).c_str());
    bHeader = true;
    ++*pcMatches;
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : U(v.name).c_str(),
                TypeName(v.dwType).c_str(), DataText(v.dwType, v.data).c_str());
  }
  if (!options.bHasValue && !bHeader) std::printf("\n%s\n", U(key.Full()).c_str());
  for (const RegText& name : subKeys) {
    const SKeyName child = Child(key, name);
    if (options.bRecurse) {
      l = Query(child, options, view, pcMatches);
      if (l != ERROR_SUCCESS) return l;
    } else if (!options.bHasValue) {
      std::printf("%s\n", U(child.Full()).c_str());
    }
  }
  return ERROR_SUCCESS;
}

// ---- Export.

LONG ExportKey(const SKeyName& key, REGSAM view, RegText* pText) {
  CScopedHKEY hKey;
  LONG l = OpenKey(key, KEY_READ | view, &hKey);
  if (l != ERROR_SUCCESS) return l;
  std::vector<SValue> values;
  l = ReadValues(hKey.Get(), &values);
  if (l != ERROR_SUCCESS) return l;
  *pText += FormatRegKeyLine(key.Full());
  for (const SValue& v : values) *pText += FormatRegValueLine(v.name, v.dwType, v.data);
  *pText += T("\r\n");
  std::vector<RegText> subKeys;
  l = ReadSubKeys(hKey.Get(), &subKeys);
  for (size_t i = 0; l == ERROR_SUCCESS && i < subKeys.size(); ++i) {
    l = ExportKey(Child(key, subKeys[i]), view, pText);
  }
  return l;
}

bool ReadWholeFile(const std::string& path, std::string* pBytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) pBytes->append(buffer, n);
  const bool bOk = std::ferror(f) == 0;
  std::fclose(f);
  return bOk;
}

bool Confirm(const std::string& question) {
  if (!KELMYR_ISATTY(0)) return false;
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  char answer[16] = {};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

// ---- The subcommands.

int ReadKeyArgument(const SOptions& options, size_t cExpected, SKeyName* pKey,
                    const char* pszUsage) {
  if (options.positional.size() != cExpected) return BadInput(std::string("usage: ") + pszUsage);
  std::string error;
  if (!ParseKeyName(T(options.positional[0]), pKey, &error)) return BadInput(error);
  return kExitOk;
}

int RunQuery(const SOptions& options) {
  SKeyName key;
  if (int rc = ReadKeyArgument(options, 1, &key, "kelmyr reg query KEY [/v NAME | /ve] [/s]")) {
    return rc;
  }
  int cMatches = 0;
  const LONG l = Query(key, options, options.view, &cMatches);
  if (l != ERROR_SUCCESS) return Failed("cannot query " + U(key.Full()), l);
  if (options.bHasValue && cMatches == 0) {
    return Failed(
        "no value " +
            (options.valueName.empty() ? std::string("(Default)") : U(options.valueName)) + " in " +
            U(key.Full()),
        ERROR_FILE_NOT_FOUND);
  }
  if (options.bRecurse) std::printf("\nEnd of search: %d match(es) found.\n", cMatches);
  return kExitOk;
}

int RunAdd(const SOptions& options) {
  SKeyName key;
  if (int rc = ReadKeyArgument(options, 1, &key,
                               "kelmyr reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] "
                               "[/f]")) {
    return rc;
  }
  if (key.path.empty()) return BadInput("values cannot be added to a root itself; name a key");
  DWORD dwType = REG_SZ;
  if (!TypeFromName(options.type, &dwType)) {
    return BadInput("invalid type \"" + options.type +
                    "\": use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, "
                    "REG_QWORD or REG_NONE");
  }
  RegBytes data;
  std::string error;
  if (options.bHasValue && !DataFromText(dwType, options, &data, &error)) return BadInput(error);
  if (!options.bHasValue && options.bHasData) return BadInput("/d needs /v NAME or /ve");

  CScopedHKEY hKey;
  LONG l = RegCreateKeyExW(key.pRoot->hKey, key.path.c_str(), 0, nullptr, 0,
                           KEY_ALL_ACCESS | options.view, nullptr, hKey.Receive(), nullptr);
  if (l != ERROR_SUCCESS) return Failed("cannot create " + U(key.Full()), l);
  if (options.bHasValue) {
    DWORD cb = 0;
    l = RegQueryValueExW(hKey.Get(), options.valueName.c_str(), nullptr, nullptr, nullptr, &cb);
    if (l == ERROR_SUCCESS && !options.bForce &&
        !Confirm("Value " + U(options.valueName) + " exists, overwrite")) {
      std::fprintf(stderr, "kelmyr reg: ERROR: the value exists; add /f to overwrite it\n");
      return kExitFailed;
    }
    l = SetExactValue(hKey.Get(), options.valueName, dwType, data);
    if (l != ERROR_SUCCESS) return Failed("cannot set the value", l);
  }
  std::printf("The operation completed successfully.\n");
  return kExitOk;
}

int RunDelete(const SOptions& options) {
  SKeyName key;
  if (int rc =
          ReadKeyArgument(options, 1, &key, "kelmyr reg delete KEY [/v NAME | /ve | /va] [/f]")) {
    return rc;
  }
  const bool bWholeKey = !options.bHasValue && !options.bAllValues;
  if (bWholeKey && key.path.empty()) return BadInput("a root cannot be deleted");
  const std::string what = bWholeKey            ? "the registry key " + U(key.Full())
                           : options.bAllValues ? "all values of " + U(key.Full())
                                                : "the registry value " + U(options.valueName);
  if (!options.bForce && !Confirm("Permanently delete " + what)) {
    std::fprintf(stderr, "kelmyr reg: ERROR: not confirmed; add /f to delete %s\n", what.c_str());
    return kExitFailed;
  }
  LONG l = ERROR_SUCCESS;
  if (bWholeKey) {
    CScopedHKEY hKey;
    l = OpenKey(key,
                DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | options.view,
                &hKey);
    if (l == ERROR_SUCCESS) l = RegDeleteTreeW(hKey.Get(), nullptr);
    hKey.Reset();
    if (l == ERROR_SUCCESS) {
      l = RegDeleteKeyExW(key.pRoot->hKey, key.path.c_str(), options.view, 0);
    }
  } else {
    CScopedHKEY hKey;
    l = OpenKey(key, KEY_READ | KEY_SET_VALUE | options.view, &hKey);
    if (l == ERROR_SUCCESS && options.bAllValues) {
      std::vector<SValue> values;
      l = ReadValues(hKey.Get(), &values);
      for (size_t i = 0; l == ERROR_SUCCESS && i < values.size(); ++i) {
        l = RegDeleteValueW(hKey.Get(), values[i].name.c_str());
      }
    } else if (l == ERROR_SUCCESS) {
      l = RegDeleteValueW(hKey.Get(), options.valueName.c_str());
    }
  }
  if (l != ERROR_SUCCESS) return Failed("cannot delete " + what, l);
  std::printf("The operation completed successfully.\n");
  return kExitOk;
}

int RunExport(const SOptions& options) {
  SKeyName key;
  if (int rc = ReadKeyArgument(options, 2, &key, "kelmyr reg export KEY FILE [/y]")) return rc;
  const std::string& file = options.positional[1];
  if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
    std::fclose(f);
    if (!options.bForce && !Confirm("File " + file + " exists, overwrite")) {
      std::fprintf(stderr, "kelmyr reg: ERROR: %s exists; add /y to overwrite it\n", file.c_str());
      return kExitFailed;
    }
  }
  RegText text = RegFileHeader();
  const LONG l = ExportKey(key, options.view, &text);
  if (l != ERROR_SUCCESS) return Failed("cannot export " + U(key.Full()), l);
  const std::string bytes = EncodeRegFile(text);
  std::FILE* f = std::fopen(file.c_str(), "wb");
  const bool bOk = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f != nullptr && std::fclose(f) != 0) return Failed("cannot write " + file, ERROR_CANTOPEN);
  if (!bOk) {
    std::fprintf(stderr, "kelmyr reg: ERROR: cannot write %s\n", file.c_str());
    return kExitFailed;
  }
  std::printf("The operation completed successfully.\n");
  return kExitOk;
}

LONG ApplyKey(const SRegFileKey& item, const SKeyName& key, REGSAM view) {
  if (item.bDelete) {
    CScopedHKEY hKey;
    LONG l = OpenKey(key, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                     &hKey);
    if (l == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (l == ERROR_SUCCESS) l = RegDeleteTreeW(hKey.Get(), nullptr);
    hKey.Reset();
    return l != ERROR_SUCCESS ? l : RegDeleteKeyExW(key.pRoot->hKey, key.path.c_str(), view, 0);
  }
  CScopedHKEY hKey;
  LONG l = RegCreateKeyExW(key.pRoot->hKey, key.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                           nullptr, hKey.Receive(), nullptr);
  for (size_t i = 0; l == ERROR_SUCCESS && i < item.values.size(); ++i) {
    const SRegFileValue& v = item.values[i];
    if (v.bDelete) {
      l = RegDeleteValueW(hKey.Get(), v.name.c_str());
      if (l == ERROR_FILE_NOT_FOUND) l = ERROR_SUCCESS;
    } else {
      l = SetExactValue(hKey.Get(), v.name, v.dwType, v.data);
    }
  }
  return l;
}

int RunImport(const SOptions& options) {
  if (options.positional.size() != 1) return BadInput("usage: kelmyr reg import FILE");
  const std::string& file = options.positional[0];
  std::string bytes;
  if (!ReadWholeFile(file, &bytes)) {
    std::fprintf(stderr, "kelmyr reg: ERROR: cannot read %s\n", file.c_str());
    return kExitFailed;
  }
  RegText text;
  std::vector<SRegFileKey> items;
  std::string error;
  if (!DecodeRegFile(bytes, &text, &error) || !ParseRegText(text, &items, &error)) {
    return BadInput(file + ": " + error + "; nothing was imported");
  }
  // Every key name is checked before anything is written.
  std::vector<SKeyName> keys(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!ParseKeyName(items[i].path, &keys[i], &error)) {
      return BadInput(file + ": line " + std::to_string(items[i].iLine) + ": " + error +
                      "; nothing was imported");
    }
    if (keys[i].path.empty()) {
      return BadInput(file + ": line " + std::to_string(items[i].iLine) +
                      ": a root cannot be imported into or deleted; nothing was imported");
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const LONG l = ApplyKey(items[i], keys[i], options.view);
    if (l != ERROR_SUCCESS) {
      return Failed(file + ": line " + std::to_string(items[i].iLine) + ": cannot import " +
                        U(keys[i].Full()) + " (the keys before it were imported)",
                    l);
    }
  }
  std::printf("The operation completed successfully.\n");
  return kExitOk;
}

}  // namespace

int KelmyrReg(const KelmyrArgs& args) {
  static const char kUsage[] =
      "usage: kelmyr reg query  KEY [/v NAME | /ve] [/s]\n"
      "       kelmyr reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
      "       kelmyr reg delete KEY [/v NAME | /ve | /va] [/f]\n"
      "       kelmyr reg export KEY FILE [/y]\n"
      "       kelmyr reg import FILE\n"
      "KEY is ROOT\\path with ROOT one of HKLM, HKCU, HKCR, HKU (or the long names);\n"
      "every command also takes /reg:64 (the default) or /reg:32.\n";
  if (args.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return kExitBadInput;
  }
  const std::string& verb = args[0];
  if (verb == "/?" || verb == "help" || verb == "--help") {
    std::printf("%s", kUsage);
    return kExitOk;
  }
  SOptions options;
  std::string error;
  if (!ParseOptions(args, 1, EqualNoCase(verb, "add"), &options, &error)) return BadInput(error);
  if (EqualNoCase(verb, "query")) return RunQuery(options);
  if (EqualNoCase(verb, "add")) return RunAdd(options);
  if (EqualNoCase(verb, "delete")) return RunDelete(options);
  if (EqualNoCase(verb, "export")) return RunExport(options);
  if (EqualNoCase(verb, "import")) return RunImport(options);
  std::fprintf(stderr, "kelmyr reg: ERROR: unknown operation \"%s\"\n%s", verb.c_str(), kUsage);
  return kExitBadInput;
}
