// COM base of the Linux platform layer: the well-known interface
// identifiers, task memory, and GUID generation, formatting and parsing.
#define INITGUID
#include <errno.h>
#include <objbase.h>
#include <oleauto.h>
#include <sys/random.h>

#include <cstdlib>
#include <cstring>

DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);
DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" without its terminator.
constexpr int kGuidStringLength = 38;

// Fills the buffer from the kernel's random source; false if it fails.
bool FillRandom(void* pv, size_t cb) {
  auto* p = static_cast<unsigned char*>(pv);
  while (cb > 0) {
    const ssize_t got = getrandom(p, cb, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    cb -= static_cast<size_t>(got);
  }
  return true;
}

OLECHAR* PutHex(OLECHAR* out, uint64_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) *out++ = kDigits[(value >> (4 * i)) & 0xF];
  return out;
}

// Reads exactly `digits` hexadecimal digits of either case.
bool GetHex(const OLECHAR*& in, int digits, uint64_t* pValue) {
  uint64_t value = 0;
  for (int i = 0; i < digits; ++i) {
    const OLECHAR c = *in++;
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else {
      return false;
    }
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  *pValue = value;
  return true;
}

bool Expect(const OLECHAR*& in, OLECHAR c) { return *in++ == c; }

}  // namespace

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  // A zero-byte request still yields a distinct block, as on Windows.
  return std::malloc(cb != 0 ? cb : 1);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

HRESULT WINAPI CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_INVALIDARG;
  GUID guid;
  if (!FillRandom(&guid, sizeof guid)) return E_FAIL;
  // A random (version 4) GUID of the standard variant.
  guid.Data3 = static_cast<WORD>((guid.Data3 & 0x0FFF) | 0x4000);
  guid.Data4[0] = static_cast<BYTE>((guid.Data4[0] & 0x3F) | 0x80);
  *pguid = guid;
  return S_OK;
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < kGuidStringLength + 1) return 0;
  OLECHAR* out = lpsz;
  *out++ = u'{';
  out = PutHex(out, rguid.Data1, 8);
  *out++ = u'-';
  out = PutHex(out, rguid.Data2, 4);
  *out++ = u'-';
  out = PutHex(out, rguid.Data3, 4);
  *out++ = u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) *out++ = u'-';
    out = PutHex(out, rguid.Data4[i], 2);
  }
  *out++ = u'}';
  *out = 0;
  return kGuidStringLength + 1;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  // Only the braced form is understood; this layer has no program
  // identifiers to look names up in. The output is written only on success.
  const OLECHAR* in = lpsz;
  GUID guid;
  uint64_t value = 0;
  if (!Expect(in, u'{') || !GetHex(in, 8, &value)) return CO_E_CLASSSTRING;
  guid.Data1 = static_cast<DWORD>(value);
  if (!Expect(in, u'-') || !GetHex(in, 4, &value)) return CO_E_CLASSSTRING;
  guid.Data2 = static_cast<WORD>(value);
  if (!Expect(in, u'-') || !GetHex(in, 4, &value)) return CO_E_CLASSSTRING;
  guid.Data3 = static_cast<WORD>(value);
  if (!Expect(in, u'-')) return CO_E_CLASSSTRING;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(in, u'-')) return CO_E_CLASSSTRING;
    if (!GetHex(in, 2, &value)) return CO_E_CLASSSTRING;
    guid.Data4[i] = static_cast<BYTE>(value);
  }
  if (!Expect(in, u'}') || *in != 0) return CO_E_CLASSSTRING;
  *pclsid = guid;
  return S_OK;
}
