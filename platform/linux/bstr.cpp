// BSTR: the length-prefixed UTF-16 strings of OLE Automation.
//
// A BSTR points at its data; the 4 bytes before it hold the data's length in
// bytes. The data may contain zeros and may have an odd byte length (strings
// made by SysAllocStringByteLen). Zero bytes always follow the data: enough
// to complete its last OLECHAR and then one whole zero OLECHAR, so that a
// BSTR can be read as a zero-terminated string.
#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kPrefixBytes = sizeof(DWORD);

// The byte length must fit the 4-byte prefix together with the rounding and
// the terminator, so that no length computation can wrap.
constexpr size_t kMaxByteLength = 0xFFFFFFFFu - kPrefixBytes - 2 * sizeof(OLECHAR);

char* BlockOf(BSTR bstr) { return reinterpret_cast<char*>(bstr) - kPrefixBytes; }

UINT ByteLengthOf(BSTR bstr) {
  DWORD cb = 0;
  std::memcpy(&cb, BlockOf(bstr), sizeof cb);
  return cb;
}

// A new BSTR of cb bytes, zero-filled and terminated; null when the length
// cannot be represented or memory is short.
BSTR AllocateBytes(size_t cb) {
  if (cb > kMaxByteLength) return nullptr;
  const size_t cbData = (cb + 1) & ~size_t{1};
  char* block = static_cast<char*>(std::calloc(1, kPrefixBytes + cbData + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const DWORD cbStored = static_cast<DWORD>(cb);
  std::memcpy(block, &cbStored, sizeof cbStored);
  return reinterpret_cast<BSTR>(block + kPrefixBytes);
}

// True when p lies inside the data or terminator of bstr.
bool PointsInto(BSTR bstr, const OLECHAR* p) {
  const auto begin = reinterpret_cast<uintptr_t>(bstr);
  const auto end = begin + ByteLengthOf(bstr) + sizeof(OLECHAR);
  const auto at = reinterpret_cast<uintptr_t>(p);
  return at >= begin && at < end;
}

}  // namespace

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  const size_t cch = std::char_traits<OLECHAR>::length(psz);
  if (cch > UINT32_MAX) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(cch));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  BSTR bstr = AllocateBytes(size_t{ui} * sizeof(OLECHAR));
  if (bstr != nullptr && strIn != nullptr) std::memcpy(bstr, strIn, size_t{ui} * sizeof(OLECHAR));
  return bstr;
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) {
  BSTR bstr = AllocateBytes(len);
  if (bstr != nullptr && psz != nullptr) std::memcpy(bstr, psz, len);
  return bstr;
}

INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  // The new string is built before the old one is freed, so psz may point
  // into *pbstr.
  BSTR fresh = SysAllocString(psz);
  if (fresh == nullptr && psz != nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  BSTR old = *pbstr;
  BSTR fresh = AllocateBytes(size_t{len} * sizeof(OLECHAR));
  if (fresh == nullptr) return FALSE;

  // Without a source the old characters are kept, as a reallocation would.
  // A source inside the old string can supply only what the old string
  // holds; the rest of the new string stays zero.
  const OLECHAR* source = psz;
  size_t cch = len;
  if (source == nullptr) {
    source = old;
    cch = old != nullptr ? std::min<size_t>(len, SysStringLen(old)) : 0;
  } else if (old != nullptr && PointsInto(old, psz)) {
    const size_t cbBefore = reinterpret_cast<const char*>(psz) - reinterpret_cast<char*>(old);
    const size_t cbAvailable = ByteLengthOf(old) > cbBefore ? ByteLengthOf(old) - cbBefore : 0;
    cch = std::min<size_t>(len, cbAvailable / sizeof(OLECHAR));
  }
  if (cch > 0) std::memcpy(fresh, source, cch * sizeof(OLECHAR));

  SysFreeString(old);
  *pbstr = fresh;
  return TRUE;
}

void WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(BlockOf(bstrString));
}

UINT WINAPI SysStringLen(BSTR pbstr) {
  return pbstr != nullptr ? ByteLengthOf(pbstr) / sizeof(OLECHAR) : 0;
}

UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr != nullptr ? ByteLengthOf(bstr) : 0; }
