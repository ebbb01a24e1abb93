// The store manager, its export and its session-event subscriber on the
// scripted machine, with a catalogue in a scratch hive.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <thread>

#include "common/registry_test_key.h"
#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "datastore/storeownership.h"
#include "host/classfactory.h"
#include "host/datastoremanager.h"
#include "host/export.h"
#include "security/privileges.h"
#include "sessions/scripted_terminal_services.h"
#include "trees/history.h"
#include "trees/tree_test_util.h"

namespace {

const std::string kPin = ToUtf8(KELMYR_PIN_STORE_ID);

// Clients: 7 low integrity (trusted), 8 medium (untrusted), 9 gone (the
// check fails); scripted Terminal Services; callers keep their arguments.
// The catalogue "A:0:Brenmoor B:1:Zed" lists its stores as id:type:product.
struct CRig {
  explicit CRig(const std::string& catalogue) {
    context.bSecurityEnabled = VARIANT_FALSE;
    machine.pCallContext = &context;
    machine.Process(7).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
    machine.Process(8);
    machine.Process(9).bGone = true;
    machine.ProvideModule(OLESTR("Wtsapi32.dll"), ts.Exports());
    gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
    WriteStoreCatalogue(std::regex_replace(catalogue, std::regex("(\\w):(\\d):(\\w*)"),
                                           "$1.Type=$2 $1.Product=$3"));
  }
  ~CRig() { gpDataStoreManager = nullptr; }
  // One letter per log line that holds a key's text (at its level, unless
  // that is -1), in log order.
  std::string Letters(std::initializer_list<std::tuple<const char*, LONG, char>> keys) const {
    std::string letters;
    for (const auto& line : log.Lines()) {
      for (const auto& [text, lLevel, c] : keys) {
        if (ToUtf8(line.text).find(text) + 1 && (lLevel < 0 || line.lLevel == lLevel)) letters += c;
      }
    }
    return letters;
  }
  CScratchHive hive;
  CScriptedCallContext context;
  CScriptedMachine machine;
  CScriptedSettings settings;
  CScriptedTimerService timers;
  CScriptedTerminalServices ts;
  CRecordingLogSink log;
};

// The data stores and the PIN stores listed, each list followed by its
// outcome, then the PIN store's type:encrypted:shared and outcome.
std::string Listed(IDataStoreManager* p) {
  CScopedSafeArray data, pins;
  LONG lData = 1, lPins = 1, bEnc = -1, bShared = -1, lInfo = 1;
  INT nType = -1;
  p->ListDataStoreIds(7, data.Receive(), &lData);
  p->ListAuthStoreIds(7, pins.Receive(), &lPins);
  p->GetAuthStoreInfo(7, Bstr(kPin).Get(), &nType, &bEnc, &bShared, &lInfo);
  return Joined(data.Get()) + " " + std::to_string(lData) + " | " + Joined(pins.Get()) + " " +
         std::to_string(lPins) + " | " + std::to_string(nType) + ":" + std::to_string(bEnc) + ":" +
         std::to_string(bShared) + " " + std::to_string(lInfo);
}

// Sets item c/d in the manager's store first when bSet; "1" when
// compartment c then holds content with a counted version, else "0".
std::string Cached(IDataStoreManager* p, const char* id, bool bSet) {
  IDataStore* pStore = nullptr;
  LONG lRet = 0, bCached = 0;
  ULONG ulCompartment = 0, ulContent = 0;
  p->GetDataStore(7, Bstr(id).Get(), &pStore, &lRet);
  if (bSet) pStore->SetData(7, Bstr("c").Get(), Bstr("d").Get(), MakeBytes({1}).Get(), &lRet);
  pStore->IsCompartmentCached(7, Bstr("c").Get(), &ulCompartment, &ulContent, &bCached, &lRet);
  EXPECT_EQ(pStore->Release(), 1u);  // the table's reference alone
  return std::to_string(lRet == S_OK && bCached && ulContent > 0);
}

}  // namespace

