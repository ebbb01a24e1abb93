// The cost of the memory tree and the version history.
//
// SetData, GetData and IsCompartmentCached on a memory tree are measured
// against a bare ordered map holding the same compartments, items and
// counters (the same array copies in and out, the same history key built
// for a version read), at 100, 10 000 and 100 000 compartments; the ratio is
// the cost of the tree's bookkeeping and logging checks. The listings
// (ListCompartmentIds of the tree and of one compartment, ListDataIds of one
// compartment, FindCompartmentId, FindSessionId with session "0") give the
// same few results at every size; their growth with the tree is shown as
// the ratio of each size to the smallest.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "support/qvlog.h"
#include "support/scopedsafearray.h"
#include "support/utf8.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

constexpr int kSizes[] = {100, 10000, 100000};
constexpr int kSessions = 4;

secwstring Text(const std::string& utf8) {
  const std::basic_string<OLECHAR> s = Utf8ToUtf16(utf8);
  return secwstring(s.data(), s.size());
}

// N compartments "<session>/Comp<i>" spread over four sessions, each with
// one 16-byte item, and both counters of each advanced once: in the tree
// and the history tree, and in the bare maps. The first compartment also has
// three children, for the listing of one compartment.
struct CFixture {
  explicit CFixture(int n) : cCompartments(n) {
    CScopedSafeArray pattern(SafeArrayCreateVector(VT_UI1, 0, 16));
    value = std::move(pattern);
    for (int i = 0; i < n; ++i) {
      const std::string sSession = std::to_string(1 + i % kSessions);
      paths.push_back(Text(sSession + "/Comp" + std::to_string(i)));
      subs.push_back(Text("Comp" + std::to_string(i)));
      tree.SetData(paths.back(), sItem, value.Get(), 0, FALSE);
      UpdateHistoryTree(sTreeId + OLESTR("/") + paths.back(), -1);

      mapTree[Text(sSession)];
      SAFEARRAY* pCopy = nullptr;
      SafeArrayCopy(value.Get(), &pCopy);
      mapTree[paths.back()][sItem] = pCopy;
      mapHistory[sTreeId + OLESTR("/") + paths.back()] = {1, 1};
    }
    for (const char* pszChild : {"/Sub0", "/Sub1", "/Sub2"}) {
      tree.CreateCompartment(paths.front() + Text(pszChild), 0);
    }
  }
  ~CFixture() {
    for (auto& compartment : mapTree) {
      for (auto& item : compartment.second) SafeArrayDestroy(item.second);
    }
  }

  const int cCompartments;
  const secwstring sTreeId = Text("DS1");
  const secwstring sItem = Text("Item");
  CScopedSafeArray value;
  std::vector<secwstring> paths;
  std::vector<secwstring> subs;
  CMemoryTree tree{sTreeId};
  std::map<secwstring, std::map<secwstring, SAFEARRAY*>> mapTree;
  std::map<secwstring, std::pair<ULONG, ULONG>> mapHistory;
};

// One fixture at a time, so that the history tree holds the counters of one
// size only: the benchmarks of a size run together, in registration order.
CFixture& Fixture(int n) {
  static std::unique_ptr<CFixture> pFixture;
  if (!pFixture || pFixture->cCompartments != n) {
    pFixture.reset();
    gHistoryTree->FlushTree(0);
    pFixture = std::make_unique<CFixture>(n);
  }
  return *pFixture;
}

void TreeSetData(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.tree.SetData(f.paths[i], f.sItem, f.value.Get(), 0, FALSE));
    i = (i + 1) % f.paths.size();
  }
}

void MapSetData(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    auto& items = f.mapTree[f.paths[i]];
    const auto it = items.find(f.sItem);
    if (it != items.end()) SafeArrayDestroy(it->second);
    SAFEARRAY* pCopy = nullptr;
    benchmark::DoNotOptimize(SafeArrayCopy(f.value.Get(), &pCopy));
    items[f.sItem] = pCopy;
    i = (i + 1) % f.paths.size();
  }
}

void TreeGetData(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    SAFEARRAY* psa = nullptr;
    benchmark::DoNotOptimize(f.tree.GetData(f.paths[i], f.sItem, &psa, 0));
    SafeArrayDestroy(psa);
    i = (i + 1) % f.paths.size();
  }
}

void MapGetData(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    SAFEARRAY* psa = nullptr;
    const auto compartment = f.mapTree.find(f.paths[i]);
    if (compartment != f.mapTree.end()) {
      const auto item = compartment->second.find(f.sItem);
      if (item != compartment->second.end()) {
        benchmark::DoNotOptimize(SafeArrayCopy(item->second, &psa));
      }
    }
    SafeArrayDestroy(psa);
    i = (i + 1) % f.paths.size();
  }
}

