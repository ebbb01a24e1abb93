#include "regfile.h"

#include <cstdio>
#include <cstring>

#include "support/utf8.h"

namespace {

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr size_t kWrapColumn = 77;

RegText T(const char* psz) { return RegText(psz, psz + std::strlen(psz)); }

int HexDigit(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWith(const RegText& s, const char* psz) { return s.rfind(T(psz), 0) == 0; }

RegText Escape(const RegText& s) {
  RegText out;
  for (WCHAR c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Reads a quoted string starting at text[*pi] == '"'; *pi ends after the
// closing quote.
bool ReadQuoted(const RegText& text, size_t* pi, RegText* pOut) {
  pOut->clear();
  size_t i = *pi + 1;
  while (i < text.size() && text[i] != '"') {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    pOut->push_back(text[i++]);
  }
  if (i >= text.size()) return false;
  *pi = i + 1;
  return true;
}

bool ParseHexBytes(const RegText& list, RegBytes* pData) {
  pData->clear();
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
    if (i == list.size()) break;
    const int hi = HexDigit(list[i]);
    const int lo = i + 1 < list.size() ? HexDigit(list[i + 1]) : -1;
    if (hi < 0 || lo < 0) return false;
    pData->push_back(static_cast<BYTE>(hi * 16 + lo));
    i += 2;
    while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) ++i;
    if (i < list.size()) {
      if (list[i] != ',') return false;
      ++i;
    }
  }
  return true;
}

// The value after "=": a string, dword:, hex:, hex(n): or "-".
bool ParseValueData(const RegText& rest, SRegFileValue* pValue) {
  if (rest == T("-")) {
    pValue->bDelete = true;
    return true;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t i = 0;
    RegText s;
    if (!ReadQuoted(rest, &i, &s) || i != rest.size()) return false;
    pValue->dwType = REG_SZ;
    const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
    pValue->data.assign(p, p + (s.size() + 1) * sizeof(WCHAR));
    return true;
  }
  if (StartsWith(rest, "dword:")) {
    const RegText digits = rest.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    DWORD dw = 0;
    for (WCHAR c : digits) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      dw = dw * 16 + static_cast<DWORD>(d);
    }
    pValue->dwType = REG_DWORD;
    pValue->data.assign(reinterpret_cast<const BYTE*>(&dw),
                        reinterpret_cast<const BYTE*>(&dw) + sizeof dw);
    return true;
  }
  if (StartsWith(rest, "hex:")) {
    pValue->dwType = REG_BINARY;
    return ParseHexBytes(rest.substr(4), &pValue->data);
  }
  if (StartsWith(rest, "hex(")) {
    const size_t close = rest.find(')');
    if (close == RegText::npos || close == 4 || close > 12 || close + 1 >= rest.size() ||
        rest[close + 1] != ':') {
      return false;
    }
    DWORD dwType = 0;
    for (size_t i = 4; i < close; ++i) {
      const int d = HexDigit(rest[i]);
      if (d < 0) return false;
      dwType = dwType * 16 + static_cast<DWORD>(d);
    }
    pValue->dwType = dwType;
    return ParseHexBytes(rest.substr(close + 2), &pValue->data);
  }
  return false;
}

std::string LineError(int iLine, const char* pszWhat) {
  return "line " + std::to_string(iLine) + ": " + pszWhat;
}

// True when the bytes are exactly text, one terminator and nothing more,
// with no line break (which the text form cannot carry).
bool IsPlainString(const RegBytes& data, RegText* pText) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const size_t cUnits = data.size() / 2 - 1;
  pText->resize(cUnits);
  if (cUnits != 0) std::memcpy(pText->data(), data.data(), cUnits * sizeof(WCHAR));
  if (data[data.size() - 1] != 0 || data[data.size() - 2] != 0) return false;
  for (WCHAR c : *pText) {
    if (c == 0 || c == '\r' || c == '\n') return false;
  }
  return true;
}

}  // namespace

bool DecodeRegFile(const std::string& bytes, RegText* pText, std::string* pError) {
  if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF &&
      static_cast<BYTE>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      *pError = "the file is UTF-16 with an odd number of bytes";
      return false;
    }
    pText->resize((bytes.size() - 2) / 2);
    for (size_t i = 0; i < pText->size(); ++i) {
      (*pText)[i] = static_cast<WCHAR>(static_cast<BYTE>(bytes[2 + 2 * i]) |
                                       static_cast<BYTE>(bytes[3 + 2 * i]) << 8);
    }
    return true;
  }
  const size_t skip = bytes.rfind(kUtf8Mark, 0) == 0 ? 3 : 0;
  const std::basic_string<OLECHAR> text = Utf8ToUtf16(std::string_view(bytes).substr(skip));
  pText->assign(text.begin(), text.end());
  return true;
}

std::string EncodeRegFile(const RegText& text) {
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + 2 * text.size());
  for (WCHAR c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes;
}

