// The data store driven through its interface by scripts of client calls,
// one table row each: a call is "S<session> <operation> <arguments>", a
// trusted client process of that terminal session making it (U<session> an
// untrusted one); its outcome (a value, a list, versions or a result) is
// written in order. Identifiers '' are empty and - null. The manager of the
// calls keeps the arguments.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "common/recording_log_sink.h"
#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_zuwinext.h"
#include "datastore/datastore.h"
#include "datastore/storeownership.h"
#include "support/scopedbstr.h"
#include "support/scopedhkey.h"
#include "trees/duplicateregistrytree.h"
#include "trees/memorytree.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

std::string Result(HRESULT hr) {
  const std::map<HRESULT, std::string> names = {
      {S_OK, "ok"}, {E_INVALIDARG, "inval"}, {E_FAIL, "fail"}, {E_ACCESSDENIED, "denied"}};
  return names.contains(hr) ? names.at(hr) : VersionText(hr, 0, 0).substr(0, 10);
}

CScopedBSTR Id(const std::string& s) { return s == "-" ? CScopedBSTR() : Bstr(s == "''" ? "" : s); }

struct SStoreRow {
  const char* pszStore;  // mem, shared, enc, reg, regenc, none (never started)
  const char* pszScript;
  const char* pszExpected;
  LONG lTimeOut = -1;  // DisableTimeoutAfterEndSession, -1 absent
  LONG lLevel = 0;     // a line the script must log, at this level
  const char* pszLine = nullptr;
};

class StoreTest : public testing::TestWithParam<SStoreRow> {
 protected:
  StoreTest() {
    for (DWORD s = 0; s < 4; ++s) {
      machine.Process(1000 + s) = {.dwIntegrityRid = SECURITY_MANDATORY_LOW_RID, .dwSessionId = s};
      machine.Process(2000 + s).dwSessionId = s;
    }
    machine.Process(999) = {.dwIntegrityRid = SECURITY_MANDATORY_LOW_RID, .bGone = true};
    gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
    context.bSecurityEnabled = VARIANT_FALSE;  // no caller but a low one is trusted
    machine.pCallContext = &context;
  }
  ~StoreTest() override {
    internal.FlushStore(1001);
    internal.End();
    EXPECT_EQ(store->Release(), 0u);
    gpDataStoreManager = nullptr;
  }
  void Begin(const std::string& kind) {
    if (kind == "none") return;
    const CScopedBSTR id = Id("KelmyrStoreTest" + std::to_string(GetCurrentProcessId()));
    ASSERT_EQ(internal.Begin(id.Get(), kind.starts_with("reg"), kind.ends_with("enc"),
                             kind.starts_with("reg") || kind == "shared", U("P")),
              S_OK);
  }
  std::string Run(const std::string& script);

  CScriptedCallContext context;
  CScriptedMachine machine;
  CHistoryUse history;
  CDataStore* store = new CDataStore;
  CInternalDataStore& internal = store->Internal();
};

// The outcome of one interface call, whose COM result is always S_OK.
#define CALL(method, ...)                                  \
  [&] {                                                    \
    LONG lRetVal = 0x7777;                                 \
    EXPECT_EQ(store->method(__VA_ARGS__, &lRetVal), S_OK); \
    return lRetVal;                                        \
  }()

