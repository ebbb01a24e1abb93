#include "registry_values.h"

#include <winreg.h>

#include <cstdlib>
#include <cstring>

namespace kelmyr::winapi::registry {
namespace {

// UTF-8 text (an environment value) as UTF-16; malformed bytes become
// U+FFFD.
std::u16string FromUtf8(std::string_view in) {
  std::u16string out;
  size_t i = 0;
  while (i < in.size()) {
    const auto b = static_cast<unsigned char>(in[i]);
    char32_t cp = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4;
    }
    if (n > 1) {
      bool bOk = i + n <= in.size();
      char32_t v = b & (0x7F >> n);
      for (size_t k = 1; bOk && k < n; ++k) {
        const auto c = static_cast<unsigned char>(in[i + k]);
        bOk = (c & 0xC0) == 0x80;
        v = (v << 6) | (c & 0x3F);
      }
      const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (bOk && v >= kMin[n] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        cp = v;
      } else {
        n = 1;
      }
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

// The text of a string value up to its first zero unit.
std::u16string_view StringOf(const std::vector<BYTE>& data) {
  const size_t cch = data.size() / sizeof(char16_t);
  const auto* p = reinterpret_cast<const char16_t*>(data.data());
  size_t n = 0;
  while (n < cch && p[n] != 0) ++n;
  return std::u16string_view(p, n);
}

void AppendZeroUnits(std::vector<BYTE>* pData, size_t cUnits) {
  if (pData->size() % 2 != 0) pData->push_back(0);
  pData->insert(pData->end(), 2 * cUnits, 0);
}

// True when the last whole unit is zero (and, for n = 2, the one before).
bool EndsWithZeroUnits(const std::vector<BYTE>& data, size_t n) {
  if (data.size() % 2 != 0 || data.size() < 2 * n) return false;
  for (size_t i = data.size() - 2 * n; i < data.size(); ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

}  // namespace

DWORD RestrictionBitOf(DWORD type) noexcept {
  switch (type) {
    case REG_NONE:
      return RRF_RT_REG_NONE;
    case REG_SZ:
      return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ:
      return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY:
      return RRF_RT_REG_BINARY;
    case REG_DWORD:
      return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ:
      return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD:
      return RRF_RT_REG_QWORD;
    default:
      return 0;
  }
}

LONG ShapeForGetValue(DWORD dwFlags, SValue* pValue) {
  // An empty string stays empty: no terminator is added to zero bytes.
  const bool bEmpty = pValue->data.empty();
  if (pValue->type == REG_EXPAND_SZ && (dwFlags & RRF_NOEXPAND) == 0) {
    if (!bEmpty) {
      const std::u16string expanded = ExpandEnvironmentReferences(StringOf(pValue->data));
      pValue->data.assign(reinterpret_cast<const BYTE*>(expanded.c_str()),
                          reinterpret_cast<const BYTE*>(expanded.c_str() + expanded.size() + 1));
    }
    pValue->type = REG_SZ;
  }
  const DWORD allowed = dwFlags & RRF_RT_ANY;
  if (allowed != RRF_RT_ANY && (allowed & RestrictionBitOf(pValue->type)) == 0) {
    return ERROR_UNSUPPORTED_TYPE;
  }
  if (bEmpty) return ERROR_SUCCESS;
  if (pValue->type == REG_SZ || pValue->type == REG_EXPAND_SZ) {
    if (!EndsWithZeroUnits(pValue->data, 1)) AppendZeroUnits(&pValue->data, 1);
  } else if (pValue->type == REG_MULTI_SZ) {
    if (!EndsWithZeroUnits(pValue->data, 1)) {
      AppendZeroUnits(&pValue->data, 2);
    } else if (pValue->data.size() > 2 && !EndsWithZeroUnits(pValue->data, 2)) {
      AppendZeroUnits(&pValue->data, 1);
    }
  }
  return ERROR_SUCCESS;
}

std::u16string ExpandEnvironmentReferences(std::u16string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t open = text.find(u'%', i);
    if (open == std::u16string_view::npos) break;
    const size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    out.append(text.substr(i, open - i));
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    std::string narrow;
    bool bAscii = !name.empty();
    for (char16_t c : name) {
      if (c == 0 || c >= 0x80 || c == u'=') bAscii = false;
      narrow.push_back(static_cast<char>(c));
    }
    const char* pszValue = bAscii ? std::getenv(narrow.c_str()) : nullptr;
    if (pszValue != nullptr) {
      out += FromUtf8(pszValue);
      i = close + 1;
    } else {
      out.append(text.substr(open, close - open + 1));
      i = close + 1;
    }
  }
  out.append(text.substr(i));
  return out;
}

}  // namespace kelmyr::winapi::registry
