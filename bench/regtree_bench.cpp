// The cost of the registry tree: SetData and GetData of a 64-byte value on a
// machine-wide registry tree, against the same operations done straight on
// the registry API with the same key path, value name and stored bytes
// (create the compartment key, set the value, close; open, query its size,
// read it, close, and make the same array of it). The ratio is the cost of
// the tree's re-targeting, path building, checks, encoding and of reading
// through the helper library's two-call listing.
//
// On the Linux hive (one SQLite transaction per registry call) SetData costs
// what the API costs (0.9-1.2). GetData costs about 1.5 times the direct
// read (1.43 counted in instructions, 1.5-1.7 in CPU time on a busy
// machine): besides opening the key and reading the value twice, it counts
// the key's values and lists them, one more call telling the end of the
// listing, three more transactions than the direct read's three; and it
// compares the names itself, so that a name that differs only in case is
// not taken for the one asked (the registry would fold it).
#include <benchmark/benchmark.h>

#include <windows.h>

#include <oleauto.h>
#include <winreg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "support/qvlog.h"
#include "support/scopedsafearray.h"
#include "trees/registrytree.h"

namespace {

constexpr OLECHAR kCompartment[] = OLESTR("1/Cards");
constexpr OLECHAR kItem[] = OLESTR("Item");
constexpr OLECHAR kKey[] = OLESTR("Software\\Orvane\\Kelmyr\\RemanentDataStore\\Bench\\1\\Cards");
constexpr ULONG kValueBytes = 64;

// A hive of its own for the run, and the value both sides store.
struct CFixture {
  CFixture() {
    path = (std::filesystem::temp_directory_path() /
            ("kelmyr-regtree-bench-" + std::to_string(GetCurrentProcessId()) + ".db"))
               .string();
    setenv("KELMYR_REGISTRY", path.c_str(), 1);
    qvlogSetLevelMask(0);
    value.Reset(SafeArrayCreateVector(VT_UI1, 0, kValueBytes));
    void* pv = nullptr;
    SafeArrayAccessData(value.Get(), &pv);
    for (ULONG i = 0; i < kValueBytes; ++i) static_cast<BYTE*>(pv)[i] = static_cast<BYTE>(i);
    stored.assign({0xBA, static_cast<BYTE>(kValueBytes)});
    stored.insert(stored.end(), static_cast<BYTE*>(pv), static_cast<BYTE*>(pv) + kValueBytes);
    SafeArrayUnaccessData(value.Get());
    tree.SetData(kCompartment, kItem, value.Get(), 0, FALSE);
  }
  ~CFixture() {
    tree.FlushTree(0);
    for (const char* pszSuffix : {"", "-wal", "-shm"}) std::remove((path + pszSuffix).c_str());
  }

  std::string path;
  CScopedSafeArray value;
  std::vector<BYTE> stored;
  CRegistryTree tree{OLESTR("Bench"), REGISTRY_TREE_MACHINE};
};

CFixture& Fixture() {
  static CFixture fixture;
  return fixture;
}

void BM_TreeSetData(benchmark::State& state) {
  CFixture& f = Fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.tree.SetData(kCompartment, kItem, f.value.Get(), 0, FALSE));
  }
}
BENCHMARK(BM_TreeSetData);

void BM_ApiSetData(benchmark::State& state) {
  CFixture& f = Fixture();
  for (auto _ : state) {
    HKEY hKey = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                    nullptr, &hKey, nullptr);
    benchmark::DoNotOptimize(RegSetValueExW(hKey, kItem, 0, REG_BINARY, f.stored.data(),
                                            static_cast<DWORD>(f.stored.size())));
    RegCloseKey(hKey);
  }
}
BENCHMARK(BM_ApiSetData);

void BM_TreeGetData(benchmark::State& state) {
  CFixture& f = Fixture();
  for (auto _ : state) {
    SAFEARRAY* psa = nullptr;
    benchmark::DoNotOptimize(f.tree.GetData(kCompartment, kItem, &psa, 0));
    SafeArrayDestroy(psa);
  }
}
BENCHMARK(BM_TreeGetData);

void BM_ApiGetData(benchmark::State& state) {
  Fixture();
  for (auto _ : state) {
    HKEY hKey = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY, &hKey);
    DWORD dwType = REG_NONE;
    DWORD cb = 0;
    RegQueryValueExW(hKey, kItem, nullptr, &dwType, nullptr, &cb);
    std::vector<BYTE> data(cb);
    RegQueryValueExW(hKey, kItem, nullptr, &dwType, data.data(), &cb);
    RegCloseKey(hKey);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, cb - 2);
    void* pv = nullptr;
    SafeArrayAccessData(psa, &pv);
    std::memcpy(pv, data.data() + 2, cb - 2);
    SafeArrayUnaccessData(psa);
    SafeArrayDestroy(psa);
  }
}
BENCHMARK(BM_ApiGetData);

}  // namespace

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv,
                       {{"registry tree SetData / registry API (aim: at most 1.5)",
                         "BM_TreeSetData", "BM_ApiSetData"},
                        {"registry tree GetData / registry API (aim: at most 1.5)",
                         "BM_TreeGetData", "BM_ApiGetData"}});
}