std::string StoreTest::Run(const std::string& script) {
  std::istringstream calls(script);
  std::string call, out;
  while (std::getline(calls, call, ';')) {
    std::istringstream words(call);
    std::string who, op, c, d, v;
    words >> who >> op >> c >> d >> v;
    const ULONG pid = (who[0] == 'S' ? 1000 : 2000) + std::strtoul(who.c_str() + 1, nullptr, 10);
    const CScopedBSTR bc = Id(c), bd = Id(d);
    std::string text;
    HRESULT hr = S_OK;
    // What an output held before the call: still there after it, "stale".
    const CScopedSafeArray stale = MakeBytes({1});
    if (who == "off" || who == "on") {
      hr = internal.SetAvailabilityStoreFromSessionId(std::stoul(op), who == "on");
    } else if (who == "wait") {
      machine.Advance(std::stoull(op) * 1000);
    } else if (who == "end") {
      text = Result(hr = internal.FlushStoreFromSessionId(std::stoul(op)));
    } else if (who == "ext") {  // written by an earlier process
      CRegistryTree tree(U("KelmyrStoreTest" + std::to_string(GetCurrentProcessId())),
                         REGISTRY_TREE_MACHINE);
      hr = tree.SetData(U(op), U(c), MakeBytes({d.begin(), d.end()}).Get(), 0, FALSE);
    } else if (who == "sid") {
      secwstring sSessionId;
      hr = internal.GetSessionId(std::stoul(op), sSessionId);
      text = hr == S_OK ? U8(sSessionId) : Result(hr);
    } else if (who == "raw") {
      text = Dump(*internal.Tree()).find(op) == std::string::npos ? "sealed" : "plain";
    } else if (op == "set") {
      CScopedSafeArray value = v == "null" ? CScopedSafeArray() : MakeBytes({v.begin(), v.end()});
      text = Result(CALL(SetData, pid, bc.Get(), bd.Get(), value.Get()));
    } else if (op == "get" || op == "has") {
      SAFEARRAY* psa = stale.Get();
      hr = CALL(GetData, pid, bc.Get(), bd.Get(), op == "get" ? &psa : nullptr);
      const CScopedSafeArray value(psa == stale.Get() ? nullptr : psa);
      text = op == "get" && psa == stale.Get() ? "stale"
             : hr != S_OK || op == "has"       ? Result(hr)
             : psa ? std::string(static_cast<char*>(psa->pvData), psa->rgsabound[0].cElements)
                   : "null";
    } else if (op == "cached" || op == "cached0") {
      LONG bCached = 7;
      hr = CALL(IsDataCached, pid, bc.Get(), bd.Get(), op == "cached" ? &bCached : nullptr);
      text = hr == S_OK ? std::to_string(bCached) : Result(hr);
    } else if (op == "ids" || op == "cids") {
      SAFEARRAY* psa = stale.Get();
      hr = op == "ids" ? CALL(ListDataIds, pid, bc.Get(), &psa)
                       : CALL(ListCompartmentIds, pid, bc.Get(), &psa);
      const CScopedSafeArray list(psa == stale.Get() ? nullptr : psa);
      text = psa == stale.Get() ? "stale"
             : hr != S_OK       ? Result(hr)
             : list.Get()       ? "[" + Joined(list.Get(), ",") + "]"
                                : "none";
    } else if (op == "ver" || op == "ver0") {
      ULONG ulCompartment = 7, ulContent = 7;
      LONG bCached = 7;
      hr = CALL(IsCompartmentCached, pid, bc.Get(), &ulCompartment, &ulContent,
                op == "ver" ? &bCached : nullptr);
      text = std::to_string(bCached) + ":" + VersionText(hr, ulCompartment, ulContent);
    } else {
      text = Result(op == "rmd"     ? CALL(RemoveData, pid, bc.Get(), bd.Get())
                    : op == "mk"    ? CALL(CreateCompartment, pid, bc.Get())
                    : op == "touch" ? CALL(TouchCompartment, pid, bc.Get())
                    : op == "flush" ? CALL(FlushStore, pid)
                                    : CALL(RemoveCompartment, pid, bc.Get(), op == "rmcv"));
    }
    EXPECT_TRUE(SUCCEEDED(hr) || !text.empty()) << call << " " << Result(hr);
    if (!text.empty()) out += (out.empty() ? "" : " ") + text;
  }
  return out;
}

TEST_P(StoreTest, Script) {
  const SStoreRow& row = GetParam();
  CScopedHKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, OLESTR("Software\\Orvane\\Kelmyr"), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
  RegDeleteValueW(key.Get(), OLESTR("DisableTimeoutAfterEndSession"));
  if (row.lTimeOut >= 0) {
    ASSERT_EQ(RegSetValueExW(key.Get(), OLESTR("DisableTimeoutAfterEndSession"), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&row.lTimeOut), sizeof(DWORD)),
              ERROR_SUCCESS);
  }
  CRecordingLogSink log;
  Begin(row.pszStore);
  EXPECT_EQ(Run(row.pszScript), row.pszExpected) << row.pszScript;
  EXPECT_TRUE(!row.pszLine || log.ContainsFormat(row.lLevel, U(row.pszLine).c_str())) << log.Dump();
  EXPECT_EQ(log.Dump().find("secret"), std::string::npos) << "a stored value reached the log:\n"
                                                          << log.Dump();
  RegDeleteValueW(key.Get(), OLESTR("DisableTimeoutAfterEndSession"));
}