void TreeIsCompartmentCached(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    ULONG ulCompartment = 0;
    ULONG ulContent = 0;
    BOOL bCached = FALSE;
    benchmark::DoNotOptimize(
        f.tree.IsCompartmentCached(f.paths[i], &ulCompartment, &ulContent, &bCached, 0));
    benchmark::DoNotOptimize(ulContent);
    i = (i + 1) % f.paths.size();
  }
}

void MapIsCompartmentCached(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  size_t i = 0;
  for (auto _ : state) {
    BOOL bCached = f.mapTree.find(f.paths[i]) != f.mapTree.end();
    const secwstring sKey = f.sTreeId + OLESTR("/") + f.paths[i];
    const auto counters = f.mapHistory.find(sKey);
    ULONG ulContent = counters != f.mapHistory.end() ? counters->second.second : 0;
    benchmark::DoNotOptimize(bCached);
    benchmark::DoNotOptimize(ulContent);
    i = (i + 1) % f.paths.size();
  }
}

void TreeListCompartmentIds(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  const secwstring sRoot = Text("/");
  for (auto _ : state) {
    CScopedSafeArray list;
    benchmark::DoNotOptimize(f.tree.ListCompartmentIds(sRoot, list.Receive(), 0));
  }
}

void TreeListChildIds(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  for (auto _ : state) {
    CScopedSafeArray list;
    benchmark::DoNotOptimize(f.tree.ListCompartmentIds(f.paths[0], list.Receive(), 0));
  }
}

void TreeFindCompartmentId(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  const secwstring sSession = Text(std::to_string(1 + (n - 1) % kSessions));
  for (auto _ : state) {
    secwstring sFound;
    bool bFound = false;
    benchmark::DoNotOptimize(f.tree.FindCompartmentId(sSession, f.subs.back(), sFound, bFound));
  }
}

void TreeListDataIds(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  for (auto _ : state) {
    CScopedSafeArray list;
    benchmark::DoNotOptimize(f.tree.ListDataIds(f.paths[0], list.Receive(), 0));
  }
}

void TreeFindSessionIdAnySession(benchmark::State& state, int n) {
  CFixture& f = Fixture(n);
  const secwstring sAny = Text("0");
  for (auto _ : state) {
    // The last compartment lies in the fourth session, so all four are
    // searched.
    secwstring sFound;
    benchmark::DoNotOptimize(f.tree.FindSessionId(sAny, f.subs.back(), sFound));
  }
}

std::string Name(const std::string& base, int n) { return base + "/" + std::to_string(n); }

}  // namespace

int main(int argc, char** argv) {
  qvlogSetLevelMask(0);
  if (FAILED(AcquireHistoryTree())) return 1;

  struct CCase {
    const char* pszName;
    void (*pfn)(benchmark::State&, int);
  };
  const CCase cases[] = {
      {"TreeSetData", TreeSetData},
      {"MapSetData", MapSetData},
      {"TreeGetData", TreeGetData},
      {"MapGetData", MapGetData},
      {"TreeIsCompartmentCached", TreeIsCompartmentCached},
      {"MapIsCompartmentCached", MapIsCompartmentCached},
      {"TreeListCompartmentIds", TreeListCompartmentIds},
      {"TreeListChildIds", TreeListChildIds},
      {"TreeListDataIds", TreeListDataIds},
      {"TreeFindCompartmentId", TreeFindCompartmentId},
      {"TreeFindSessionIdAnySession", TreeFindSessionIdAnySession},
  };

  std::vector<CBenchRatio> ratios;
  for (int n : kSizes) {
    for (const CCase& c : cases) {
      benchmark::RegisterBenchmark(Name(c.pszName, n).c_str(), c.pfn, n)
          ->Unit(benchmark::kMicrosecond);
    }
    for (const char* pszOperation : {"SetData", "GetData", "IsCompartmentCached"}) {
      ratios.push_back({std::string(pszOperation) + " tree / map, " + std::to_string(n),
                        Name(std::string("Tree") + pszOperation, n),
                        Name(std::string("Map") + pszOperation, n)});
    }
  }
  for (const char* pszOperation : {"ListCompartmentIds", "ListChildIds", "ListDataIds",
                                   "FindCompartmentId", "FindSessionIdAnySession"}) {
    const std::string base = std::string("Tree") + pszOperation;
    for (int n : {10000, 100000}) {
      ratios.push_back({std::string(pszOperation) + " " + std::to_string(n) + " / 100",
                        Name(base, n), Name(base, 100)});
    }
  }

  const int result = RunWithRatios(argc, argv, ratios);
  ReleaseHistoryTree();
  return result;
}
