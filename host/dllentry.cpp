// The entry points of the component's module. On Windows the .def file
// exports them by name; natively the version script keeps every other
// symbol of the shared object to itself.
#include <windows.h>

#include "host/export.h"
#include "host/module.h"

#ifdef _WIN32
// Thread notifications stay on: the runtime's thread-local storage is
// cleaned up through them.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
  UNREFERENCED_PARAMETER(hInstance);
  UNREFERENCED_PARAMETER(lpReserved);
  if (dwReason == DLL_PROCESS_ATTACH) {
    return PellwickModule().Initialised() ? TRUE : FALSE;
  }
  // Nothing is torn down at detach: no manager is ended under the loader
  // lock, and at process exit threads may still use the module object.
  return TRUE;
}
#else
// The module object is built when the shared object is loaded, before any
// entry point can be called.
__attribute__((constructor)) static void BuildModule() { PellwickModule(); }
#endif

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return PellwickModule().GetClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return PellwickModule().CanUnloadNow(); }