bool ParseRegText(const RegText& text, std::vector<SRegFileKey>* pKeys, std::string* pError) {
  pKeys->clear();
  std::vector<std::pair<int, RegText>> lines;  // logical lines, continuations joined
  {
    int iLine = 0;
    size_t i = 0;
    RegText pending;
    int iPendingLine = 0;
    while (i <= text.size()) {
      size_t end = text.find('\n', i);
      if (end == RegText::npos) end = text.size();
      RegText line = text.substr(i, end - i);
      ++iLine;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!pending.empty()) {
        const size_t first = line.find_first_not_of(T(" \t"));
        line = first == RegText::npos ? RegText() : line.substr(first);
      } else {
        iPendingLine = iLine;
      }
      pending += line;
      if (!pending.empty() && pending.back() == '\\' && pending.find('=') != RegText::npos &&
          pending[0] != '[') {
        pending.pop_back();
      } else {
        lines.emplace_back(iPendingLine, pending);
        pending.clear();
      }
      i = end + 1;
    }
    if (!pending.empty()) lines.emplace_back(iPendingLine, pending);
  }

  bool bHeader = false;
  for (const auto& [iLine, line] : lines) {
    const size_t first = line.find_first_not_of(T(" \t"));
    if (first == RegText::npos || line[first] == ';') continue;
    const RegText content = line.substr(first);
    if (!bHeader) {
      if (content != T("Windows Registry Editor Version 5.00") && content != T("REGEDIT4")) {
        *pError = LineError(iLine,
                            "the file does not start with the header "
                            "\"Windows Registry Editor Version 5.00\"");
        return false;
      }
      bHeader = true;
      continue;
    }
    if (content[0] == '[') {
      const size_t last = content.find_last_not_of(T(" \t"));
      if (content[last] != ']') {
        *pError = LineError(iLine, "a key line must end with \"]\"");
        return false;
      }
      SRegFileKey key;
      key.iLine = iLine;
      key.bDelete = content.size() > 1 && content[1] == '-';
      key.path = content.substr(key.bDelete ? 2 : 1, last - (key.bDelete ? 2 : 1));
      if (key.path.empty()) {
        *pError = LineError(iLine, "empty key path");
        return false;
      }
      pKeys->push_back(std::move(key));
      continue;
    }
    if (pKeys->empty() || pKeys->back().bDelete) {
      *pError = LineError(iLine, "a value line must follow a key line");
      return false;
    }
    SRegFileValue value;
    size_t i = 0;
    if (content[0] == '@') {
      i = 1;
    } else if (content[0] != '"' || !ReadQuoted(content, &i, &value.name)) {
      *pError = LineError(iLine, "a value line starts with a quoted name or @");
      return false;
    }
    if (i >= content.size() || content[i] != '=') {
      *pError = LineError(iLine, "\"=\" expected after the value name");
      return false;
    }
    RegText rest = content.substr(i + 1);
    const size_t last = rest.find_last_not_of(T(" \t"));
    rest = last == RegText::npos ? RegText() : rest.substr(0, last + 1);
    if (!ParseValueData(rest, &value)) {
      *pError = LineError(iLine, "value data must be \"text\", dword:, hex:, hex(type): or -");
      return false;
    }
    pKeys->back().values.push_back(std::move(value));
  }
  if (!bHeader) {
    *pError = "the file is empty";
    return false;
  }
  return true;
}

RegText RegFileHeader() { return T("Windows Registry Editor Version 5.00\r\n\r\n"); }

RegText FormatRegKeyLine(const RegText& path) { return T("[") + path + T("]\r\n"); }

RegText FormatRegValueLine(const RegText& name, DWORD dwType, const RegBytes& data) {
  RegText line = name.empty() ? T("@=") : T("\"") + Escape(name) + T("\"=");
  RegText text;
  if (dwType == REG_SZ && IsPlainString(data, &text))
    return line + T("\"") + Escape(text) + T("\"\r\n");
  if (dwType == REG_DWORD && data.size() == 4) {
    DWORD dw = 0;
    std::memcpy(&dw, data.data(), sizeof dw);
    char sz[16];
    std::snprintf(sz, sizeof sz, "dword:%08lx", static_cast<unsigned long>(dw));
    return line + T(sz) + T("\r\n");
  }
  char szPrefix[24];
  if (dwType == REG_BINARY) {
    std::snprintf(szPrefix, sizeof szPrefix, "hex:");
  } else {
    std::snprintf(szPrefix, sizeof szPrefix, "hex(%lx):", static_cast<unsigned long>(dwType));
  }
  line += T(szPrefix);
  size_t column = line.size();
  for (size_t i = 0; i < data.size(); ++i) {
    char sz[4];
    std::snprintf(sz, sizeof sz, "%02x", data[i]);
    const bool bLast = i + 1 == data.size();
    if (column + (bLast ? 2 : 3) > kWrapColumn) {
      line += T("\\\r\n  ");
      column = 2;
    }
    line += T(sz);
    if (!bLast) line += T(",");
    column += bLast ? 2 : 3;
  }
  return line + T("\r\n");
}