// The tables follow the catalogue: key order, the session table holding
// exactly the memory stores of "Brenmoor", one PIN store; the 26 removals
// then the disable reach the host token. When they fail, nothing starts,
// the look-ups fail, and End still succeeds. (What each store reports of
// itself is the service commands' test's, on the sample catalogue.)
TEST(DataStoreManager, StartsWhatTheCatalogueAndPrivilegesAllow) {
  const std::tuple<const char*, bool, const char*, const char*> rows[] = {
      {"", false, "", ""},
      {"C:0:Brenmoor A:1:Brenmoor B:0:Zed D:0:brenmoor", false, "A B C D", "C"},
      {"C:0:Brenmoor", true, "", ""},
  };
  for (const auto& [catalogue, bFail, data, session] : rows) {
    CRig rig(catalogue);
    if (bFail) rig.machine.FailCall(CScriptedMachine::ECall::AdjustTokenPrivileges, 5);
    auto* p = new CDataStoreManager;
    std::string trace, removed, sessionIds;
    for (LPCWSTR psz : gHostUnneededPrivileges) {  // a name the system lacks is passed over
      LUID luid;
      removed += LookupPrivilegeValueW(nullptr, psz, &luid) ? ToUtf8(psz) + "=4 " : "?=0 ";
    }
    for (const auto& t : rig.machine.Trace()) trace += t.find('=') == t.npos ? "" : t + " ";
    EXPECT_EQ(trace, bFail ? "" : removed + "SeDebugPrivilege=0 ");
    EXPECT_EQ(Listed(p),
              data + std::string(" 0 | ") +
                  (bFail ? " 0 | -1:-1:-1 " + std::to_string(E_FAIL) : kPin + " 0 | 0:1:0 0"));
    for (const auto& entry : p->SessionDataStores()) sessionIds += ToUtf8(entry.first.c_str());
    EXPECT_EQ(sessionIds, session);
    EXPECT_EQ((gHistoryTree.Locking() == nullptr) + (SessionMonitorThreadsAlive() == 0), 2 * bFail);
    EXPECT_EQ(p->Release(), 0u);
    EXPECT_EQ(rig.Letters({{"CDataStoreManager::End hr = 0x0", -1, 'E'}}), "E");
  }
}

