// A tiny in-process server for the activation suite. It serves whichever
// class it is asked for, so that each test process registers classes of its
// own. The class object and every instance are one static object whose
// references are the server's live count: while any is held, the server
// must stay loaded. It neither aggregates nor locks.
#include <windows.h>

#include <atomic>

namespace {

std::atomic<long> gcLive{0};

class CObject final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    const bool bKnown = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory);
    *ppv = bKnown ? this : nullptr;
    if (bKnown) AddRef();
    return bKnown ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++gcLive); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--gcLive); }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return E_NOTIMPL; }
} gObject;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID riid, LPVOID* ppv) {
  return gObject.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return gcLive == 0 ? S_OK : S_FALSE; }