const SStoreRow kRows[] = {
    // Sessions: each has its part of a per-session store, session 0 reaches
    // whichever part holds the compartment (or files it under "0").
    {"mem",
     "S1 set C d ab; S1 get C d; S2 get C d; S0 get C d; S0 set N d x; S1 has N d; S0 get N d",
     "ok ab inval ab ok inval x"},
    {"shared", "S1 set C d ab; S2 get C d; S0 get C d", "ok ab ab"},
    {"mem", "S1 set C d a; S2 set C d b; S3 rmc C; S1 get C d; S2 has C d; S2 cids /",
     "ok ok ok inval inval none"},
    {"mem", "S1 set C d a; S1 cids /; S2 set D d b; S3 rmc /; S1 cids /; S2 ids D",
     "ok [C] ok ok none fail"},
    {"mem", "S1 set C d a; S2 set C d b; end 1; S1 has C d; S2 get C d", "ok ok ok inval b", -1,
     LOG_NOTABLE, "CDataStore::GetData data not found"},
    // A shared store loses its root "/" when any session ends: in the
    // registry that is the whole tree (its copies of no client's user:
    // E_ACCESSDENIED), in memory a path that never exists.
    {"reg", "S1 set C d a; end 2; S1 has C d", "ok denied inval"},
    {"shared", "S1 set C d a; end 2; S1 has C d", "ok ok ok"},
    // Versions: creating an existing compartment changes none, touching
    // and every change advance them; removal advances or drops them.
    {"mem",
     "S1 mk C; S1 ver C; S1 mk C; S1 ver C; S1 touch C; S1 ver C; S1 set C d a; S1 ver C; S1 rmd C "
     "d; S1 ver C",
     "ok 1:1,1 ok 1:1,1 ok 1:2,2 ok 1:2,3 ok 1:2,4"},
    {"mem", "S1 touch C; S1 rmc C; S1 ver C; S1 touch C; S1 rmcv C; S1 ver C",
     "ok ok 0:2,2 ok ok 0:0,0"},
    {"mem", "S1 set C/D d a; S2 set C d b; S1 flush; S1 ver C/D; S2 ver /; S2 has C d",
     "ok ok ok 0:0,0 0:0,0 inval"},
    // Availability: 15 s by default, the configured time, 0 meaning 15;
    // re-enabled by the session event or the first check after the
    // time-out. Removal and flush do not depend on it.
    {"mem",
     "S1 set C d a; off 1; S1 get C d; S2 get C d; wait 14; S1 get C d; wait 1; S1 get C d; off 1; "
     "S1 rmc C; S1 flush",
     "ok fail inval fail a ok ok"},
    {"mem", "S1 set C d a; off 1; wait 59; S1 has C d; wait 1; S1 has C d; S1 has C d",
     "ok fail ok ok", 60, LOG_FAILURE,
     "CInternalDataStore::GetSessionId GetAvailabilityStoreFromSessionId returned bAvailabled = "
     "FALSE"},
    {"mem", "off 1; wait 14; S1 mk C; wait 1; S1 mk C", "fail ok", 0, LOG_FAILURE,
     "CDataStore::CreateCompartment Internal CreateCompartment failed"},
    {"mem", "off 1; S1 ver C; on 1; S1 ver C; off 1; end 1; S0 mk C",
     "0:0x80004005 0,0 0:0,0 inval ok"},
    // The session of a process: none for 0 or an exited process.
    {"mem", "sid 0; sid 999; sid 1002; off 2; sid 1002; S2 rmc C", "fail fail 2 fail ok"},
    // Untrusted callers are refused before the store is touched (the output
    // of GetData too).
    {"mem", "S1 set C d a; U1 set C d b; U1 get C d; U1 rmc C; U1 flush; S1 get C d",
     "ok denied stale denied denied a"},
    // Bad input and null outputs.
    {"mem", "S1 set '' d a; S1 set C - a; S1 get - d; S1 mk ''; S1 rmc ''; S1 cached C ''",
     "inval inval inval inval inval inval"},
    {"mem", "S1 set C d a; S1 has C d; S1 cached C d; S1 cached0 C d; S1 ver0 C",
     "ok ok 1 fail 7:0x80004005 0,0"},
    {"none", "S1 set C d a; S1 get C d; S1 rmc C; S1 flush; end 1; S1 ver C",
     "fail fail fail fail fail 0:0x80004005 0,0"},
    // Protected stores keep only the protected form in their tree.
    {"enc", "S1 set C d secret; S1 get C d; raw secret", "ok secret sealed"},
    {"mem", "S1 set C d secret; raw secret", "ok plain"},
    {"regenc", "S1 set C d secret; S1 get C d; raw secret", "ok secret sealed"},
    // Registry stores persist; a compartment from an earlier process has
    // no counters, so removing them reports the history's E_INVALIDARG
    // after the data is gone.
    {"reg", "ext C d a; S1 get C d; S1 rmcv C; S1 has C d", "a inval inval"},
    {"reg", "S1 set C d a; S2 get C d; S1 rmcv C; S1 has C d", "ok a ok inval"},
    // A null array is what the platform's copy of it makes in each tree.
    {"mem", "S1 set C d null; S1 get C d", "ok null"},
    {"enc", "S1 set C d null; S1 get C d", "inval inval"},
    {"reg", "S1 set C d null; S1 get C d", "fail inval"}};

