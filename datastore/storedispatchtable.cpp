// The dispatch table of the three interfaces, in both builds: natively it
// serves the late-bound calls, and on Windows a test holds it against the
// type library.
#include <iterator>
#include <type_traits>
#include <utility>

#include "datastore/storedispatch.h"
#include "kelmyr_i.h"

namespace {

// Reads one converted argument as the method's parameter type.
template <class T>
T Arg(VARIANTARG& v) {
  if constexpr (std::is_same_v<T, LONG>) {
    return v.lVal;
  } else if constexpr (std::is_same_v<T, INT>) {
    return v.intVal;
  } else if constexpr (std::is_same_v<T, ULONG>) {
    return v.ulVal;
  } else if constexpr (std::is_same_v<T, BSTR>) {
    return v.bstrVal;
  } else if constexpr (std::is_same_v<T, SAFEARRAY*>) {
    return v.parray;
  } else {
    static_assert(std::is_pointer_v<T>);
    return static_cast<T>(v.byref);
  }
}

template <auto M>
struct SThunk;

template <class I, class... P, HRESULT (STDMETHODCALLTYPE I::*M)(P...)>
struct SThunk<M> {
  static HRESULT Call(void* pInterface, VARIANTARG* rgArgs) {
    return Apply(static_cast<I*>(pInterface), rgArgs, std::index_sequence_for<P...>{});
  }
  template <size_t... K>
  static HRESULT Apply(I* pThis, VARIANTARG* rgArgs, std::index_sequence<K...>) {
    return (pThis->*M)(Arg<P>(rgArgs[K])...);
  }
};

template <SStoreDispatchParam... P>
constexpr SStoreDispatchParam kParams[] = {P...};

constexpr USHORT kIn = PARAMFLAG_FIN, kOut = PARAMFLAG_FOUT;
constexpr SStoreDispatchParam kPid{VT_UI4, kIn}, kText{VT_BSTR, kIn}, kLong{VT_I4, kIn},
    kInt{VT_INT, kIn}, kBytes{VT_ARRAY | VT_UI1, kIn}, kList{VT_ARRAY | VT_UI2, kIn},
    kBytesOut{VT_BYREF | VT_ARRAY | VT_UI1, kOut}, kListOut{VT_BYREF | VT_ARRAY | VT_UI2, kOut},
    kTextOut{VT_BYREF | VT_BSTR, kOut}, kLongOut{VT_BYREF | VT_I4, kOut},
    kULongOut{VT_BYREF | VT_UI4, kOut}, kIntOut{VT_BYREF | VT_INT, kOut},
    kStoreOut{VT_BYREF | VT_DISPATCH, kOut},
    kRetVal{VT_BYREF | VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL};

#define MEMBER(I, name, id, ...)                                                                 \
  SStoreDispatchMember {                                                                         \
    OLESTR(#name), id, static_cast<UINT>(std::size(kParams<__VA_ARGS__>)), kParams<__VA_ARGS__>, \
        &SThunk<&I::name>::Call                                                                  \
  }

const SStoreDispatchMember kManager[] = {
    MEMBER(IDataStoreManager, GetDataStore, 1, kPid, kText, kStoreOut, kRetVal),
    MEMBER(IDataStoreManager, FlushDataStores, 2, kPid, kText, kRetVal),
    MEMBER(IDataStoreManager, ListDataStoreIds, 3, kPid, kListOut, kRetVal),
    MEMBER(IDataStoreManager, GetDataStoreInfo, 4, kPid, kText, kIntOut, kLongOut, kLongOut,
           kTextOut, kRetVal),
    MEMBER(IDataStoreManager, GetAuthStore, 5, kPid, kText, kStoreOut, kRetVal),
    MEMBER(IDataStoreManager, FlushAuthStores, 6, kPid, kRetVal),
    MEMBER(IDataStoreManager, ListAuthStoreIds, 7, kPid, kListOut, kRetVal),
    MEMBER(IDataStoreManager, GetAuthStoreInfo, 8, kPid, kText, kIntOut, kLongOut, kLongOut,
           kRetVal),
};

const SStoreDispatchMember kStore[] = {
    MEMBER(IDataStore, SetData, 1, kPid, kText, kText, kBytes, kRetVal),
    MEMBER(IDataStore, GetData, 2, kPid, kText, kText, kBytesOut, kRetVal),
    MEMBER(IDataStore, RemoveData, 3, kPid, kText, kText, kRetVal),
    MEMBER(IDataStore, CreateCompartment, 4, kPid, kText, kRetVal),
    MEMBER(IDataStore, TouchCompartment, 5, kPid, kText, kRetVal),
    MEMBER(IDataStore, RemoveCompartment, 6, kPid, kText, kLong, kRetVal),
    MEMBER(IDataStore, FlushStore, 7, kPid, kRetVal),
    MEMBER(IDataStore, IsDataCached, 8, kPid, kText, kText, kLongOut, kRetVal),
    MEMBER(IDataStore, ListDataIds, 9, kPid, kText, kListOut, kRetVal),
    MEMBER(IDataStore, ListCompartmentIds, 10, kPid, kText, kListOut, kRetVal),
    MEMBER(IDataStore, IsCompartmentCached, 11, kPid, kText, kULongOut, kULongOut, kLongOut,
           kRetVal),
};

const SStoreDispatchMember kAuth[] = {
    MEMBER(IAuthStore, SetPIN, 1, kPid, kText, kText, kBytes, kList, kTextOut, kRetVal),
    MEMBER(IAuthStore, SetPINFromPINSessionId, 2, kPid, kText, kText, kText, kBytes, kList,
           kRetVal),
    MEMBER(IAuthStore, GetPIN, 3, kPid, kText, kText, kList, kBytesOut, kTextOut, kIntOut, kRetVal),
    MEMBER(IAuthStore, GetPINFromPINSessionId, 4, kPid, kText, kText, kText, kList, kBytesOut,
           kIntOut, kRetVal),
    MEMBER(IAuthStore, IsPINCached, 5, kPid, kText, kText, kList, kTextOut, kIntOut, kRetVal),
    MEMBER(IAuthStore, IsPINCachedFromPINSessionId, 6, kPid, kText, kText, kText, kList, kIntOut,
           kRetVal),
    MEMBER(IAuthStore, RemovePIN, 7, kPid, kText, kText, kList, kRetVal),
    MEMBER(IAuthStore, RemovePINFromPINSessionId, 8, kPid, kText, kText, kText, kList, kRetVal),
    MEMBER(IAuthStore, RemoveCompartment, 9, kPid, kText, kList, kRetVal),
    MEMBER(IAuthStore, FlushStore, 10, kPid, kList, kRetVal),
    MEMBER(IAuthStore, ChangePINState, 11, kPid, kText, kText, kList, kInt, kRetVal),
    MEMBER(IAuthStore, ChangePINStateFromPINSessionId, 12, kPid, kText, kText, kText, kList, kInt,
           kRetVal),
};

#undef MEMBER

}  // namespace

const SStoreDispatchMember* StoreDispatchTable(REFIID iid, UINT* pcMembers) {
  const auto answer = [pcMembers](const auto& members) {
    *pcMembers = static_cast<UINT>(std::size(members));
    return members;
  };
  if (IsEqualIID(iid, IID_IDataStoreManager)) return answer(kManager);
  if (IsEqualIID(iid, IID_IDataStore)) return answer(kStore);
  if (IsEqualIID(iid, IID_IAuthStore)) return answer(kAuth);
  *pcMembers = 0;
  return nullptr;
}
