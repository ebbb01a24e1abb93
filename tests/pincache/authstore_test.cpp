// The PIN store as its clients call it, through IAuthStore, driven by
// scripts, one table row each: a call is "S<n>" (a process of session n) or
// "Q<n>" (another process of session n), an operation (the words of
// pin_calls.h; "get0" reads with no state to fill) and its arguments; its
// outcome is written in order. A trailing word with "=" gives the
// additional parameters (name=value pairs joined by ","; ~ is a null
// element, '' an empty one, a last name with no value an odd count); "u2"
// an array of numbers. $k is the k-th PIN session identifier SetPIN returned;
// {x} an identifier never issued. Timers run on the scripted clock: "wait s"
// advances it and fires what is due. "avail" shows the stored PIN-always
// state of 1/C/P (A or U). Last, the store under concurrent clients,
// session events and expiry callbacks on the timer thread (the real one, on
// the scripted clock).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/recording_log_sink.h"
#include "common/scripted_zuwinext.h"
#include "pincache/pin_calls.h"
#include "support/scopedbstr.h"
#include "support/zutimer.h"
#include "trees/tree_test_util.h"

namespace {

std::string Result(HRESULT hr) {
  const std::map<HRESULT, std::string> names = {
      {S_OK, "ok"}, {E_INVALIDARG, "inval"}, {E_FAIL, "fail"}, {DISP_E_BADINDEX, "badindex"}};
  return names.contains(hr) ? names.at(hr) : "hr";
}

CScopedBSTR B(const std::string& s) {
  const secwstring w = U(s == "''" ? "" : s);
  return CScopedBSTR(SysAllocStringLen(w.data(), static_cast<UINT>(w.size())));
}

std::string Bytes(SAFEARRAY* psa) {
  return std::string(static_cast<const char*>(psa->pvData), psa->rgsabound[0].cElements);
}

// Pairs; a last name with no value makes an odd count. None for a word
// that gives no parameters.
CScopedSafeArray Parameters(const std::string& word) {
  if (word == "u2") return CScopedSafeArray(SafeArrayCreateVector(VT_UI2, 0, 2));
  if (word.find('=') == std::string::npos) return CScopedSafeArray();
  std::vector<std::string> items;
  std::istringstream pairs(word);
  for (std::string pair; std::getline(pairs, pair, ',');) {
    const size_t eq = pair.find('=');
    items.push_back(pair.substr(0, eq));
    if (eq != std::string::npos) items.push_back(pair.substr(eq + 1));
  }
  CScopedSafeArray psa(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size())));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    // A null element stays as created: putting a null string stores an empty one.
    if (items[i] != "~") SafeArrayPutElement(psa.Get(), &i, B(items[i]).Get());
  }
  return psa;
}

struct SPINRow {
  const char* pszScript;
  const char* pszExpected;
  LONGLONG llPerProcess = 0, llTimeout = 0, llConfirm = 0;
  LONG lLogLevel = 0;  // a line of the internal store the script must log, at this level
  const char* pszLogLine = nullptr;
};

// The object leaves its arguments to the caller, as with a manager from
// the export.
constexpr LONGLONG kNoExpiry = 0x80000000;

class PINStoreTest : public testing::TestWithParam<SPINRow>, protected SPINWorld {
 protected:
  PINStoreTest() { gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine); }
  ~PINStoreTest() override {
    gpDataStoreManager = nullptr;
    pStore->End();
    EXPECT_EQ(pStore->Release(), 0u);
    EXPECT_EQ(timers->Live(), 0u);
  }
  std::string Run(const std::string& script);

  CAuthStore* pStore = new CAuthStore;
  std::vector<std::string> ids;  // the PIN session identifiers SetPIN issued
};
using PINStoreObjectTest = PINStoreTest;