// Each row of the failure table: the outcome in plRetVal, S_OK as the COM
// result, the line in the log, the identifier released by whoever owns it
// (without a manager from the export, the method, once). A flush by product
// empties the stores of that product, memory and registry alike, and never
// the PIN store; a null ppIDataStore adds no reference.
TEST(DataStoreManager, AnswersInItsReturnValue) {
  CRig rig("A:0:Brenmoor B:1:Brenmoor C:0:Zed");
  auto* p = new CDataStoreManager;
  // g GetDataStore, i GetDataStoreInfo, a GetAuthStore, j GetAuthStoreInfo,
  // f FlushDataStores.
  auto call = [p](char c, ULONG u, BSTR b, LONG* l) {
    return c == 'g'   ? p->GetDataStore(u, b, nullptr, l)
           : c == 'i' ? p->GetDataStoreInfo(u, b, nullptr, nullptr, nullptr, nullptr, l)
           : c == 'a' ? p->GetAuthStore(u, b, nullptr, l)
           : c == 'j' ? p->GetAuthStoreInfo(u, b, nullptr, nullptr, nullptr, l)
                      : p->FlushDataStores(u, b, l);
  };
  const std::tuple<char, ULONG, std::string, HRESULT, LONG, const char*> rows[] = {
      {'g', 7, "A", S_OK, 0, "GetDataStore CheckClientCaller trust succeeded"},
      {'g', 9, "A", E_ACCESSDENIED, 1, "GetDataStore CheckClientCaller failed"},
      {'g', 8, "A", E_ACCESSDENIED, 2, "GetDataStore CheckClientCaller trust failed"},
      {'g', 7, "", E_INVALIDARG, 1, "GetDataStore BSTR2wstring failed"},
      {'g', 7, "a", E_FAIL, 1, "GetDataStore Don't find IDataStore with this id"},
      {'i', 7, "Z", E_FAIL, 1, "GetDataStoreInfo Don't find IDataStore"},
      {'a', 7, "A", E_FAIL, 1, "GetAuthStore Don't find IAuthStore with this id"},
      {'j', 7, "A", E_FAIL, 1, "GetAuthStoreInfo Don't find IAuthStore"},
      {'j', 8, kPin, E_ACCESSDENIED, 2, "GetAuthStoreInfo CheckClientCaller trust failed"},
      {'f', 7, "", E_INVALIDARG, 2, "FlushDataStores BSTR2wstring failed"},
      {'f', 7, "Brenmoor", S_OK, 2, "FlushDataStores sProduct = Brenmoor <> sProduct1 = Zed"},
  };
  EXPECT_EQ(Cached(p, "A", true) + Cached(p, "B", true) + Cached(p, "C", true), "111");
  for (const bool bHandedOver : {false, true}) {
    if (bHandedOver) gpDataStoreManager = nullptr;
    for (const auto& [c, ulPID, id, hrOutcome, lLevel, line] : rows) {
      rig.log.Clear();
      LONG lRet = 1;
      BSTR bstrId = Bstr(id).Release();
      // Counts the releases; one made twice shows in AddressSanitizer's report.
      CScriptedZuWinExt releases;
      EXPECT_EQ(call(c, ulPID, bstrId, &lRet), S_OK);
      if (!bHandedOver) SysFreeString(bstrId);
      EXPECT_EQ(lRet, hrOutcome) << line;
      EXPECT_EQ(releases.cCallerReleases, bHandedOver ? 1 : 0) << line;
      EXPECT_TRUE(rig.log.Contains(lLevel, Widen(std::string("CDataStoreManager::") + line)));
    }
  }
  gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&rig.machine);
  EXPECT_EQ(rig.Letters({{"CAuthStore::", -1, 'a'}}), "");
  EXPECT_EQ(Cached(p, "A", false) + Cached(p, "B", false) + Cached(p, "C", false), "001");
  EXPECT_EQ(p->Release(), 0u);
}

// The export: a null ppv builds the manager and answers E_POINTER; the same
// manager while a reference is held, started once; a new one after the
// last release. The class's manager beside it has its own tables and
// monitor, and keeps working when the export's ends.
TEST(DataStoreManager, ExportKeepsOneManagerAtATime) {
  CRig rig("A:0:Brenmoor");
  gpDataStoreManager = nullptr;
  auto started = [&] { return rig.Letters({{"CDataStoreManager::Begin hr", -1, 'B'}}); };
  EXPECT_EQ(CreateIDataStoreManagerInstance(nullptr), E_POINTER);
  EXPECT_EQ(started(), "B");
  IDataStoreManager *p1 = nullptr, *p2 = nullptr, *pOther = nullptr;
  ASSERT_EQ(CreateIDataStoreManagerInstance(reinterpret_cast<void**>(&p1)), S_OK);
  ASSERT_EQ(CreateIDataStoreManagerInstance(reinterpret_cast<void**>(&p2)), S_OK);
  EXPECT_EQ(p1, p2);
  auto* pFactory = new CManagerClassFactory;
  ASSERT_EQ(
      pFactory->CreateInstance(nullptr, IID_IDataStoreManager, reinterpret_cast<void**>(&pOther)),
      S_OK);
  EXPECT_EQ(Cached(p1, "A", true) + Cached(pOther, "A", false), "10");
  EXPECT_EQ(SessionMonitorThreadsAlive(), 2);
  p1->Release();
  EXPECT_EQ(p2->Release(), 0u);
  EXPECT_FALSE(MethodReleasesArguments());
  EXPECT_EQ(Cached(pOther, "A", true), "1");
  ASSERT_EQ(CreateIDataStoreManagerInstance(reinterpret_cast<void**>(&p1)), S_OK);
  EXPECT_EQ(started(), "BBB");
  EXPECT_EQ(p1->Release(), 0u);
  pOther->Release();
  EXPECT_EQ(pFactory->DetachUnusedManager()->Release(), 0u);
  EXPECT_TRUE(pFactory->DeleteIfUnheld());
}

