// The data store driven by scripts of client calls, one table row each: a
// call is "S<session> <operation> <arguments>", a client process of that
// terminal session making it; its outcome (a value, a list, versions or a
// result) is written in order. Identifiers '' are empty and - null.
#include <gtest/gtest.h>

#include <sstream>

#include "common/scripted_machine.h"
#include "datastore/internaldatastore.h"
#include "support/scopedbstr.h"
#include "trees/duplicateregistrytree.h"
#include "trees/memorytree.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

std::string Result(HRESULT hr) {
  switch (hr) {
    case S_OK:
      return "ok";
    case E_INVALIDARG:
      return "inval";
    case E_FAIL:
      return "fail";
    default:
      return VersionText(hr, 0, 0).substr(0, 10);
  }
}

CScopedBSTR Id(const std::string& s) {
  if (s == "-") return CScopedBSTR();
  const secwstring w = U(s == "''" ? "" : s);
  return CScopedBSTR(SysAllocStringLen(w.data(), static_cast<UINT>(w.size())));
}

std::string Bytes(SAFEARRAY* psa) {
  return psa ? std::string(static_cast<const char*>(psa->pvData), psa->rgsabound[0].cElements)
             : "null";
}

struct SStoreRow {
  friend void PrintTo(const SStoreRow& row, std::ostream* os) {
    *os << row.pszStore << ": " << row.pszScript;
  }
  const char* pszStore;  // mem, shared, enc, reg, regenc, none (never started)
  const char* pszScript;
  const char* pszExpected;
  LONG lTimeOut = -1;  // DisableTimeoutAfterEndSession, -1 absent
};

class StoreTest : public testing::TestWithParam<SStoreRow> {
 protected:
  StoreTest() {
    for (DWORD s = 0; s < 4; ++s) machine.Process(1000 + s).dwSessionId = s;
    machine.Process(999).bGone = true;
  }
  ~StoreTest() override {
    store.FlushStore(1001);
    store.End();
  }
  void Begin(const std::string& kind) {
    if (kind == "none") return;
    const CScopedBSTR id = Id("KelmyrStoreTest" + std::to_string(GetCurrentProcessId()));
    ASSERT_EQ(store.Begin(id.Get(), kind.starts_with("reg"), kind.ends_with("enc"),
                          kind.starts_with("reg") || kind == "shared", U("P")),
              S_OK);
  }
  std::string Run(const std::string& script);

  CScriptedMachine machine;
  CHistoryUse history;
  CInternalDataStore store;
};

std::string StoreTest::Run(const std::string& script) {
  std::istringstream calls(script);
  std::string call, out;
  while (std::getline(calls, call, ';')) {
    std::istringstream words(call);
    std::string who, op, c, d, v;
    words >> who >> op >> c >> d >> v;
    const ULONG pid = who[0] == 'S'   ? 1000 + std::stoul(who.substr(1))
                      : who[0] == 'P' ? std::stoul(who.substr(1))
                                      : 0;
    const CScopedBSTR bc = Id(c), bd = Id(d);
    std::string text;
    HRESULT hr = S_OK;
    if (who == "off" || who == "on") {
      hr = store.SetAvailabilityStoreFromSessionId(std::stoul(op), who == "on");
    } else if (who == "wait") {
      machine.Advance(std::stoull(op) * 1000);
    } else if (who == "end") {
      hr = store.FlushStoreFromSessionId(std::stoul(op));
      text = Result(hr);
    } else if (who == "ext") {  // written by an earlier process
      CRegistryTree tree(U("KelmyrStoreTest" + std::to_string(GetCurrentProcessId())),
                         REGISTRY_TREE_MACHINE);
      hr = tree.SetData(U(op), U(c), MakeBytes({d.begin(), d.end()}).Get(), 0, FALSE);
    } else if (who == "raw") {
      text = Dump(*store.Tree()).find(op) == std::string::npos ? "sealed" : "plain";
    } else if (op == "set") {
      CScopedSafeArray value = v == "null" ? CScopedSafeArray() : MakeBytes({v.begin(), v.end()});
      text = Result(store.SetData(pid, bc.Get(), bd.Get(), value.Get()));
    } else if (op == "get" || op == "has") {
      CScopedSafeArray value;
      hr = store.GetData(pid, bc.Get(), bd.Get(), op == "get" ? value.Receive() : nullptr);
      text = hr == S_OK && op == "get" ? Bytes(value.Get()) : Result(hr);
    } else if (op == "rmd") {
      text = Result(store.RemoveData(pid, bc.Get(), bd.Get()));
    } else if (op == "mk" || op == "touch") {
      hr = op == "mk" ? store.CreateCompartment(pid, bc.Get())
                      : store.TouchCompartment(pid, bc.Get());
      text = Result(hr);
    } else if (op == "rmc" || op == "rmcv") {
      text = Result(store.RemoveCompartment(pid, bc.Get(), op == "rmcv"));
    } else if (op == "flush") {
      text = Result(store.FlushStore(pid));
    } else if (op == "cached" || op == "cached0") {
      LONG bCached = 7;
      hr = store.IsDataCached(pid, bc.Get(), bd.Get(), op == "cached" ? &bCached : nullptr);
      text = hr == S_OK ? std::to_string(bCached) : Result(hr);
    } else if (op == "ids" || op == "cids") {
      CScopedSafeArray list;
      hr = op == "ids" ? store.ListDataIds(pid, bc.Get(), list.Receive())
                       : store.ListCompartmentIds(pid, bc.Get(), list.Receive());
      text = hr != S_OK ? Result(hr) : list.Get() ? "[" + Joined(list.Get(), ",") + "]" : "none";
    } else if (op == "ver" || op == "ver0") {
      ULONG ulCompartment = 7, ulContent = 7;
      LONG bCached = 7;
      hr = store.IsCompartmentCached(pid, bc.Get(), &ulCompartment, &ulContent,
                                     op == "ver" ? &bCached : nullptr);
      text = std::to_string(bCached) + ":" + VersionText(hr, ulCompartment, ulContent);
    }
    EXPECT_TRUE(SUCCEEDED(hr) || !text.empty()) << call << " " << Result(hr);
    if (!text.empty()) out += (out.empty() ? "" : " ") + text;
  }
  return out;
}