std::string PINStoreTest::Run(const std::string& script) {
  CInternalAuthStore& store = pStore->Internal();
  std::istringstream calls(script);
  std::string out;
  for (std::string call; std::getline(calls, call, ';');) {
    std::istringstream words(call);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    CScopedSafeArray a = Parameters(w.back());
    if (a.Get() != nullptr) w.pop_back();
    w.resize(6, "-");
    const std::string &who = w[0], &op = w[1];
    std::string text;
    CScopedSafeArray v;
    if (who == "wait") {
      machine.Advance(std::stoull(op) * 1000);
      timers->FireDue();
    } else if (who == "end" || who == "off" || who == "move" || who == "stop") {
      text = Result(who == "end"    ? store.FlushStoreFromSessionId(std::stoul(op))
                    : who == "off"  ? store.SetAvailabilityStoreFromSessionId(std::stoul(op), FALSE)
                    : who == "move" ? store.MoveStore(std::stoul(op), std::stoul(w[2]))
                                    : pStore->End());
    } else if (who == "tmo") {  // a new timeout setting
      settings.Set(U("Kelmyr.Authentication.Timeout"), std::stoll(op));
    } else if (who == "count") {  // PIN session identifiers known, live timers
      text = std::to_string(store.PINSessionCount()) + "/" + std::to_string(timers->Live());
    } else if (who == "avail") {
      store.Tree()->GetData(U("1/C/P"), U("PINAlwaysState"), v.Receive(), 0);
      text = !v.Get() ? "-" : U8(static_cast<BSTR*>(v.Get()->pvData)[0]) == "available" ? "A" : "U";
    } else if (who == "raw" || who == "dmg") {  // the sealed PIN; its last bit flipped
      store.Tree()->GetData(U("1/C/P"), U("PINValue"), v.Receive(), 0);
      text = who == "dmg" ? "" : Bytes(v.Get()).find(op) == std::string::npos ? "sealed" : "plain";
      static_cast<BYTE*>(v.Get()->pvData)[v.Get()->rgsabound[0].cElements - 1] ^= who == "dmg";
      store.Tree()->SetData(U("1/C/P"), U("PINValue"), v.Get(), 0, TRUE);
    } else {
      const SPINMethod& m =
          *std::find_if(std::begin(kPINMethods), std::end(kPINMethods),
                        [&](auto& m) { return (op == "get0" ? "get" : op) == m.pszOp; });
      const std::string &id = w[4], &tail = w[std::strchr(m.pszTaken, 's') ? 5 : 4];
      const CScopedBSTR c = B(w[2]), p = B(w[3]),
                        s = B(id[0] == '$' ? ids.at(std::stoul(id.substr(1)) - 1) : id);
      if (std::strchr(m.pszTaken, 'v') != nullptr) v = MakeBytes({tail.begin(), tail.end()});
      CScopedSafeArray value;
      CScopedBSTR bstr;
      INT nState = 9;
      const ULONG pid = (who[0] == 'S' ? 1000u : 2000u) + std::stoi(who.substr(1));
      const INT n = op.rfind("chg", 0) == 0 ? std::stoi(tail) : 0;
      SPINCall x{
          pid,     c.Get(), p.Get(),         s.Get(),        v.Get(),
          a.Get(), n,       value.Receive(), bstr.Receive(), op == "get0" ? nullptr : &nState};
      EXPECT_EQ(m.call(pStore, x), S_OK);
      const bool bGet = op.rfind("get", 0) == 0, bHas = op.rfind("has", 0) == 0;
      text = x.lRetVal != S_OK ? Result(x.lRetVal) + (bGet ? ":" + std::to_string(nState) : "")
             : bGet            ? Bytes(value.Get()) + ":" + std::to_string(nState)
             : bHas            ? std::to_string(nState)
                               : "ok";
      // The identifier GetPIN hands out is the one stored with the record.
      if (op == "get" && x.lRetVal == S_OK)
        text += "@" + std::to_string(std::ranges::find(ids, U8(bstr.Get())) - ids.begin() + 1);
      if (op == "set" && bstr.Get() != nullptr) ids.push_back(U8(bstr.Get()));
    }
    if (!text.empty()) out += (out.empty() ? "" : " ") + text;
  }
  return out;
}

