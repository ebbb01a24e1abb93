#include "registry_names.h"

namespace kelmyr::winapi::registry {
namespace {

// Blocks where upper and lower case alternate (upper on the even or the
// odd unit).
bool InPairBlock(char16_t c, char16_t first, char16_t last, bool bLowerOdd) {
  return c >= first && c <= last && ((c & 1) != 0) == bLowerOdd;
}

}  // namespace

char16_t UpcaseUnit(char16_t c) noexcept {
  if (c < 0x61) return c;
  if (c <= 0x7A) return c - 0x20;
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A.
  if (InPairBlock(c, 0x100, 0x137, true) || InPairBlock(c, 0x139, 0x148, false) ||
      InPairBlock(c, 0x14A, 0x177, true) || InPairBlock(c, 0x179, 0x17E, false)) {
    return c - 1;
  }
  // Greek.
  if (c == 0x3C2) return 0x3A3;
  if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return c - 0x20;
  // Cyrillic.
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (InPairBlock(c, 0x460, 0x481, true) || InPairBlock(c, 0x48A, 0x4BF, true) ||
      InPairBlock(c, 0x4D0, 0x52F, true)) {
    return c - 1;
  }
  // Armenian.
  if (c >= 0x561 && c <= 0x586) return c - 0x30;
  // Fullwidth Latin.
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

std::string FoldedKey(RegNameView name) {
  std::string key;
  key.reserve(2 * name.size());
  for (char16_t c : name) {
    const char16_t u = UpcaseUnit(c);
    key.push_back(static_cast<char>(u >> 8));
    key.push_back(static_cast<char>(u & 0xFF));
  }
  return key;
}

size_t BoundedLength(LPCWSTR psz, size_t limit) noexcept {
  size_t n = 0;
  while (n <= limit && psz[n] != 0) ++n;
  return n;
}

LONG SplitSubKeyPath(LPCWSTR pszPath, std::vector<RegName>* pNames) {
  pNames->clear();
  if (pszPath == nullptr) return ERROR_SUCCESS;
  const size_t cch = BoundedLength(pszPath, kMaxPathLength);
  if (cch > kMaxPathLength) return ERROR_INVALID_PARAMETER;
  const RegNameView path(pszPath, cch);
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == RegNameView::npos) end = path.size();
    if (end > start) {
      if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
      pNames->emplace_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

}  // namespace kelmyr::winapi::registry
