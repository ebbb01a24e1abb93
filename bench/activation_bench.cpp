// The cost of reaching the store manager: through the module's export
// (CreateIDataStoreManagerInstance), as a client that loads the module
// itself does, against CoCreateInstance of the DataStoreManager class, which
// finds the module through HKEY_CLASSES_ROOT and asks its class factory.
//
// Both keep a manager alive across the run (one reference each), so a call
// measures the way to the manager and not its start; the manager of the
// class and the export's are two objects of the one module, the real
// qv.kelmyr.so, registered by its own DllRegisterServer in the run's own
// registry.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_folder.h"
#include "kelmyr_i.h"
#include "ratio_reporter.h"

#define WIDE(text) OLESTR(text)

namespace {

using PFN_CREATE_INSTANCE = HRESULT WINAPI(void**);
PFN_CREATE_INSTANCE* gpfnCreateInstance = nullptr;

template <class F>
F* Export(HMODULE hModule, const char* pszName) {
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

void ThroughExport(benchmark::State& state) {
  for (auto _ : state) {
    IDataStoreManager* pManager = nullptr;
    if (FAILED(gpfnCreateInstance(reinterpret_cast<void**>(&pManager)))) {
      state.SkipWithError("CreateIDataStoreManagerInstance failed");
      break;
    }
    pManager->Release();
  }
}

void ThroughClass(benchmark::State& state) {
  for (auto _ : state) {
    IDataStoreManager* pManager = nullptr;
    if (FAILED(CoCreateInstance(CLSID_DataStoreManager, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IDataStoreManager, reinterpret_cast<void**>(&pManager)))) {
      state.SkipWithError("CoCreateInstance failed");
      break;
    }
    pManager->Release();
  }
}

int Measure(int argc, char** argv) {
  const HMODULE hModule = LoadLibraryW(WIDE(KELMYR_MODULE_FILE));
  if (hModule == nullptr) return 1;
  const HRESULT hrRegistered = Export<HRESULT WINAPI()>(hModule, "DllRegisterServer")();
  if (FAILED(hrRegistered)) {
    std::printf("DllRegisterServer 0x%x\n", static_cast<unsigned>(hrRegistered));
    FreeLibrary(hModule);
    return 1;
  }
  gpfnCreateInstance = Export<PFN_CREATE_INSTANCE>(hModule, "CreateIDataStoreManagerInstance");
  IDataStoreManager* pExported = nullptr;
  IDataStoreManager* pClass = nullptr;
  const HRESULT hrExport = gpfnCreateInstance(reinterpret_cast<void**>(&pExported));
  const HRESULT hrClass =
      CoCreateInstance(CLSID_DataStoreManager, nullptr, CLSCTX_INPROC_SERVER, IID_IDataStoreManager,
                       reinterpret_cast<void**>(&pClass));
  std::printf("export 0x%x, CoCreateInstance 0x%x\n", static_cast<unsigned>(hrExport),
              static_cast<unsigned>(hrClass));
  int result = 1;
  if (SUCCEEDED(hrExport) && SUCCEEDED(hrClass)) {
    benchmark::RegisterBenchmark("ThroughExport", ThroughExport);
    benchmark::RegisterBenchmark("ThroughClass", ThroughClass);
    result = RunWithRatios(
        argc, argv,
        {{"CoCreateInstance through the hive / export", "ThroughClass", "ThroughExport"}});
  }
  if (pExported != nullptr) pExported->Release();
  if (pClass != nullptr) pClass->Release();
  CoFreeUnusedLibrariesEx(0, 0);
  FreeLibrary(hModule);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // A hive and keys of the run's own.
  const CBenchFolder folder("kelmyr-activation-bench", true);
  if (folder.Path().empty()) return 1;
  int result = 1;
  if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    result = Measure(argc, argv);
    CoUninitialize();
  }
  return result;
}