TEST_P(PINStoreTest, Script) {
  const SPINRow& row = GetParam();
  settings.Set(U("Kelmyr.Authentication.AllowPerProcess"), row.llPerProcess);
  settings.Set(U("Kelmyr.Authentication.Timeout"), row.llTimeout);
  settings.Set(U("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys"), row.llConfirm);
  CRecordingLogSink log;
  ASSERT_EQ(pStore->Begin(B("{PIN}").Get()), S_OK);
  EXPECT_EQ(Run(row.pszScript), row.pszExpected);
  EXPECT_TRUE(
      !row.pszLogLine ||
      log.Contains(row.lLogLevel, U("CInternalAuthStore::" + std::string(row.pszLogLine)).c_str()))
      << log.Dump();
  EXPECT_EQ(log.Dump().find("secret"), std::string::npos) << "a PIN reached the log:\n"
                                                          << log.Dump();
}

const SPINRow kRows[] = {
    // The PIN-always state through stores, reads, changes (one by identifier,
    // from another session) and tests.
    {"S1 set C P a Action=Authenticate; avail; S1 set C P b Action=ChangeAuthenticator; avail; S1 "
     "set C P c; avail; S1 set C P d Action=ChangeAuthenticator; avail; S1 get C P "
     "Action=Authenticate; avail; S1 chg C P 1; avail; S1 get C P IsACRPINAlways=Maybe; S1 has C P "
     "IsACRPINAlways=Yes; avail; S1 get C P; avail; S1 chg C P 1; S2 chgs C P $4 7; avail; S1 has "
     "C P IsACRPINAlways=Yes; S1 chg C X 1",
     "ok A ok A ok U ok U d:1@4 U ok A d:1@4 1 A d:1@4 U ok ok U 2 inval", 0, 0, 1, 2,
     "GetPINAlwaysCachingMode "
     "GetSettingValue(Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys) returned Active "
     "PIN Always mode = Confirmation Prompt"},
    // Scope: per session every process of the session shares the record;
    // per process each has its own, and "AllProcess" removes them all.
    {"S1 set C P a; Q1 get C P; S2 get C P", "ok a:1@1 inval:0"},
    {"S1 set C P a; Q1 get C P; Q1 set C P b; S1 get C P; S1 rm C P AllProcess=True; Q1 has C P",
     "ok inval:0 ok a:1@1 ok inval", 1, 0, 0, 2,
     "GetPINCachingMode GetSettingValue(Kelmyr.Authentication.AllowPerProcess,...) returned Active "
     "mode = Allow per Process"},
    {"S1 set C P a; S1 rm C P AllProcess=True; S1 has C P; S1 rm C P; S1 rm C P",
     "ok ok 1 ok inval"},
    // PIN session identifiers reach the record from any session; one
    // never issued names the same record as any other unknown one.
    {"S1 set C P a; S2 gets C P $1; S3 hass C P $1; S2 rms C P $1; S1 has C P",
     "ok a:1 1 ok inval"},
    {"S1 sets C P {x} a; S2 gets C P {y}; S1 get C P", "ok a:1 inval:0", 0, 0, 0, 1,
     "GetInternalPIN sPINSessionId not found"},
    // The identifiers are forgotten only with their record.
    {"S1 set C P a; S1 set C P b; S1 set D P c; count; S1 rm C P; count; S1 flush; count",
     "ok ok ok 3/2 ok 2/1 ok 2/0"},
    // Removal across sessions, and values that mean nothing.
    {"S1 set C P a; S2 set C P b; S2 set C Q c; S1 rm C P AllProcess=True,AllSession=True; S2 has "
     "C P; S2 has C Q; S1 rmc C AllSession=True; S2 has C Q",
     "ok ok ok ok inval 1 ok inval"},
    // Per process, "AllSession" takes the caller's record in every
    // session and "AllProcess" every process's in the caller's session.
    {"S1 set C P a; Q1 set C P b; S2 set C P c; S1 rm C P AllSession=True; S1 has C P; Q1 has C P; "
     "S2 has C P; S2 rm C P AllProcess=True,AllSession=True; S2 has C P",
     "ok ok ok ok inval 1 1 ok inval", 1},
    {"S1 set C P a; Q1 set C P b; S2 set C P c; S1 rm C P AllProcess=True,AllSession=True; Q1 has "
     "C P; S2 has C P; S2 set C P d; S2 rm C P AllProcess=False,AllSession=False; S2 has C P",
     "ok ok ok ok inval 1 ok ok inval", 1},
    {"S1 set C P a; S1 rmc C AllSession=Maybe; S1 rm C P AllSession=Maybe; S1 has C P; S1 rmc C; "
     "S1 has C P",
     "ok ok ok 1 ok inval"},
    // Parameters: names are exact, the last of a name counts, an array
    // of other than strings counts as none, a missing value fails the
    // call (and a failed store keeps no identifier).
    {"S1 set C P a Action=None,Action=Authenticate; S1 has C P IsACRPINAlways=Yes; S1 set C P b "
     "u2; S1 has C P IsACRPINAlways=Yes",
     "ok 1 ok 0", 0, 0, 0, 2, "GetAdditionalParameters bad VARTYPE for pAdditionalParameters"},
    {"S1 set C P a action=Authenticate; S1 get C P IsACRPINAlways=Yes; S1 set C P a "
     "Action=Authenticate,Action; S1 has C P IsACRPINAlways=Yes,Action; count",
     "ok a:0@1 badindex badindex 1/1", 0, 0, 0, 1, "SetInternalPIN GetAdditionalParameters failed"},
    // A null name or value keeps the one before it; an empty one fails.
    {"S1 set C P a Action=Authenticate,Action=~; S1 has C P IsACRPINAlways=Yes; S1 set C Q b "
     "Action=None,~=Authenticate; S1 has C Q IsACRPINAlways=Yes; S1 set C P b Action=''; S1 has C "
     "P ''=Yes",
     "ok 1 ok 1 inval inval", 0, 0, 0, 1,
     "GetAdditionalParameters wrong parameter in pAdditionalParameters"},
    // Expiry: 0 minutes is 5 s; a read restarts the lifetime, a test does
    // not; no expiry leaves no timer; a new timeout applies to the timers
    // armed after it.
    {"S1 set C P a; wait 4; S1 get C P; wait 4; S1 has C P; wait 1; S1 has C P; count",
     "ok a:1@1 1 inval 0/1", 0, 0, 0, 2, "SetInternalTimer timeout = 5 s"},
    {"S1 set C P a; wait 30; S1 get C P; wait 30; S1 get C P; wait 30; S1 has C P; wait 30; S1 has "
     "C P",
     "ok a:1@1 a:1@1 1 inval", 0, 1, 0, 2, "SetInternalTimer timeout = 60 s"},
    {"S1 set C P a; count; wait 100000; S1 has C P", "ok 1/0 1", 0, kNoExpiry},
    {"S1 set C P a; tmo 2; S1 set C Q b; wait 5; S1 has C P; S1 has C Q; wait 115; S1 has C Q",
     "ok ok inval 1 inval"},
    // An expired timer goes at the next arming or compartment removal.
    {"S1 set C P a; wait 5; count; S1 set D P b; count; wait 5; count; S1 rmc D; count",
     "ok 0/1 ok 1/1 0/1 ok 0/0"},
    // A timer firing after its session was flushed changes nothing.
    {"S1 set C P a; end 1; S1 has C P; wait 3; S1 set D P b; wait 3; S1 get D P",
     "ok ok inval ok b:1@2", 0, 0, 0, 1, "RemovePINData RemoveData failed"},
    // Sessions: moved records keep answering to their identifiers and
    // expire under their new name; unavailable sessions fail.
    {"S1 set C P a; move 1 3; S3 gets C P $1; S3 get C P; S1 has C P; wait 5; S3 has C P",
     "ok ok a:1 a:1@1 inval inval"},
    {"S1 set C P a; off 1; S1 get C P; S1 set C Q b; S2 get C P; S1 gets C P $1",
     "ok ok fail:0 fail inval:0 a:1", 0, 0, 0, 1,
     "GetSessionId GetAvailabilityStoreFromSessionId returned bAvailabled = FALSE"},
    // An ended store has no tree: every operation fails, none crashes.
    {"S1 set C P a; stop; S1 get C P; S1 set C P a; S1 rm C P; S1 rmc C; S1 flush; end 1; move 1 2",
     "ok ok fail:0 fail fail fail fail fail fail"},
    // Bad input, and the PIN sealed in the tree: damage to it fails the
    // read and leaves the record.
    {"S1 set C P secretpin; S1 get0 C P; S1 set '' P a; S1 flush Action=None,Action; S1 has C P; "
     "raw secretpin",
     "ok inval:9 inval badindex 1 sealed"},
    {"S1 set C P a; dmg; S1 get C P; S1 has C P", "ok fail:1 1", 0, 0, 0, 1,
     "GetInternalPIN DecryptValue failed"}};

