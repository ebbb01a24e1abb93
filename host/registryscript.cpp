#include "host/registryscript.h"

#include <winreg.h>

#include <new>
#include <string>
#include <vector>

#include "platform/registry_seam.h"
#include "support/scopedhkey.h"

namespace {

using WString = std::basic_string<WCHAR>;

const HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
const HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
// Deeper nesting than any registration needs is taken for damaged text.
constexpr int kMaxDepth = 32;
constexpr REGSAM kView = KEY_WOW64_64KEY;

enum class EKeyFlag { kNone, kNoRemove, kForceRemove };

struct SValue {
  WString name;
  WString data;
};

struct SKey {
  WString name;
  EKeyFlag flag = EKeyFlag::kNone;
  bool bHasDefault = false;
  WString defaultData;
  std::vector<SValue> values;
  std::vector<SKey> children;
};

struct SToken {
  std::string text;
  bool bQuoted = false;
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

HRESULT Tokenize(std::string_view text, std::vector<SToken>* pTokens) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return kBadFormat;
  }
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    SToken token;
    if (c == '\'') {
      token.bQuoted = true;
      for (++i;; ++i) {
        if (i >= text.size()) return kBadFormat;
        if (text[i] != '\'') {
          token.text.push_back(text[i]);
        } else if (i + 1 < text.size() && text[i + 1] == '\'') {
          token.text.push_back('\'');
          ++i;
        } else {
          ++i;
          break;
        }
      }
    } else {
      while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r' &&
             text[i] != '\n') {
        if (text[i] == '\'') return kBadFormat;  // a quote inside a bare word
        token.text.push_back(text[i++]);
      }
    }
    pTokens->push_back(std::move(token));
  }
  return S_OK;
}

class CParser {
 public:
  CParser(std::vector<SToken> tokens, const SScriptReplacement* pReplacements, size_t cReplacements)
      : m_tokens(std::move(tokens)),
        m_pReplacements(pReplacements),
        m_cReplacements(cReplacements) {}

  HRESULT ParseScript(SKey* pRoot) {
    while (m_next < m_tokens.size()) {
      const SToken& root = m_tokens[m_next++];
      if (IsPunctuation(root)) return kBadFormat;
      if (root.bQuoted ||
          (!EqualNoCase(root.text, "HKCR") && !EqualNoCase(root.text, "HKEY_CLASSES_ROOT"))) {
        return kNotSupported;
      }
      if (!Accept("{")) return kBadFormat;
      if (HRESULT hr = ParseBody(pRoot, 1); FAILED(hr)) return hr;
    }
    return S_OK;
  }

 private:
  static bool IsPunctuation(const SToken& t) {
    return !t.bQuoted && (t.text == "{" || t.text == "}" || t.text == "=");
  }

  bool Peek(const char* pszWord) const {
    return m_next < m_tokens.size() && !m_tokens[m_next].bQuoted &&
           m_tokens[m_next].text == pszWord;
  }

  bool Accept(const char* pszWord) {
    if (!Peek(pszWord)) return false;
    ++m_next;
    return true;
  }

  // A key or value name: a bare word or a quoted string, never empty.
  HRESULT Name(WString* pName) {
    if (m_next >= m_tokens.size() || IsPunctuation(m_tokens[m_next])) return kBadFormat;
    const SToken& t = m_tokens[m_next++];
    if (t.text.empty()) return kBadFormat;
    HRESULT hr = Expand(t.text, pName);
    if (SUCCEEDED(hr) && pName->empty()) hr = kBadFormat;
    return hr;
  }

  // "= s 'text'" after the "=" was seen.
  HRESULT StringData(WString* pData) {
    if (m_next >= m_tokens.size()) return kBadFormat;
    const SToken& type = m_tokens[m_next++];
    if (type.bQuoted || IsPunctuation(type)) return kBadFormat;
    if (!EqualNoCase(type.text, "s")) return kNotSupported;
    if (m_next >= m_tokens.size() || !m_tokens[m_next].bQuoted) return kBadFormat;
    return Expand(m_tokens[m_next++].text, pData);
  }

  HRESULT ParseBody(SKey* pParent, int depth) {
    if (depth > kMaxDepth) return kBadFormat;
    for (;;) {
      if (m_next >= m_tokens.size()) return kBadFormat;
      if (Accept("}")) return S_OK;
      if (Accept("val")) {
        SValue value;
        if (HRESULT hr = Name(&value.name); FAILED(hr)) return hr;
        if (!Accept("=")) return kBadFormat;
        if (HRESULT hr = StringData(&value.data); FAILED(hr)) return hr;
        pParent->values.push_back(std::move(value));
        continue;
      }
      SKey key;
      if (Accept("NoRemove")) {
        key.flag = EKeyFlag::kNoRemove;
      } else if (Accept("ForceRemove")) {
        key.flag = EKeyFlag::kForceRemove;
      } else if (Peek("Delete")) {
        return kNotSupported;
      }
      if (HRESULT hr = Name(&key.name); FAILED(hr)) return hr;
      if (Accept("=")) {
        key.bHasDefault = true;
        if (HRESULT hr = StringData(&key.defaultData); FAILED(hr)) return hr;
      }
      if (Accept("{")) {
        if (HRESULT hr = ParseBody(&key, depth + 1); FAILED(hr)) return hr;
      }
      pParent->children.push_back(std::move(key));
    }
  }