// Session events through the monitor reach the data stores and the PIN
// store; racing the shut-down, the monitor stops before any store ends, and
// no flush reaches a store after that.
TEST(DataStoreManager, StopsTheMonitorBeforeEndingStores) {
  CRig rig("A:0:Brenmoor");
  rig.ts.sessions = {{1, WTSDown, WTS_PROTOCOL_TYPE_RDP, OLESTR("")}};  // flushed on every pass
  auto* p = new CDataStoreManager;
  for (int i = 0; i < 200; ++i) rig.ts.Inject(WTS_EVENT_STATECHANGE);
  const std::tuple<const char*, LONG, char> f{"CDataStore::FlushStoreFromSessionId hr", -1, 'f'},
      pin{"CInternalAuthStore::FlushStoreFromSessionId dwSessionId", -1, 'p'};
  while (rig.Letters({f}).size() < 3) std::this_thread::yield();
  EXPECT_EQ(p->Release(), 0u);
  const std::string order =
      rig.Letters({f, pin, {"CSessionMonitor::Stop", LOG_EXIT, 'S'}, {"CDataStore::End", 8, 'E'}});
  EXPECT_EQ(order.substr(0, 2), "fp") << order;
  EXPECT_EQ(order.substr(order.find('S'), 2), "SE") << order;  // the first Stop returned
  EXPECT_EQ(order.find_first_of("fp", order.find('S')), std::string::npos) << order;
}

// The fan-out: data stores first, a null table ends the notification, a
// failing store (never started) does not stop the others, a move reaches
// the PIN store only.
TEST(DataStoreManagerSubscriber, FansOutToTheTables) {
  CRig rig("");
  CHistoryUse history;
  auto *pStarted = new CDataStore, *pUnstarted = new CDataStore;
  auto* pPin = new CAuthStore;
  ASSERT_EQ(pStarted->Internal().Begin(Bstr("S").Get(), 0, FALSE, FALSE, U("Brenmoor")), S_OK);
  ASSERT_EQ(pPin->Begin(Bstr("P").Get()), S_OK);
  const CDataStoreTable empty, both = {{U("1"), pUnstarted}, {U("2"), pStarted}};
  const CAuthStoreTable pins = {{U("P"), pPin}};
  // Tables, the call (f flush 5, a availability 5 0, m move 5 6), and the
  // store calls logged: d data store, a PIN store, ! E_FAIL, N null table.
  const std::tuple<const CDataStoreTable*, const CAuthStoreTable*, char, const char*> rows[] = {
      {nullptr, nullptr, 'f', "N"}, {&empty, nullptr, 'f', "N"}, {&empty, &pins, 'f', "a"},
      {&both, &pins, 'f', "d!da"},  {&both, &pins, 'a', "dda"},  {&both, nullptr, 'm', "N"},
      {nullptr, &pins, 'm', "a"},
  };
  CDataStoreManagerSubscriber subscriber;
  for (const auto& [pData, pAuth, call, calls] : rows) {
    subscriber.m_pDataStoreList = pData, subscriber.m_pAuthStoreList = pAuth;
    rig.log.Clear();
    call == 'f'   ? subscriber.NotifyFlush(5)
    : call == 'a' ? subscriber.NotifyAvailability(5, FALSE)
                  : subscriber.NotifyMove(5, 6);
    EXPECT_EQ(rig.Letters({{"CDataStore::", LOG_ENTRY, 'd'},
                           {"CAuthStore::", LOG_ENTRY, 'a'},
                           {"failed hr = 80004005", LOG_FAILURE, '!'},
                           {"List == NULL", LOG_FAILURE, 'N'}}),
              calls);
  }
  pStarted->Internal().End(), pPin->End();
  pStarted->Release(), pUnstarted->Release(), pPin->Release();
}