INSTANTIATE_TEST_SUITE_P(Rows, PINStoreTest, testing::ValuesIn(kRows));

// GetPIN's and IsPINCached's decision tables in both PIN-always modes: a
// PIN stored available (or not) and with the bypass (or not) is tested,
// then read, with the row's "IsACRPINAlways" and "Action"; 7 stands for the
// prompt the mode asks for (0: the PIN, 2: a confirmation). Every read
// hands out the PIN; the row gives the availability written back.
TEST_F(PINStoreObjectTest, DecisionTables) {
  // "IsACRPINAlways", the parameters of the store, "Action", the states
  // of the test and of the read, the availability after.
  const char* const kRows[] = {
      "Yes Action=Authenticate Authenticate 1 1 A",
      "Yes Action=Authenticate,BypassPINAlways=True ChangeAuthenticator 1 1 A",
      "Yes Action=Authenticate None 1 1 U",
      "Yes BypassPINAlways=True Authenticate 1 1 U",
      "Yes Action=None Authenticate 7 7 U",
      "Yes BypassPINAlways=False Other 7 7 U",
      "No Action=Authenticate,BypassPINAlways=True Authenticate 1 1 A",
      "No Action=Authenticate Other 1 1 U",
      "No Action=None ChangeAuthenticator 1 1 U",
      "Maybe Action=Authenticate None 0 1 A",
      "Maybe Action=None Authenticate 0 1 U"};
  ASSERT_EQ(pStore->Begin(B("{PIN}").Get()), S_OK);
  for (const int nConfirm : {0, 1}) {
    settings.Set(U("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys"), nConfirm);
    for (const char* pszRow : kRows) {
      ids.clear();
      std::string acr, stored, action, after;
      int nTest = 0, nGet = 0;
      std::istringstream(pszRow) >> acr >> stored >> action >> nTest >> nGet >> after;
      const std::string read = " IsACRPINAlways=" + acr + ",Action=" + action;
      auto state = [&](int n) { return std::to_string(n == 7 ? 2 * nConfirm : n); };
      EXPECT_EQ(Run("S1 set C P pin " + stored + "; S1 has C P" + read + "; S1 get C P" + read +
                    "; avail"),
                "ok " + state(nTest) + " pin:" + state(nGet) + "@1 " + after)
          << pszRow << " " << nConfirm;
    }
  }
}