TEST_P(StoreTest, Script) {
  const SStoreRow& row = GetParam();
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, OLESTR("Software\\Orvane\\Kelmyr"), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  RegDeleteValueW(hKey, OLESTR("DisableTimeoutAfterEndSession"));
  if (row.lTimeOut >= 0) {
    ASSERT_EQ(RegSetValueExW(hKey, OLESTR("DisableTimeoutAfterEndSession"), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&row.lTimeOut), sizeof(DWORD)),
              ERROR_SUCCESS);
  }
  Begin(row.pszStore);
  EXPECT_EQ(Run(row.pszScript), row.pszExpected) << row.pszScript;
  RegDeleteValueW(hKey, OLESTR("DisableTimeoutAfterEndSession"));
  RegCloseKey(hKey);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StoreTest,
    testing::Values(
        // Sessions: each has its part of a per-session store, session 0 reaches
        // whichever part holds the compartment (or files it under "0").
        SStoreRow{"mem",
                  "S1 set C d ab; S1 get C d; S2 get C d; S0 get C d; S0 set N d x; S1 has N d; S0 "
                  "get N d",
                  "ok ab inval ab ok inval x"},
        SStoreRow{"shared", "S1 set C d ab; S2 get C d; S0 get C d", "ok ab ab"},
        SStoreRow{"mem", "S1 set C d a; S2 set C d b; S3 rmc C; S1 get C d; S2 has C d; S2 cids /",
                  "ok ok ok inval inval none"},
        SStoreRow{"mem", "S1 set C d a; S2 set D d b; S3 rmc /; S1 cids /; S2 ids D",
                  "ok ok ok none fail"},
        SStoreRow{"mem", "S1 set C d a; S2 set C d b; end 1; S1 has C d; S2 get C d",
                  "ok ok ok inval b"},
        // A shared store loses its root "/" when any session ends: in the
        // registry that is the whole tree (its copies of no client's user:
        // E_ACCESSDENIED), in memory a path that never exists.
        SStoreRow{"reg", "S1 set C d a; end 2; S1 has C d", "ok 0x80070005 inval"},
        SStoreRow{"shared", "S1 set C d a; end 2; S1 has C d", "ok ok ok"},
        // Versions: creating an existing compartment changes none, touching
        // and every change advance them; removal advances or drops them.
        SStoreRow{"mem",
                  "S1 mk C; S1 ver C; S1 mk C; S1 ver C; S1 touch C; S1 ver C; S1 set C d a; S1 "
                  "ver C; S1 rmd C d; S1 ver C",
                  "ok 1:1,1 ok 1:1,1 ok 1:2,2 ok 1:2,3 ok 1:2,4"},
        SStoreRow{"mem", "S1 touch C; S1 rmc C; S1 ver C; S1 touch C; S1 rmcv C; S1 ver C",
                  "ok ok 0:2,2 ok ok 0:0,0"},
        SStoreRow{"mem", "S1 set C/D d a; S2 set C d b; S1 flush; S1 ver C/D; S2 ver /; S2 has C d",
                  "ok ok ok 0:0,0 0:0,0 inval"},
        // Availability: 15 s by default, the configured time, 0 meaning 15;
        // re-enabled by the session event or the first check after the
        // time-out. Removal and flush do not depend on it.
        SStoreRow{"mem",
                  "S1 set C d a; off 1; S1 get C d; S2 get C d; wait 14; S1 get C d; wait 1; S1 "
                  "get C d; off 1; S1 rmc C; S1 flush",
                  "ok fail inval fail a ok ok"},
        SStoreRow{"mem", "S1 set C d a; off 1; wait 59; S1 has C d; wait 1; S1 has C d; S1 has C d",
                  "ok fail ok ok", 60},
        SStoreRow{"mem", "off 1; wait 14; S1 mk C; wait 1; S1 mk C", "fail ok", 0},
        SStoreRow{"mem", "off 1; S1 ver C; on 1; S1 ver C; off 1; end 1; S0 mk C",
                  "0:0x80004005 0,0 0:0,0 inval ok"},
        SStoreRow{"mem", "P0 mk C; P999 mk C; P999 rmc C", "fail fail ok"},
        // Bad input and null outputs.
        SStoreRow{"mem",
                  "S1 set '' d a; S1 set C - a; S1 get - d; S1 mk ''; S1 rmc ''; S1 cached C ''",
                  "inval inval inval inval inval inval"},
        SStoreRow{"mem", "S1 set C d a; S1 has C d; S1 cached C d; S1 cached0 C d; S1 ver0 C",
                  "ok ok 1 fail 7:0x80004005 0,0"},
        SStoreRow{"none", "S1 set C d a; S1 get C d; S1 rmc C; S1 flush; end 1; S1 ver C",
                  "fail fail fail fail fail 0:0x80004005 0,0"},
        // Protected stores keep only the protected form in their tree.
        SStoreRow{"enc", "S1 set C d secret; S1 get C d; raw secret", "ok secret sealed"},
        SStoreRow{"mem", "S1 set C d secret; raw secret", "ok plain"},
        SStoreRow{"regenc", "S1 set C d secret; S1 get C d; raw secret", "ok secret sealed"},
        // Registry stores persist; a compartment from an earlier process has
        // no counters, so removing them reports the history's E_INVALIDARG
        // after the data is gone.
        SStoreRow{"reg", "ext C d a; S1 get C d; S1 rmcv C; S1 has C d", "a inval inval"},
        SStoreRow{"reg", "S1 set C d a; S2 get C d; S1 rmcv C; S1 has C d", "ok a ok inval"},
        // A null array is what the platform's copy of it makes in each tree.
        SStoreRow{"mem", "S1 set C d null; S1 get C d", "ok null"},
        SStoreRow{"enc", "S1 set C d null; S1 get C d", "inval inval"},
        SStoreRow{"reg", "S1 set C d null; S1 get C d", "fail inval"}),
    [](const testing::TestParamInfo<SStoreRow>& info) { return std::to_string(info.index); });

