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
  if (dwReason == DLL_PROCESS_ATTACH) {
    return PellwickModule().Initialised() ? TRUE : FALSE;
  }
  // At process exit (lpReserved set) nothing is torn down: other threads
  // may still use the module object. Unloaded by FreeLibrary, the module
  // frees only the class factories nothing uses; no manager is ended under
  // the loader lock.
  if (dwReason == DLL_PROCESS_DETACH && lpReserved == nullptr) {
    PellwickModule().ReleaseUnusedFactories();
  }
  return TRUE;
}
#else
namespace {

// Set by the exit handlers, which run before the shared objects'
// destructors at process exit, but after them when dlclose unloads this
// one.
bool gbExiting = false;
struct SExitWatch {
  ~SExitWatch() { gbExiting = true; }
} gExitWatch;

}  // namespace

// The module object is built when the shared object is loaded, before any
// entry point can be called.
__attribute__((constructor)) static void BuildModule() { PellwickModule(); }

// As DllMain's detach on Windows: only an unload frees what nothing uses,
// never the process's exit.
__attribute__((destructor)) static void UnloadModule() {
  if (!gbExiting) PellwickModule().ReleaseUnusedFactories();
}
#endif

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return PellwickModule().GetClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return PellwickModule().CanUnloadNow(); }