// Each method releases the [in] arguments it takes, trusted or not, exactly
// once while no manager came from the export, and never while one did; an
// untrusted caller gets E_ACCESSDENIED as the outcome and S_OK as the result,
// and changes nothing. The object answers for its three interfaces only.
TEST_F(PINStoreObjectTest, TrustAndArgumentOwnership) {
  ASSERT_EQ(pStore->Begin(B("{PIN}").Get()), S_OK);
  // The stored PIN and its availability, the identifiers and the timers.
  auto state = [&] {
    return Run("avail; S1 has C P IsACRPINAlways=Yes; S1 get C P Action=Authenticate; count");
  };
  for (const SPINMethod& m : kPINMethods) {
    for (const ULONG pid : {1001u, 9u}) {
      for (const bool bExported : {false, true}) {
        gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
        ASSERT_EQ(Run("S1 set C P a Action=Authenticate"), "ok");
        const std::string before = state();
        gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&machine) : nullptr;
        CScriptedZuWinExt releases;
        CScopedSafeArray value;
        CScopedBSTR id;
        INT nState = 0;
        BSTR b[] = {B("C").Release(), B("P").Release(), B("{S}").Release()};
        SAFEARRAY *pv = MakeBytes({1}).Release(), *pa = SafeArrayCreateVector(VT_BSTR, 0, 0);
        SPINCall x{pid, b[0], b[1], b[2], pv, pa, 1, value.Receive(), id.Receive(), &nState};
        EXPECT_EQ(m.call(pStore, x), S_OK);
        EXPECT_EQ(x.lRetVal == E_ACCESSDENIED, pid == 9) << m.pszOp;
        EXPECT_TRUE(pid != 9 || (value.Get() == nullptr && id.Get() == nullptr)) << m.pszOp;
        gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
        EXPECT_EQ(pid == 9 ? state() : before, before) << m.pszOp;
        const std::string taken = bExported ? "" : m.pszTaken;
        EXPECT_EQ(releases.cCallerReleases, static_cast<int>(taken.size())) << m.pszOp;
        for (int i = 0; i < 5; ++i) {  // what the method did not take stays the caller's
          if (taken.find("cpsva"[i]) != std::string::npos) continue;
          i < 3 ? SysFreeString(b[i]) : (void)SafeArrayDestroy(i == 3 ? pv : pa);
        }
      }
    }
  }
  for (const IID* piid : {&IID_IUnknown, &IID_IDispatch, &IID_IAuthStore, &IID_IDataStore}) {
    void* pv = &machine;
    const HRESULT hr = pStore->QueryInterface(*piid, &pv);
    EXPECT_EQ(pv, SUCCEEDED(hr) ? static_cast<IAuthStore*>(pStore) : nullptr);
    EXPECT_EQ(hr, piid == &IID_IDataStore ? E_NOINTERFACE : S_OK);
    EXPECT_EQ(SUCCEEDED(hr) ? pStore->Release() : 1u, 1u);
  }
}