// The tree a store starts with, by store type and host: a registry tree's
// location kind shows in how its first operation re-targets (the libraries
// of the sandboxed kinds are withheld, so that both builds answer alike).
TEST(StoreTreeTest, ChosenByTypeAndHost) {
  struct {
    ULONG nType;
    bool bEarlierWindows;
    DWORD dwAppContainer, dwIntegrity;
    const char* pszKind;
  } const rows[] = {
      {0, false, 0, 0x2000, "memory"},    {2, true, 1, 0x1000, "memory"},
      {1, false, 0, 0x2000, "duplicate"}, {1, false, 0, 0x4000, "duplicate"},
      {1, false, 0, 0, "duplicate"},      {1, false, 0, 0x1000, "low"},
      {1, false, 1, 0x2000, "container"}, {1, false, 1, 0x1000, "container"},
      {1, true, 1, 0x1000, "machine"},    {1, true, 0, 0x2000, "machine"},
  };
  CHistoryUse history;
  for (const auto& row : rows) {
    CScriptedMachine machine;
    machine.WithholdModule(OLESTR("userenv.dll"));
    machine.WithholdModule(OLESTR("ieframe.dll"));
    machine.bEarlierWindows = row.bEarlierWindows;
    machine.dwIsAppContainer = row.dwAppContainer;
    machine.dwIntegrityRid = row.dwIntegrity;
    CInternalDataStore store;
    const CScopedBSTR id = Id("KelmyrTreeKind");
    ASSERT_EQ(store.Begin(id.Get(), row.nType, FALSE, TRUE, U("P")), S_OK);
    std::string kind = dynamic_cast<CMemoryTree*>(store.Tree())              ? "memory"
                       : dynamic_cast<CDuplicateRegistryTree*>(store.Tree()) ? "duplicate"
                                                                             : "?";
    if (auto* pTree = dynamic_cast<CRegistryTree*>(store.Tree())) {
      ULONG ulCompartment = 0, ulContent = 0;
      BOOL bCached = FALSE;
      const HRESULT hr =
          pTree->IsCompartmentCached(U("/"), &ulCompartment, &ulContent, &bCached, 0);
      kind = hr == E_FAIL                             ? "container"
             : hr == E_NOTIMPL                        ? "low"
             : pTree->RootKey() == HKEY_LOCAL_MACHINE ? "machine"
                                                      : "?";
    }
    EXPECT_EQ(kind, row.pszKind) << row.nType << row.bEarlierWindows << row.dwAppContainer
                                 << row.dwIntegrity;
  }
}

}  // namespace
