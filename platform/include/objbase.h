// COM base of the Linux platform layer: GUIDs, IUnknown, task memory and
// the GUID functions.
#pragma once

#include "rpcndr.h"
#include "windef.h"
#include "winerror.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
#define OLESTR(str) u##str

typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID, *LPGUID;
typedef GUID IID, CLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;

#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         a.Data4[0] == b.Data4[0] && a.Data4[1] == b.Data4[1] && a.Data4[2] == b.Data4[2] &&
         a.Data4[3] == b.Data4[3] && a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] &&
         a.Data4[6] == b.Data4[6] && a.Data4[7] == b.Data4[7];
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
#else
#define REFGUID const GUID*
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif

// Declares the identifier; a file that defines INITGUID before its first
// include defines it instead.
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  KELMYR_EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) KELMYR_EXTERN_C const GUID name
#endif

KELMYR_EXTERN_C const IID IID_IUnknown;
KELMYR_EXTERN_C const IID IID_IClassFactory;
KELMYR_EXTERN_C const GUID GUID_NULL;
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

#ifdef __cplusplus
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};
#else
typedef struct IUnknown IUnknown;
#endif

// Class contexts. Natively only in-process servers exist: a request that does
// not include CLSCTX_INPROC_SERVER finds no class (REGDB_E_CLASSNOTREG).
typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

// Remote activation does not exist here; the structure stays opaque.
typedef struct _COSERVERINFO COSERVERINFO;

// The entry points an in-process server exports.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);

KELMYR_EXTERN_C_BEGIN

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);

HRESULT WINAPI CoCreateGuid(GUID* pguid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters and the
// terminator); returns the characters written including the terminator, or 0
// when the buffer is too small.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

// Initialisation is counted per thread: the first call of a thread answers
// S_OK, every further one S_FALSE (or RPC_E_CHANGED_MODE, uncounted, when
// it asks for the other concurrency model), and each successful call is
// paired with one CoUninitialize. There are no apartments here: every
// thread, whichever model it asked for, behaves as if it were in the
// multithreaded apartment, and no interface pointer is ever marshalled.
// As on Windows, a thread that never initialised may still activate
// classes while some thread of the process is initialised multithreaded;
// otherwise activation answers CO_E_NOTINITIALIZED.
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
void WINAPI CoUninitialize(void);

// Activation of in-process servers registered under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose default value names
// the module (a shared object for LoadLibrary; the value is taken as it is,
// without expanding variables, and ThreadingModel is not consulted). A
// loaded module stays in one process-wide table, whichever thread loaded
// it, until CoFreeUnusedLibraries finds that its DllCanUnloadNow answers
// S_OK. pServerInfo is ignored.
HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo,
                                REFIID riid, LPVOID* ppv);
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);

// Program identifiers under HKEY_CLASSES_ROOT. A version-independent one
// resolves through its "CurVer" to the current version's class.
HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// The class's ProgID, allocated with CoTaskMemAlloc.
HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// Unloads every loaded module whose DllCanUnloadNow answers S_OK; on a
// thread that could not activate (see CoInitializeEx) it does nothing.
// There is no unload delay: dwUnloadDelay is accepted and ignored, and a
// module is freed by the call that finds it unused, so a server must be
// done running its own code once it answers S_OK.
void WINAPI CoFreeUnusedLibraries(void);
void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);

// The call context of the call the current thread is serving. There is no
// COM runtime dispatching calls here: a hosting process that serves a call
// installs its context object with CoSwitchCallContext before dispatching
// it and restores the previous one afterwards, as a custom marshaller does
// on Windows. The object is stored without a reference; the host keeps it
// alive while it is installed. Without an installed context
// CoGetCallContext fails with RPC_E_CALL_COMPLETE, as it does on Windows
// outside a call.
#ifdef __cplusplus
HRESULT WINAPI CoGetCallContext(REFIID riid, void** ppInterface);
HRESULT WINAPI CoSwitchCallContext(IUnknown* pNewObject, IUnknown** ppOldObject);
#endif

KELMYR_EXTERN_C_END