// A started store on the real timer service, and the calls of its clients
// on the PIN of compartment "C": a store ('s'), a read ('g') or a test.
struct SStarted : SPINWorld {
  SStarted() {
    timers.reset();
    EXPECT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  }
  HRESULT Call(char op, ULONG pid, const std::string& pin) {
    const CScopedBSTR c = B("C"), p = B(pin);
    CScopedBSTR id;
    CScopedSafeArray v;
    INT n = 0;
    return op == 's'
               ? store.SetPIN(pid, c.Get(), p.Get(), MakeBytes({7}).Get(), nullptr, id.Receive())
           : op == 'g' ? store.GetPIN(pid, c.Get(), p.Get(), nullptr, v.Receive(), nullptr, &n)
                       : store.IsPINCached(pid, c.Get(), p.Get(), nullptr, nullptr, &n);
  }
  CInternalAuthStore store;
};

const OleString kExpiry = OLESTR("CInternalAuthStore::RemoveExpiredPINFromPINSessionId");

// Holds the store, at the first line of the given format it logs (inside
// the store lock), until an expiry callback, due meanwhile, has started on
// the timer thread and goes for the lock.
struct SExpiryRace {
  SExpiryRace(CScriptedMachine& machine, const OLECHAR* pszHold)
      : log(kLogAllLevels, [this, &machine, hold = OleString(pszHold)](const OleString& format) {
          const bool bHold = format == hold && !bHeld.exchange(true);
          if (bHold) machine.Advance(5000);
          std::unique_lock lock(m);
          if (format == kExpiry) {
            ++cStarted;
            started.notify_all();
          } else if (bHold) {
            bRaced = started.wait_for(lock, std::chrono::seconds(10), [&] { return cStarted > 0; });
          }
        }) {}
  std::mutex m;
  std::condition_variable started;
  std::atomic<bool> bHeld{false}, bRaced{false};
  std::atomic<int> cStarted{0};  // callbacks that reached the store
  CRecordingLogSink log;         // last: installed once the rest exists
};

}  // namespace