  HRESULT Expand(const std::string& text, WString* pOut) const {
    pOut->clear();
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') {
        pOut->push_back(static_cast<WCHAR>(text[i]));
        continue;
      }
      const size_t end = text.find('%', i + 1);
      if (end == std::string::npos) return E_INVALIDARG;
      const std::string_view name(text.data() + i + 1, end - i - 1);
      i = end;
      if (name.empty()) {
        pOut->push_back(static_cast<WCHAR>('%'));
        continue;
      }
      const SScriptReplacement* pFound = nullptr;
      for (size_t r = 0; r < m_cReplacements && pFound == nullptr; ++r) {
        if (m_pReplacements[r].pszName != nullptr && name == m_pReplacements[r].pszName) {
          pFound = &m_pReplacements[r];
        }
      }
      if (pFound == nullptr || pFound->pszValue == nullptr) return E_INVALIDARG;
      pOut->append(pFound->pszValue);
    }
    return S_OK;
  }

  std::vector<SToken> m_tokens;
  size_t m_next = 0;
  const SScriptReplacement* m_pReplacements;
  size_t m_cReplacements;
};

HRESULT FromStatus(LSTATUS l) { return l == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(l); }

bool IsGone(LSTATUS l) { return l == ERROR_FILE_NOT_FOUND || l == ERROR_PATH_NOT_FOUND; }

HRESULT SetString(HKEY hKey, const WCHAR* pszName, const WString& data) {
  const DWORD cb = static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR));
  return FromStatus(Registry().RegSetValueExW(hKey, pszName, 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(data.c_str()), cb));
}

HRESULT RegisterKey(HKEY hParent, const SKey& key) {
  IRegistry& registry = Registry();
  if (key.flag == EKeyFlag::kForceRemove) {
    const LSTATUS l = registry.RegDeleteTreeW(hParent, key.name.c_str());
    if (l != ERROR_SUCCESS && !IsGone(l)) return FromStatus(l);
  }
  CScopedHKEY hKey;
  HRESULT hr = FromStatus(
      registry.RegCreateKeyExW(hParent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE | kView, nullptr, hKey.Receive(), nullptr));
  if (SUCCEEDED(hr) && key.bHasDefault) hr = SetString(hKey.Get(), nullptr, key.defaultData);
  for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i) {
    hr = SetString(hKey.Get(), key.values[i].name.c_str(), key.values[i].data);
  }
  for (size_t i = 0; SUCCEEDED(hr) && i < key.children.size(); ++i) {
    hr = RegisterKey(hKey.Get(), key.children[i]);
  }
  return hr;
}

HRESULT UnregisterKey(HKEY hParent, const SKey& key) {
  IRegistry& registry = Registry();
  if (key.flag == EKeyFlag::kForceRemove) {
    const LSTATUS l = registry.RegDeleteTreeW(hParent, key.name.c_str());
    return IsGone(l) ? S_OK : FromStatus(l);
  }
  CScopedHKEY hKey;
  LSTATUS l = registry.RegOpenKeyExW(hParent, key.name.c_str(), 0, KEY_READ | KEY_WRITE | kView,
                                     hKey.Receive());
  if (IsGone(l)) return S_OK;
  if (l != ERROR_SUCCESS) return FromStatus(l);
  for (size_t i = key.children.size(); i-- > 0;) {
    if (HRESULT hr = UnregisterKey(hKey.Get(), key.children[i]); FAILED(hr)) return hr;
  }
  if (key.flag == EKeyFlag::kNoRemove) return S_OK;
  for (const SValue& value : key.values) {
    l = registry.RegDeleteValueW(hKey.Get(), value.name.c_str());
    if (l != ERROR_SUCCESS && !IsGone(l)) return FromStatus(l);
  }
  if (key.bHasDefault) {
    l = registry.RegDeleteValueW(hKey.Get(), nullptr);
    if (l != ERROR_SUCCESS && !IsGone(l)) return FromStatus(l);
  }
  // Another component's keys or values keep it.
  DWORD cSubKeys = 0, cValues = 0;
  l = registry.RegQueryInfoKeyW(hKey.Get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                                &cValues, nullptr, nullptr, nullptr, nullptr);
  if (l != ERROR_SUCCESS) return FromStatus(l);
  hKey.Reset();
  if (cSubKeys != 0 || cValues != 0) return S_OK;
  l = registry.RegDeleteKeyExW(hParent, key.name.c_str(), kView, 0);
  return IsGone(l) ? S_OK : FromStatus(l);
}

}  // namespace

HRESULT RunRegistryScript(std::string_view script, const SScriptReplacement* pReplacements,
                          size_t cReplacements, EScriptMode mode, HKEY hClassesRoot) noexcept {
  if (hClassesRoot == nullptr || (pReplacements == nullptr && cReplacements != 0)) {
    return E_INVALIDARG;
  }
  try {
    std::vector<SToken> tokens;
    HRESULT hr = Tokenize(script, &tokens);
    if (FAILED(hr)) return hr;
    SKey root;
    hr = CParser(std::move(tokens), pReplacements, cReplacements).ParseScript(&root);
    if (FAILED(hr)) return hr;
    if (mode == EScriptMode::kRegister) {
      for (const SKey& key : root.children) {
        if (hr = RegisterKey(hClassesRoot, key); FAILED(hr)) return hr;
      }
    } else {
      for (size_t i = root.children.size(); i-- > 0;) {
        if (hr = UnregisterKey(hClassesRoot, root.children[i]); FAILED(hr)) return hr;
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
