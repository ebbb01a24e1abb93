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

#include "value_size.h"

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
      // A null string is copied as a new empty one, as on Windows.
      BSTR source = V_BSTR(pCopy);
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

// Builds in *pCopy an owning copy of the value a by-reference variant
// points to; the variant's own type without VT_BYREF. VT_VARIANT|VT_BYREF
// is followed one level, and once more when the variant it points to is
// itself by reference to a value.
HRESULT DereferencedCopy(const VARIANT* pSrc, VARIANT* pCopy, bool bNested) {
  const VARTYPE vt = V_VT(pSrc);
  const VARTYPE base = vt & VT_TYPEMASK;
  const bool bValid = IsValidVariantType(vt) && base != VT_CLSID;
  std::memset(pCopy, 0, sizeof *pCopy);
  if (!(vt & VT_BYREF)) {
    if (!bValid) return DISP_E_BADVARTYPE;
    std::memcpy(pCopy, pSrc, sizeof *pCopy);
    return TakeOwnership(pCopy);
  }
  // A reference to no value is an invalid argument rather than an invalid
  // type; this layer refuses a null reference rather than crash on it.
  if (!bValid || V_BYREF(pSrc) == nullptr) return E_INVALIDARG;
  const VARTYPE vtCopy = vt & ~VT_BYREF;
  if (vt & VT_ARRAY) {
    V_VT(pCopy) = vtCopy;
    V_ARRAY(pCopy) = *V_ARRAYREF(pSrc);
    return TakeOwnership(pCopy);
  }
  switch (base) {
    case VT_VARIANT: {
      const VARIANT* pInner = V_VARIANTREF(pSrc);
      // One level of indirection only: a variant by reference to another
      // variant by reference is refused.
      if (bNested || V_VT(pInner) == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
      return DereferencedCopy(pInner, pCopy, true);
    }
    case VT_BSTR:
      V_VT(pCopy) = VT_BSTR;
      V_BSTR(pCopy) = *V_BSTRREF(pSrc);
      return TakeOwnership(pCopy);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      V_VT(pCopy) = vtCopy;
      V_UNKNOWN(pCopy) = *V_UNKNOWNREF(pSrc);
      return TakeOwnership(pCopy);
    case VT_DECIMAL:
      // The decimal fills the whole variant; its reserved word is the type.
      std::memcpy(pCopy, V_BYREF(pSrc), sizeof *pCopy);
      V_VT(pCopy) = VT_DECIMAL;
      return S_OK;
    case VT_RECORD:
      return E_NOTIMPL;
    default:
      V_VT(pCopy) = vtCopy;
      std::memcpy(&V_BYREF(pCopy), V_BYREF(pSrc), PlainValueSize(base));
      return S_OK;
  }
}

// Replaces *pvargDest by the owning copy *pCopy, or releases the copy
// when the destination cannot be cleared.
HRESULT ReplaceWith(VARIANTARG* pvargDest, VARIANT* pCopy) {
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(pCopy);
    return hr;
  }
  std::memcpy(pvargDest, pCopy, sizeof *pCopy);
  return S_OK;
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
  const HRESULT hr = TakeOwnership(&copy);
  if (FAILED(hr)) return hr;
  return ReplaceWith(pvargDest, &copy);
}

HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!(V_VT(pvargSrc) & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  // Copying onto the source dereferences in place: the source owns
  // nothing, so there is nothing to clear.
  if (pvarDest != pvargSrc && !IsValidVariantType(V_VT(pvarDest))) return DISP_E_BADVARTYPE;
  VARIANT copy;
  const HRESULT hr = DereferencedCopy(pvargSrc, &copy, false);
  if (FAILED(hr)) return hr;
  if (pvarDest == pvargSrc) {
    std::memcpy(pvarDest, &copy, sizeof copy);
    return S_OK;
  }
  return ReplaceWith(pvarDest, &copy);
}
