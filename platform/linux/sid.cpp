// SIDs as text: ConvertSidToStringSidW and ConvertStringSidToSidW, and the
// well-known aliases of the security descriptor language.
#include <sddl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <iterator>
#include <new>

#include "sid_text.h"

namespace kelmyr::winapi {
namespace {

struct SAlias {
  const char16_t* pszAlias;
  const char16_t* pszSid;
};

// Well-known SIDs that need no domain.
constexpr SAlias kAliases[] = {
    {u"AN", u"S-1-5-7"},      {u"AU", u"S-1-5-11"},     {u"BA", u"S-1-5-32-544"},
    {u"BG", u"S-1-5-32-546"}, {u"BU", u"S-1-5-32-545"}, {u"CG", u"S-1-3-1"},
    {u"CO", u"S-1-3-0"},      {u"IU", u"S-1-5-4"},      {u"LS", u"S-1-5-19"},
    {u"NS", u"S-1-5-20"},     {u"NU", u"S-1-5-2"},      {u"OW", u"S-1-3-4"},
    {u"PS", u"S-1-5-10"},     {u"RC", u"S-1-5-12"},     {u"SU", u"S-1-5-6"},
    {u"SY", u"S-1-5-18"},     {u"WD", u"S-1-1-0"},      {u"AC", u"S-1-15-2-1"},
    {u"LW", u"S-1-16-4096"},  {u"ME", u"S-1-16-8192"},  {u"MP", u"S-1-16-8448"},
    {u"HI", u"S-1-16-12288"}, {u"SI", u"S-1-16-16384"},
};

// The aliased SIDs' texts with their lengths, and the most sub-authorities
// one of them has, found when compiling.
constexpr auto kAliasedSids = [] {
  std::array<std::u16string_view, std::size(kAliases)> sids{};
  for (size_t i = 0; i < sids.size(); ++i) sids[i] = kAliases[i].pszSid;
  return sids;
}();
constexpr BYTE kMostAliasedSubAuthorities = [] {
  BYTE most = 0;
  for (std::u16string_view sid : kAliasedSids) {
    // "S-1-<authority>" and one dash before each sub-authority.
    const auto dashes = static_cast<BYTE>(std::count(sid.begin(), sid.end(), u'-'));
    most = std::max<BYTE>(most, static_cast<BYTE>(dashes - 2));
  }
  return most;
}();
static_assert(kMostAliasedSubAuthorities == 2);

// Parses digits of the base into a value no greater than the maximum.
bool ParseNumber(std::u16string_view digits, unsigned base, uint64_t max, uint64_t* pValue) {
  if (digits.empty()) return false;
  uint64_t value = 0;
  for (char16_t c : digits) {
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = static_cast<unsigned>(c - u'0');
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = static_cast<unsigned>(c - u'a' + 10);
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = static_cast<unsigned>(c - u'A' + 10);
    } else {
      return false;
    }
    if (digit >= base || value > (max - digit) / base) return false;
    value = value * base + digit;
  }
  *pValue = value;
  return true;
}

bool ParseStandardForm(std::u16string_view text, std::vector<BYTE>* pSid) {
  if (text.size() < 2 || (text[0] != u'S' && text[0] != u's') || text[1] != u'-') return false;
  text.remove_prefix(2);
  std::vector<std::u16string_view> parts;
  for (;;) {
    const size_t dash = text.find(u'-');
    parts.push_back(text.substr(0, dash));
    if (dash == std::u16string_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  // Revision, authority, and at most 15 sub-authorities.
  if (parts.size() < 2 || parts.size() > 2 + SID_MAX_SUB_AUTHORITIES) return false;
  uint64_t revision = 0;
  if (!ParseNumber(parts[0], 10, 255, &revision) || revision != SID_REVISION) return false;
  uint64_t authority = 0;
  const std::u16string_view authorityText = parts[1];
  if (authorityText.size() > 2 && authorityText[0] == u'0' &&
      (authorityText[1] == u'x' || authorityText[1] == u'X')) {
    if (!ParseNumber(authorityText.substr(2), 16, 0xFFFFFFFFFFFFull, &authority)) return false;
  } else if (!ParseNumber(authorityText, 10, 0xFFFFFFFFull, &authority)) {
    return false;
  }
  std::vector<BYTE> sid(8 + 4 * (parts.size() - 2));
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(parts.size() - 2);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
  for (size_t i = 2; i < parts.size(); ++i) {
    uint64_t sub = 0;
    if (!ParseNumber(parts[i], 10, 0xFFFFFFFFull, &sub)) return false;
    const auto value = static_cast<DWORD>(sub);
    std::memcpy(sid.data() + 8 + 4 * (i - 2), &value, sizeof value);
  }
  pSid->swap(sid);
  return true;
}

}  // namespace

LPWSTR LocalCopy(const std::u16string& text) {
  auto* psz = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
  if (psz == nullptr) return nullptr;
  text.copy(psz, text.size());
  psz[text.size()] = u'\0';
  return psz;
}

std::u16string SidText(PSID pSid) {
  const auto* pBytes = static_cast<const BYTE*>(pSid);
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | pBytes[i];
  // "S-", the revision, the authority ("0x" and 12 digits at most), and up
  // to 15 sub-authorities of at most 10 digits, each after a dash.
  char sz[2 + 3 + 1 + 14 + SID_MAX_SUB_AUTHORITIES * 11];
  char* const pEnd = sz + sizeof sz;
  char* p = sz;
  *p++ = 'S';
  *p++ = '-';
  p = std::to_chars(p, pEnd, unsigned{pBytes[0]}).ptr;
  *p++ = '-';
  if (authority <= 0xFFFFFFFFull) {
    p = std::to_chars(p, pEnd, authority).ptr;
  } else {
    *p++ = '0';
    *p++ = 'x';
    for (int shift = 44; shift >= 0; shift -= 4)
      *p++ = "0123456789ABCDEF"[(authority >> shift) & 0xF];
  }
  const BYTE count = std::min<BYTE>(pBytes[1], SID_MAX_SUB_AUTHORITIES);
  for (BYTE i = 0; i < count; ++i) {
    DWORD sub = 0;
    std::memcpy(&sub, pBytes + 8 + 4 * i, sizeof sub);
    *p++ = '-';
    p = std::to_chars(p, pEnd, sub).ptr;
  }
  return std::u16string(sz, p);
}

const char16_t* SidAlias(PSID pSid) {
  // Every aliased SID has at most two sub-authorities: the accounts of a
  // domain never have an alias here.
  if (static_cast<const BYTE*>(pSid)[1] > kMostAliasedSubAuthorities) return nullptr;
  const std::u16string text = SidText(pSid);
  for (size_t i = 0; i < std::size(kAliases); ++i) {
    if (text == kAliasedSids[i]) return kAliases[i].pszAlias;
  }
  return nullptr;
}

bool ParseSidText(std::u16string_view text, std::vector<BYTE>* pSid) {
  for (const SAlias& alias : kAliases) {
    if (text == alias.pszAlias) return ParseStandardForm(alias.pszSid, pSid);
  }
  return ParseStandardForm(text, pSid);
}

}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
  if (StringSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsValidSid(Sid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  try {
    LPWSTR psz = LocalCopy(SidText(Sid));
    if (psz == nullptr) return FALSE;
    *StringSid = psz;
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
  if (StringSid == nullptr || Sid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  try {
    std::vector<BYTE> sid;
    if (!ParseSidText(StringSid, &sid)) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    void* p = LocalAlloc(LMEM_FIXED, sid.size());
    if (p == nullptr) return FALSE;
    std::memcpy(p, sid.data(), sid.size());
    *Sid = p;
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}