// Clients of sessions 1 and 2 store and read PINs while the clock moves
// (their timers fire) and, in the second round, another thread flushes,
// takes away and gives back, and moves those sessions; every answer is a
// PIN, "not found" or, with the events, "session unavailable". The PINs of
// session 3, stored with no expiry and touched by none of that, stay
// readable throughout. Without the events, once the clock has passed every
// lifetime, sessions 1 and 2 have nothing left.
TEST(PINStoreConcurrencyTest, ClientsAlongsideExpiryAndSessionEvents) {
  for (const bool bEvents : {false, true}) {
    SStarted s;
    s.settings.Set(U("Kelmyr.Authentication.Timeout"), kNoExpiry);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(s.Call('s', 1003, std::to_string(i)), S_OK);
    s.settings.Set(U("Kelmyr.Authentication.Timeout"), 0);
    std::atomic<int> cUnexpected{0};
    auto client = [&](ULONG pid) {
      for (int i = 0; i < 60; ++i) {
        for (const char op : std::string(pid == 1003 ? "h" : "sg")) {
          const HRESULT hr = s.Call(op, pid, std::to_string(i % 4));
          cUnexpected += hr != S_OK && !(op == 'g' && hr == E_INVALIDARG) &&
                         !(bEvents && pid != 1003 && hr == E_FAIL);
        }
      }
    };
    std::thread a(client, 1001), b(client, 1002), c(client, 1003);
    for (int i = 0; i < 30; ++i) {
      const int k = bEvents ? i % 4 : 3;
      const HRESULT hr = k == 0   ? s.store.FlushStoreFromSessionId(1 + i % 2)
                         : k == 1 ? s.store.SetAvailabilityStoreFromSessionId(1 + i % 2, i % 8 > 4)
                         : k == 2 ? s.store.MoveStore(1 + i % 2, 2 - i % 2)
                                  : (s.machine.Advance(bEvents ? 3000 : 1000), S_OK);
      cUnexpected += FAILED(hr);
    }
    for (std::thread* t : {&a, &b, &c}) t->join();
    EXPECT_EQ(cUnexpected.load(), 0);
    if (!bEvents) {
      s.machine.Advance(5000);
      ASSERT_TRUE(s.machine.AwaitWaiters(1));
      for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.Call('h', 1001 + i / 4, std::to_string(i % 4)), E_INVALIDARG);
    }
    EXPECT_EQ(s.store.End(), S_OK);
  }
}

// An expiry callback comes due while the store holds its lock for a removal
// of the record (stored again afterwards) or for End. The removal or End
// cancels the timer, and the callback, once it has the lock, finds itself
// cancelled and changes nothing: the record stored again stays; after End
// no callback reaches the store (End waited for the one under way).
TEST(PINStoreConcurrencyTest, CallbackWaitingForTheLockFindsItselfCancelled) {
  for (const bool bEnd : {false, true}) {
    SStarted s;
    for (const char* pszPIN : {"P", "Q", "R"})
      ASSERT_EQ(bEnd || *pszPIN == 'P' ? s.Call('s', 1001, pszPIN) : S_OK, S_OK);
    SExpiryRace race(s.machine, bEnd ? OLESTR("CInternalAuthStore::End pTimer = %p")
                                     : OLESTR("CInternalAuthStore::RemovePINData"));
    if (bEnd) {
      EXPECT_EQ(s.store.End(), S_OK);
      s.machine.Advance(600000);
      // No timer left: the thread ends, its callback done.
      while (TimerThreadRunning()) std::this_thread::yield();
    } else {
      EXPECT_EQ(s.store.RemovePIN(1001, B("C").Get(), B("P").Get(), nullptr), S_OK);
      EXPECT_EQ(s.Call('s', 1001, "P"), S_OK);
      ZU::Framework::ITimer::WaitForRunningCallbacks();
      EXPECT_EQ(s.Call('h', 1001, "P"), S_OK);
    }
    EXPECT_TRUE(race.bRaced);
    EXPECT_TRUE(race.log.ContainsFormat(LOG_NOTABLE, kExpiry + OLESTR(" timer cancelled")));
    EXPECT_EQ(race.cStarted.load(), 1);
  }
}
