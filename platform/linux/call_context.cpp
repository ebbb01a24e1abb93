// The call context of the call the current thread serves, and the
// identifiers of the COM+ security call context interfaces.
//
// No COM runtime dispatches calls here, so a context exists only where the
// hosting process installed one for the call it is serving
// (CoSwitchCallContext); by default a thread has none.
#define INITGUID
#include <comsvcs.h>
#include <objbase.h>

DEFINE_GUID(IID_ISecurityIdentityColl, 0xCAFC823C, 0xB441, 0x11D1, 0xB8, 0x2B, 0x00, 0x00, 0xF8,
            0x75, 0x7E, 0x2A);
DEFINE_GUID(IID_ISecurityCallersColl, 0xCAFC823D, 0xB441, 0x11D1, 0xB8, 0x2B, 0x00, 0x00, 0xF8,
            0x75, 0x7E, 0x2A);
DEFINE_GUID(IID_ISecurityCallContext, 0xCAFC823E, 0xB441, 0x11D1, 0xB8, 0x2B, 0x00, 0x00, 0xF8,
            0x75, 0x7E, 0x2A);

namespace {

// Not a reference: the host keeps the object alive while it is installed.
thread_local IUnknown* tpCallContext = nullptr;

}  // namespace

HRESULT WINAPI CoGetCallContext(REFIID riid, void** ppInterface) {
  if (ppInterface == nullptr) return E_INVALIDARG;
  *ppInterface = nullptr;
  if (tpCallContext == nullptr) return RPC_E_CALL_COMPLETE;
  return tpCallContext->QueryInterface(riid, ppInterface);
}

HRESULT WINAPI CoSwitchCallContext(IUnknown* pNewObject, IUnknown** ppOldObject) {
  if (ppOldObject == nullptr) return E_INVALIDARG;
  *ppOldObject = tpCallContext;
  tpCallContext = pNewObject;
  return S_OK;
}