INSTANTIATE_TEST_SUITE_P(Rows, StoreTest, testing::ValuesIn(kRows));

// The tree a store starts with, by store type and host: a registry tree's
// location kind shows in how it re-targets (the libraries of the sandboxed
// kinds are withheld, so that both builds answer alike). A row: the type,
// earlier Windows, app container, integrity (hex) and the kind.
TEST(StoreTreeTest, ChosenByTypeAndHost) {
  for (const char* pszRow :
       {"0 0 0 2000 memory", "2 1 1 1000 memory", "1 0 0 2000 duplicate", "1 0 0 4000 duplicate",
        "1 0 0 0 duplicate", "1 0 0 1000 low", "1 0 1 2000 container", "1 0 1 1000 container",
        "1 1 1 1000 machine", "1 1 0 2000 machine"}) {
    CScriptedMachine machine;
    machine.WithholdModule(OLESTR("userenv.dll"));
    machine.WithholdModule(OLESTR("ieframe.dll"));
    ULONG nType = 0;
    std::string kind;
    std::istringstream(pszRow) >> nType >> machine.bEarlierWindows >> machine.dwIsAppContainer >>
        std::hex >> machine.dwIntegrityRid >> kind;
    CInternalDataStore store;
    ASSERT_EQ(store.Begin(Id("KelmyrTreeKind").Get(), nType, FALSE, TRUE, U("P")), S_OK);
    auto* pTree = dynamic_cast<CRegistryTree*>(store.Tree());
    const HRESULT hr = pTree ? pTree->UpdateRegistryKey(0) : S_OK;
    EXPECT_EQ(dynamic_cast<CMemoryTree*>(store.Tree())              ? "memory"
              : dynamic_cast<CDuplicateRegistryTree*>(store.Tree()) ? "duplicate"
              : hr == E_FAIL                                        ? "container"
              : hr == E_NOTIMPL                                     ? "low"
              : pTree && pTree->RootKey() == HKEY_LOCAL_MACHINE     ? "machine"
                                                                    : "?",
              kind)
        << pszRow;
  }
}

// Each method releases the [in] arguments it takes, trusted or not, exactly
// once while no manager came from the export, and never while one did.
TEST_F(StoreTest, OwnsItsArgumentsOnlyWithoutExportedManager) {
  struct SCall {
    ULONG pid;
    BSTR c, d;  // the compartment, the data identifier and the value
    SAFEARRAY* v;
    LONG lRetVal;
  };
#define ROW(cTaken, method, ...)                                                              \
  {                                                                                           \
    cTaken, [](IDataStore* p, SCall& x) { return p->method(x.pid, __VA_ARGS__ & x.lRetVal); } \
  }
  const std::pair<int, HRESULT (*)(IDataStore*, SCall&)> rows[] = {
      ROW(3, SetData, x.c, x.d, x.v, ),
      ROW(2, GetData, x.c, x.d, nullptr, ),
      ROW(2, RemoveData, x.c, x.d, ),
      ROW(2, IsDataCached, x.c, x.d, nullptr, ),
      ROW(1, CreateCompartment, x.c, ),
      ROW(1, TouchCompartment, x.c, ),
      ROW(1, RemoveCompartment, x.c, 1, ),
      ROW(1, ListDataIds, x.c, nullptr, ),
      ROW(1, ListCompartmentIds, x.c, nullptr, ),
      ROW(1, IsCompartmentCached, x.c, nullptr, nullptr, nullptr, ),
      ROW(0, FlushStore, )};
#undef ROW
  Begin("mem");
  for (const auto& [cTaken, call] : rows) {
    for (const ULONG pid : {1001u, 2001u}) {  // trusted, untrusted
      for (const bool bExported : {false, true}) {
        gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&machine) : nullptr;
        CScriptedZuWinExt releases;
        SCall x{pid, Id("C").Release(), Id("D").Release(), MakeBytes({1}).Release(), 0};
        EXPECT_EQ(call(store, x), S_OK);
        EXPECT_EQ(x.lRetVal == E_ACCESSDENIED, pid == 2001) << cTaken;
        const int cReleased = bExported ? 0 : cTaken;
        EXPECT_EQ(releases.cCallerReleases, cReleased) << cTaken;
        // What the method did not take stays the caller's.
        if (cReleased < 1) SysFreeString(x.c);
        if (cReleased < 2) SysFreeString(x.d);
        if (cReleased < 3) SafeArrayDestroy(x.v);
      }
    }
  }
}

}  // namespace
