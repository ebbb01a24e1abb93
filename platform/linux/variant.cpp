// VARIANT: initialising, clearing and copying the tagged values of OLE
// Automation, with the type rules of Windows.
//
// A variant owns its BSTR, its interface reference and its SAFEARRAY; a
// by-reference variant (VT_BYREF) owns nothing. Clearing releases what is
// owned and resets the type to VT_EMPTY; copying makes the destination own
// copies of its own.
//
// Records (VT_RECORD) are valid types, but this layer does not call into
// record descriptions: a record variant that carries a record is refused
// with E_NOTIMPL and left as it was.
#include <oleauto.h>

#include <cstring>

namespace {

// The types Windows accepts in a VARIANT: the base types below VT_VOID
// (except the unassigned 15), records and CLSIDs, alone or with VT_ARRAY
// and/or VT_BYREF; an array of or reference to VT_EMPTY or VT_NULL is not
// a type, and VT_VECTOR and VT_RESERVED never appear in a VARIANT.
bool IsValidVariantType(VARTYPE vt) {
  const VARTYPE flags = vt & ~VT_TYPEMASK;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (flags & (VT_VECTOR | VT_RESERVED)) return false;
  if ((flags & (VT_ARRAY | VT_BYREF)) && base <= VT_NULL) return false;
  return (base < VT_VOID && base != 15) || base == VT_RECORD || base == VT_CLSID;
}

bool CarriesRecord(const VARIANT* pvar) {
  return pvar->brecVal.pvRecord != nullptr || pvar->brecVal.pRecInfo != nullptr;
}

// Turns a bitwise copy of a variant into an owning one: duplicates the
// string or array and takes a reference on the interface. On failure the
// copy owns nothing.
HRESULT TakeOwnership(VARIANT* pCopy) {
  const VARTYPE vt = V_VT(pCopy);
  if (vt & VT_BYREF) return S_OK;
  if (vt & VT_ARRAY) {
    SAFEARRAY* source = V_ARRAY(pCopy);
    V_ARRAY(pCopy) = nullptr;
    return SafeArrayCopy(source, &V_ARRAY(pCopy));
  }
  switch (vt) {
    case VT_BSTR: {
      BSTR source = V_BSTR(pCopy);
      if (source == nullptr) return S_OK;
      V_BSTR(pCopy) =
          SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
      return V_BSTR(pCopy) != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (V_UNKNOWN(pCopy) != nullptr) V_UNKNOWN(pCopy)->AddRef();
      return S_OK;
    case VT_RECORD:
      return CarriesRecord(pCopy) ? E_NOTIMPL : S_OK;
    default:
      return S_OK;
  }
}

}  // namespace

void WINAPI VariantInit(VARIANTARG* pvarg) {
  // VT_EMPTY is zero; the whole variant is zeroed, as current Windows does,
  // so no stale value bits survive.
  if (pvarg != nullptr) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  const VARTYPE vt = V_VT(pvarg);
  if (!IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      // A locked array stays with the variant rather than being lost.
      const HRESULT hr = SafeArrayDestroy(V_ARRAY(pvarg));
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(V_BSTR(pvarg));
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (V_UNKNOWN(pvarg) != nullptr) V_UNKNOWN(pvarg)->Release();
    } else if (vt == VT_RECORD && CarriesRecord(pvarg)) {
      return E_NOTIMPL;
    }
  }
  // The value bits stay as they were, as on Windows; only the type changes.
  V_VT(pvarg) = VT_EMPTY;
  return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  // A CLSID variant may be cleared but not copied.
  const VARTYPE vtSrc = V_VT(pvargSrc);
  if (!IsValidVariantType(vtSrc) || (vtSrc & VT_TYPEMASK) == VT_CLSID) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidVariantType(V_VT(pvargDest))) return DISP_E_BADVARTYPE;

  // The copy is complete before the destination is cleared, so a failure
  // leaves the destination untouched, and a source that the destination
  // owns (an element of its array, say) is still alive while it is copied.
  VARIANT copy;
  std::memcpy(&copy, pvargSrc, sizeof copy);
  HRESULT hr = TakeOwnership(&copy);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  std::memcpy(pvargDest, &copy, sizeof copy);
  return S_OK;
}
