// Late-bound calls (IDispatch) of the three interfaces, shared by the
// manager, the data stores and the PIN store: each facade forwards its four
// IDispatch methods here with the identifier of its interface and its
// interface pointer.
//
// On Windows the names, dispatch identifiers and argument conversions come
// from the type library embedded in the module that holds this code, loaded
// from the module's file (so that it serves also a manager reached through
// the export, with nothing registered), and calls go through the type
// information's Invoke.
//
// Natively a dispatch table gives the same names, dispatch identifiers,
// parameter types and flags (the table is built in both builds, and a test
// holds it equal to what the automation layer reads from the type library
// on Windows), and its Invoke converts as the
// automation layer does: arguments come last to first; an [in] argument may
// be given by value, by reference or in a referenced variant and is
// converted to the declared type (numbers of any integer type or as
// decimal text where they fit, DISP_E_OVERFLOW where not, a four-byte
// integer bit for bit; numbers to text; VT_EMPTY as 0 or ""); an array only
// as an array of exactly the declared type; an out parameter only as a
// reference of exactly its declared type; the [out, retval] outcome comes
// back as VT_I4 in pVarResult. A bad call gets DISP_E_MEMBERNOTFOUND,
// DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW before the
// method runs. Natively there is no type information: GetTypeInfoCount
// answers 0.
//
// Lists declared as arrays of unsigned shorts: the automation layer hands
// an out list's reference (VT_BYREF | VT_ARRAY | VT_UI2) straight to the
// method, so the caller receives the array of BSTR the method made under a
// variant type that says unsigned shorts; an [in] list must be passed typed
// VT_ARRAY | VT_UI2 (an array of BSTR so typed is handed on),
// and one typed VT_ARRAY | VT_BSTR is refused with DISP_E_TYPEMISMATCH. The
// native table does the same.
//
// In both builds an out parameter may also be given as a referenced variant
// (VT_BYREF | VT_VARIANT), which is what a script passes for its variables:
// after a successful call the variant's old contents are released and it
// holds the value of the parameter's type (an INT as VT_I4), a list as an
// array of variants holding its BSTR, no array as VT_EMPTY; after a failed
// call it is left as it was.
#pragma once

#include <windows.h>

#include <oleauto.h>

// Releases the type information loaded for the three interfaces; called as
// the module is unloaded with no object of it left.
void StoreReleaseTypeInfo() noexcept;
HRESULT StoreGetTypeInfoCount(REFIID iid, UINT* pctinfo);
HRESULT StoreGetTypeInfo(REFIID iid, UINT iTInfo, ITypeInfo** ppTInfo);
HRESULT StoreGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                           DISPID* rgDispId);
// pInterface is the object's pointer of interface iid.
HRESULT StoreInvoke(REFIID iid, void* pInterface, DISPID dispIdMember, REFIID riid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                    UINT* puArgErr);

// One parameter of the dispatch table: its type as the automation layer reads
// it (VT_BYREF for a pointer, VT_ARRAY for a SAFEARRAY, VT_DISPATCH for a
// dual interface) and its PARAMFLAG_ bits.
struct SStoreDispatchParam {
  VARTYPE vt;
  USHORT wFlags;
};

struct SStoreDispatchMember {
  const OLECHAR* pszName;
  DISPID id;
  UINT cParams;
  const SStoreDispatchParam* pParams;
  // Calls the method with arguments already converted to the declared types
  // (one VARIANT per parameter, in declaration order).
  HRESULT (*pfnCall)(void* pInterface, VARIANTARG* rgArgs);
};

// The members of interface iid, or null with *pcMembers 0 for another one.
const SStoreDispatchMember* StoreDispatchTable(REFIID iid, UINT* pcMembers);

#ifdef _WIN32
// A parameter type of the type library as the automation layer binds it, as
// the dispatch table spells it.
VARTYPE StoreVtOf(const TYPEDESC& t);
#endif
