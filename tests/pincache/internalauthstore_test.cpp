// The PIN store driven by scripts of client calls, one table row each: a
// call is "S<n>" (a process of session n) or "Q<n>" (another process of
// session n), an operation and its arguments; its outcome is written in
// order. A trailing word with "=" gives the additional parameters
// (name=value pairs joined by ","; ~ is a null element, '' an empty one);
// "odd" is a name/value/name array, "u2" an array of numbers. $k is the k-th PIN session identifier
// SetPIN returned; {x} an identifier never issued. Timers run on the scripted clock: "wait s"
// advances it and fires what is due.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "pincache/internalauthstore.h"
#include "pincache/timercallback.h"
#include "support/scopedbstr.h"
#include "trees/tree_test_util.h"

namespace {

std::string Result(HRESULT hr) {
  return hr == S_OK              ? "ok"
         : hr == E_INVALIDARG    ? "inval"
         : hr == E_FAIL          ? "fail"
         : hr == DISP_E_BADINDEX ? "badindex"
                                 : "hr";
}

CScopedBSTR B(const std::string& s) {
  const secwstring w = U(s == "''" ? "" : s);
  return CScopedBSTR(SysAllocStringLen(w.data(), static_cast<UINT>(w.size())));
}

CScopedSafeArray Parameters(const std::string& word) {
  if (word == "u2") return CScopedSafeArray(SafeArrayCreateVector(VT_UI2, 0, 2));
  std::vector<std::string> items;
  if (word == "odd") items = {"Action", "Authenticate", "Action"};
  std::istringstream pairs(word == "odd" ? "" : word);
  for (std::string pair; std::getline(pairs, pair, ',');) {
    items.push_back(pair.substr(0, pair.find('=')));
    items.push_back(pair.substr(pair.find('=') + 1));
  }
  CScopedSafeArray psa(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size())));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    // A null element stays as created: putting a null string stores an empty one.
    if (items[i] != "~") SafeArrayPutElement(psa.Get(), &i, B(items[i]).Get());
  }
  return psa;
}

struct SPINRow {
  friend void PrintTo(const SPINRow& row, std::ostream* os) { *os << row.pszScript; }
  const char* pszScript;
  const char* pszExpected;
  LONGLONG llPerProcess = 0, llTimeout = 0, llConfirm = 0;
  LONG lLogLevel = 0;  // a line the script must log, at this level
  const char* pszLogLine = nullptr;
};

class PINStoreTest : public testing::TestWithParam<SPINRow> {
 protected:
  PINStoreTest() {
    for (DWORD s = 0; s < 4; ++s) {
      machine.Process(1000 + s).dwSessionId = s;
      machine.Process(2000 + s).dwSessionId = s;
    }
  }
  std::string Run(const std::string& script);

  CScriptedMachine machine;
  CScriptedSettings settings;
  CScriptedTimerService timers;
  CHistoryUse history;
  CInternalAuthStore store;
  std::vector<std::string> issued;
};

std::string PINStoreTest::Run(const std::string& script) {
  std::istringstream calls(script);
  std::string call, out;
  while (std::getline(calls, call, ';')) {
    std::istringstream words(call);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    std::string params = "-";
    if (w.back().find('=') != std::string::npos || w.back() == "odd" || w.back() == "u2") {
      params = w.back();
      w.pop_back();
    }
    w.resize(6, "-");
    const std::string &who = w[0], &op = w[1];
    const ULONG pid = who[0] == 'S'   ? 1000 + std::stoul(who.substr(1))
                      : who[0] == 'Q' ? 2000 + std::stoul(who.substr(1))
                                      : 0;
    const CScopedBSTR c = B(w[2]), p = B(w[3]);
    // The identifier argument of the ...FromPINSessionId forms.
    const std::string& id = w[4];
    const CScopedBSTR s = B(id[0] == '$' ? issued.at(std::stoul(id.substr(1)) - 1) : id);
    CScopedSafeArray a = params == "-" ? CScopedSafeArray() : Parameters(params);
    std::string text;
    if (who == "wait") {
      machine.Advance(std::stoull(op) * 1000);
      timers.FireDue();
    } else if (who == "end" || who == "off") {
      text = Result(who == "end" ? store.FlushStoreFromSessionId(std::stoul(op))
                                 : store.SetAvailabilityStoreFromSessionId(std::stoul(op), FALSE));
    } else if (who == "tmo") {  // a new timeout setting
      settings.Set(U("Kelmyr.Authentication.Timeout"), std::stoll(op));
    } else if (who == "stop") {
      text = Result(store.End());
    } else if (who == "move") {
      text = Result(store.MoveStore(std::stoul(op), std::stoul(w[2])));
    } else if (who == "count") {  // PIN session identifiers known, live timers
      text = std::to_string(store.PINSessionCount()) + "/" + std::to_string(timers.Live());
    } else if (who == "raw") {
      CScopedSafeArray v;
      store.Tree()->GetData(U("1/C/P"), U("PINValue"), v.Receive(), 0);
      const std::string bytes(static_cast<const char*>(v.Get()->pvData),
                              v.Get()->rgsabound[0].cElements);
      text = bytes.find(op) == std::string::npos ? "sealed" : "plain";
    } else if (who == "dmg") {  // one bit of the sealed PIN flipped
      CScopedSafeArray v;
      store.Tree()->GetData(U("1/C/P"), U("PINValue"), v.Receive(), 0);
      const long n = std::stol(op);  // from the end when negative
      static_cast<BYTE*>(v.Get()->pvData)[n < 0 ? v.Get()->rgsabound[0].cElements + n : n] ^= 1;
      store.Tree()->SetData(U("1/C/P"), U("PINValue"), v.Get(), 0, TRUE);
    } else if (op == "set" || op == "sets") {
      CScopedSafeArray v =
          MakeBytes({w[op == "set" ? 4 : 5].begin(), w[op == "set" ? 4 : 5].end()});
      CScopedBSTR bstrId;
      const HRESULT hr =
          op == "set"
              ? store.SetPIN(pid, c.Get(), p.Get(), v.Get(), a.Get(), bstrId.Receive())
              : store.SetPINFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), v.Get(), a.Get());
      if (bstrId.Get() != nullptr) issued.push_back(U8(bstrId.Get()));
      text = Result(hr);
    } else if (op == "get" || op == "gets" || op == "get0") {
      CScopedSafeArray v;
      CScopedBSTR bstrId;
      INT nState = 9;
      const HRESULT hr = op == "gets"
                             ? store.GetPINFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a.Get(),
                                                            v.Receive(), &nState)
                             : store.GetPIN(pid, c.Get(), p.Get(), a.Get(), v.Receive(),
                                            bstrId.Receive(), op == "get0" ? nullptr : &nState);
      text = hr != S_OK ? Result(hr) + ":" + std::to_string(nState)
                        : std::string(static_cast<const char*>(v.Get()->pvData),
                                      v.Get()->rgsabound[0].cElements) +
                              ":" + std::to_string(nState);
      // The identifier handed out is the one stored with the record.
      if (op == "get" && hr == S_OK)
        text += "@" + std::to_string(std::find(issued.begin(), issued.end(), U8(bstrId.Get())) -
                                     issued.begin() + 1);
    } else if (op == "has" || op == "hass") {
      INT nState = 9;
      const HRESULT hr =
          op == "has"
              ? store.IsPINCached(pid, c.Get(), p.Get(), a.Get(), nullptr, &nState)
              : store.IsPINCachedFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a.Get(), &nState);
      text = hr == S_OK ? std::to_string(nState) : Result(hr);
    } else if (op == "chg" || op == "chgs") {
      text = Result(op == "chg" ? store.ChangePINState(pid, c.Get(), p.Get(), std::stoi(w[4]))
                                : store.ChangePINStateFromPINSessionId(pid, c.Get(), p.Get(),
                                                                       s.Get(), std::stoi(w[5])));
    } else if (op == "rm" || op == "rms") {
      text = Result(op == "rm" ? store.RemovePIN(pid, c.Get(), p.Get(), a.Get())
                               : store.RemovePINFromPINSessionId(pid, c.Get(), p.Get(), s.Get()));
    } else if (op == "rmc") {
      text = Result(store.RemoveCompartment(pid, c.Get(), a.Get()));
    } else if (op == "flush") {
      text = Result(store.FlushStore(pid, a.Get()));
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
  ASSERT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  EXPECT_EQ(Run(row.pszScript), row.pszExpected);
  if (row.pszLogLine != nullptr) {
    EXPECT_TRUE(log.Contains(row.lLogLevel, U(row.pszLogLine).c_str())) << log.Dump();
  }
  EXPECT_EQ(store.End(), S_OK);
  EXPECT_EQ(timers.Live(), 0u);
}

constexpr LONGLONG kNoExpiry = 0x80000000;

INSTANTIATE_TEST_SUITE_P(
    Rows, PINStoreTest,
    testing::Values(
        // Reading a PIN, one row per rule: "IsACRPINAlways", the stored
        // availability and bypass, the action; the test after it shows what
        // availability was written back.
        SPINRow{"S1 set C P a Action=Authenticate; S1 get C P "
                "IsACRPINAlways=Yes,Action=Authenticate; S1 has C P IsACRPINAlways=Yes",
                "ok a:1@1 1"},
        SPINRow{"S1 set C P a Action=Authenticate; S1 get C P IsACRPINAlways=Yes; S1 has C P "
                "IsACRPINAlways=Yes",
                "ok a:1@1 0"},
        SPINRow{"S1 set C P a BypassPINAlways=True; S1 get C P IsACRPINAlways=Yes; S1 has C P "
                "IsACRPINAlways=Yes",
                "ok a:1@1 1"},
        SPINRow{"S1 set C P a; S1 get C P IsACRPINAlways=Yes; S1 has C P IsACRPINAlways=Yes",
                "ok a:0@1 0"},
        SPINRow{"S1 set C P a; S1 get C P IsACRPINAlways=Yes; S1 has C P IsACRPINAlways=Yes",
                "ok a:2@1 2", 0, 0, 1, 2,
                "CInternalAuthStore::GetPINAlwaysCachingMode "
                "GetSettingValue(Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys) "
                "returned Active PIN Always mode = Confirmation Prompt"},
        SPINRow{"S1 set C P a Action=Authenticate; S1 get C P Action=ChangeAuthenticator; S1 has C "
                "P IsACRPINAlways=Yes",
                "ok a:1@1 1"},
        SPINRow{"S1 set C P a Action=Authenticate; S1 get C P; S1 has C P IsACRPINAlways=Yes",
                "ok a:1@1 0"},
        SPINRow{"S1 set C P a; S1 get C P; S1 has C P IsACRPINAlways=Yes; S1 has C P",
                "ok a:1@1 0 1"},
        SPINRow{"S1 set C P a Action=Authenticate; S1 get C P IsACRPINAlways=Maybe; S1 has C P "
                "IsACRPINAlways=Yes; S1 has C P IsACRPINAlways=Maybe",
                "ok a:1@1 1 0"},
        // The confirmation mode changes only the withheld PIN's answer.
        SPINRow{"S1 set C P a BypassPINAlways=True; S1 get C P IsACRPINAlways=Yes; S1 has C P "
                "IsACRPINAlways=Yes; S1 set C Q b; S1 get C Q IsACRPINAlways=No; S1 has C Q "
                "IsACRPINAlways=Maybe; S1 has C Q IsACRPINAlways=No",
                "ok a:1@1 1 ok b:1@2 0 1", 0, 0, 1},
        // Storing again: a change of authenticator keeps an available PIN
        // available only; a state change sets it; every store issues a new
        // identifier.
        SPINRow{"S1 set C P a Action=Authenticate; S1 set C P b Action=ChangeAuthenticator; S1 has "
                "C P IsACRPINAlways=Yes; S1 set C P c; S1 set C P d Action=ChangeAuthenticator; S1 "
                "has C P IsACRPINAlways=Yes; S1 get C P",
                "ok ok 1 ok ok 0 d:1@4"},
        SPINRow{"S1 set C P a; S1 chg C P 1; S1 has C P IsACRPINAlways=Yes; S1 chgs C P $1 7; S1 "
                "has C P IsACRPINAlways=Yes; S1 chg C X 1",
                "ok ok 1 ok 0 inval"},
        // Scope: per session every process of the session shares the record;
        // per process each has its own, and "AllProcess" removes them all.
        SPINRow{"S1 set C P a; Q1 get C P; S2 get C P", "ok a:1@1 inval:0"},
        SPINRow{"S1 set C P a; Q1 get C P; Q1 set C P b; S1 get C P; S1 rm C P AllProcess=True; Q1 "
                "has C P",
                "ok inval:0 ok a:1@1 ok inval", 1, 0, 0, 2,
                "CInternalAuthStore::GetPINCachingMode "
                "GetSettingValue(Kelmyr.Authentication.AllowPerProcess,...) returned Active mode = "
                "Allow per Process"},
        SPINRow{"S1 set C P a; S1 rm C P AllProcess=True; S1 has C P; S1 rm C P; S1 rm C P",
                "ok ok 1 ok inval"},
        // PIN session identifiers reach the record from any session; one
        // never issued names the same record as any other unknown one.
        SPINRow{"S1 set C P a; S2 gets C P $1; S3 hass C P $1; S2 rms C P $1; S1 has C P",
                "ok a:1 1 ok inval"},
        SPINRow{"S1 sets C P {x} a; S2 gets C P {y}; S1 get C P", "ok a:1 inval:0", 0, 0, 0, 1,
                "CInternalAuthStore::GetInternalPIN sPINSessionId not found"},
        // The identifiers are forgotten only with their record.
        SPINRow{
            "S1 set C P a; S1 set C P b; S1 set D P c; count; S1 rm C P; count; S1 flush; count",
            "ok ok ok 3/2 ok 2/1 ok 2/0"},
        // Removal across sessions, and values that mean nothing.
        SPINRow{"S1 set C P a; S2 set C P b; S2 set C Q c; S1 rm C P AllSession=True; S2 has C P; "
                "S2 has C Q; S1 rmc C AllSession=True; S2 has C Q",
                "ok ok ok ok inval 1 ok inval"},
        // Per process, "AllSession" takes the caller's record in every
        // session and "AllProcess" every process's in the caller's session.
        SPINRow{"S1 set C P a; Q1 set C P b; S2 set C P c; S1 rm C P AllSession=True; S1 has C P; "
                "Q1 has C P; S2 has C P; S2 rm C P AllProcess=True,AllSession=True; S2 has C P",
                "ok ok ok ok inval 1 1 ok inval", 1},
        SPINRow{
            "S1 set C P a; Q1 set C P b; S2 set C P c; S1 rm C P AllProcess=True,AllSession=True; "
            "Q1 has C P; S2 has C P; S2 set C P d; S2 rm C P AllProcess=False,AllSession=False; S2 "
            "has C P",
            "ok ok ok ok inval 1 ok ok inval", 1},
        SPINRow{"S1 set C P a; S2 set C P b; S1 rm C P AllProcess=True,AllSession=True; S2 has C P",
                "ok ok ok inval"},
        SPINRow{"S1 set C P a; S1 rmc C AllSession=Maybe; S1 rm C P AllSession=Maybe; S1 has C P; "
                "S1 rmc C; S1 has C P",
                "ok ok ok 1 ok inval"},
        // Parameters: names are exact, the last of a name counts, an array
        // of other than strings counts as none, a missing value fails the
        // call (and a failed store keeps no identifier).
        SPINRow{
            "S1 set C P a Action=None,Action=Authenticate; S1 has C P IsACRPINAlways=Yes; S1 "
            "set C P b u2; S1 has C P IsACRPINAlways=Yes",
            "ok 1 ok 0", 0, 0, 0, 2,
            "CInternalAuthStore::GetAdditionalParameters bad VARTYPE for pAdditionalParameters"},
        SPINRow{"S1 set C P a action=Authenticate; S1 get C P IsACRPINAlways=Yes; S1 set C P a "
                "odd; S1 has C P odd; count",
                "ok a:0@1 badindex badindex 1/1", 0, 0, 0, 1,
                "CInternalAuthStore::SetInternalPIN GetAdditionalParameters failed"},
        // Expiry: 0 minutes is 5 s; a read restarts the lifetime, a test does
        // not; no expiry leaves no timer.
        SPINRow{"S1 set C P a; wait 4; S1 get C P; wait 4; S1 has C P; wait 1; S1 has C P; count",
                "ok a:1@1 1 inval 0/1", 0, 0, 0, 2,
                "CInternalAuthStore::SetInternalTimer timeout = 5 s"},
        SPINRow{"S1 set C P a; wait 60; S1 get C P; wait 60; S1 get C P; wait 60; S1 has C P; wait "
                "60; S1 has C P",
                "ok a:1@1 a:1@1 1 inval", 0, 2, 0, 2,
                "CInternalAuthStore::SetInternalTimer timeout = 120 s"},
        SPINRow{"S1 set C P a; count; wait 100000; S1 has C P", "ok 1/0 1", 0, kNoExpiry},
        // An expired timer goes at the next arming or compartment removal.
        SPINRow{"S1 set C P a; wait 5; count; S1 set D P b; count; wait 5; count; S1 rmc D; count",
                "ok 0/1 ok 1/1 0/1 ok 0/0"},
        // A timer firing after its session was flushed changes nothing.
        SPINRow{"S1 set C P a; end 1; S1 has C P; wait 3; S1 set D P b; wait 3; S1 get D P",
                "ok ok inval ok b:1@2", 0, 0, 0, 1,
                "CInternalAuthStore::RemovePINData RemoveData failed"},
        // Sessions: moved records keep answering to their identifiers and
        // expire under their new name; unavailable sessions and pid 0 fail.
        SPINRow{
            "S1 set C P a; move 1 3; S3 gets C P $1; S3 get C P; S1 has C P; wait 5; S3 has C P",
            "ok ok a:1 a:1@1 inval inval"},
        SPINRow{"S1 set C P a; off 1; S1 get C P; S1 set C Q b; S2 get C P; S1 gets C P $1",
                "ok ok fail:0 fail inval:0 a:1", 0, 0, 0, 1,
                "CInternalAuthStore::GetSessionId GetAvailabilityStoreFromSessionId returned "
                "bAvailabled = FALSE"},
        // Bad input and the protected form in the tree.
        // An ended store has no tree: every operation fails, none crashes.
        SPINRow{"S1 set C P a; stop; S1 get C P; S1 set C P a; S1 rm C P; S1 rmc C; S1 flush; end "
                "1; move 1 2",
                "ok ok fail:0 fail fail fail fail fail fail"},
        SPINRow{"S1 set C P secretpin; S1 get0 C P; S1 set '' P a; S1 flush odd; S1 has C P; raw "
                "secretpin",
                "ok inval:9 inval badindex 1 sealed"},
        // A null name or value keeps the one before it; an empty one fails.
        SPINRow{"S1 set C P a Action=Authenticate,Action=~; S1 has C P IsACRPINAlways=Yes; S1 set "
                "C Q b Action=None,~=Authenticate; S1 has C Q IsACRPINAlways=Yes; S1 set C P b "
                "Action=''; S1 has C P ''=Yes",
                "ok 1 ok 1 inval inval", 0, 0, 0, 1,
                "CInternalAuthStore::GetAdditionalParameters wrong parameter in "
                "pAdditionalParameters"},
        // A new timeout applies to the timers armed after it.
        SPINRow{"S1 set C P a; tmo 2; S1 set C Q b; wait 5; S1 has C P; S1 has C Q; wait 115; S1 "
                "has C Q",
                "ok ok inval 1 inval"},
        SPINRow{"S1 set C P a; dmg 0; S1 get C P; S1 set C P b; dmg -1; S1 get C P; S1 has C P",
                "ok fail:1 ok fail:1 1", 0, 0, 0, 1,
                "CInternalAuthStore::GetInternalPIN DecryptValue failed"}),
    [](const testing::TestParamInfo<SPINRow>& info) { return std::to_string(info.index); });

// A callback whose timer was cancelled under the store lock (as when the
// record is removed while the callback waits for the lock) removes nothing;
// one that was not removes its record.
TEST(PINTimerCallbackTest, CancelledCallbackDoesNothing) {
  for (const bool bCancelled : {true, false}) {
    CScriptedMachine machine;
    CScriptedSettings settings;
    CScriptedTimerService timers;
    CHistoryUse history;
    machine.Process(1001).dwSessionId = 1;
    CInternalAuthStore store;
    ASSERT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
    CScopedBSTR id;
    ASSERT_EQ(
        store.SetPIN(1001, B("C").Get(), B("P").Get(), MakeBytes({1}).Get(), nullptr, id.Receive()),
        S_OK);
    CTimerCallbackFunction callback(
        new TimerCallbackData{&store, 1001, B("C").Release(), B("P").Release(),
                              SysAllocStringLen(id.Get(), SysStringLen(id.Get()))});
    if (bCancelled) callback.Cancel();
    EXPECT_TRUE(callback.OnTimerExpired());
    INT nState = 9;
    EXPECT_EQ(store.IsPINCached(1001, B("C").Get(), B("P").Get(), nullptr, nullptr, &nState),
              bCancelled ? S_OK : E_INVALIDARG);
    store.End();
  }
}

}  // namespace

// Clients of two sessions store and read PINs while their timers fire on the
// timer thread (the real one, on the scripted clock); every answer is a PIN
// or "not found". Once the clock passes every lifetime all records are
// gone; records stored then end with the store while
// their callbacks may be due.
TEST(PINStoreConcurrencyTest, ClientsAndExpiryShareTheStore) {
  CScriptedMachine machine;
  CScriptedSettings settings;
  CHistoryUse history;
  machine.Process(1001).dwSessionId = 1;
  machine.Process(1002).dwSessionId = 2;
  auto store = std::make_unique<CInternalAuthStore>();
  ASSERT_EQ(store->Begin(B("{PIN}").Get()), S_OK);
  std::atomic<int> cUnexpected{0};
  auto client = [&](ULONG pid) {
    for (int i = 0; i < 40; ++i) {
      const CScopedBSTR c = B("C"), p = B(std::to_string(i % 8));
      CScopedBSTR id;
      CScopedSafeArray v;
      INT nState = 0;
      cUnexpected +=
          store->SetPIN(pid, c.Get(), p.Get(), MakeBytes({7}).Get(), nullptr, id.Receive()) != S_OK;
      const HRESULT hr =
          store->GetPIN(pid, c.Get(), p.Get(), nullptr, v.Receive(), nullptr, &nState);
      cUnexpected += hr != S_OK && hr != E_INVALIDARG;
    }
  };
  std::thread a(client, 1001), b(client, 1002);
  for (int i = 0; i < 20; ++i) machine.Advance(1000);
  a.join();
  b.join();
  EXPECT_EQ(cUnexpected.load(), 0);
  machine.Advance(5000);
  ASSERT_TRUE(machine.AwaitWaiters(1));
  for (int i = 0; i < 16; ++i) {
    INT nState = 0;
    EXPECT_EQ(store->IsPINCached(1001 + i / 8, B("C").Get(), B(std::to_string(i % 8)).Get(),
                                 nullptr, nullptr, &nState),
              E_INVALIDARG);
  }
  std::thread c(client, 1001);
  machine.Advance(5000);
  c.join();
  machine.Advance(5000);
  EXPECT_EQ(store->End(), S_OK);
  store.reset();
  ASSERT_TRUE(machine.AwaitWaiters(1));
}

// Clients of sessions 1 and 2 store and read PINs while another thread
// flushes, takes away and gives back, and moves those sessions and moves the
// clock (the timers fire on the timer thread); every answer is a PIN, "not
// found" or "session unavailable". The PINs of session 3, stored before
// with no expiry and touched by none of that, stay readable throughout.
TEST(PINStoreConcurrencyTest, ClientsAlongsideSessionEventsAndExpiry) {
  CScriptedMachine machine;
  CScriptedSettings settings;
  CHistoryUse history;
  for (DWORD s = 1; s <= 3; ++s) machine.Process(1000 + s).dwSessionId = s;
  CInternalAuthStore store;
  ASSERT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  settings.Set(U("Kelmyr.Authentication.Timeout"), 0x80000000);
  for (int i = 0; i < 4; ++i) {
    CScopedBSTR id;
    ASSERT_EQ(store.SetPIN(1003, B("C").Get(), B(std::to_string(i)).Get(), MakeBytes({3}).Get(),
                           nullptr, id.Receive()),
              S_OK);
  }
  settings.Set(U("Kelmyr.Authentication.Timeout"), 0);
  std::atomic<int> cUnexpected{0};
  auto client = [&](ULONG pid) {
    for (int i = 0; i < 60; ++i) {
      const CScopedBSTR c = B("C"), p = B(std::to_string(i % 4));
      CScopedBSTR id;
      CScopedSafeArray v;
      INT nState = 0;
      HRESULT hr = pid == 1003 ? S_OK
                               : store.SetPIN(pid, c.Get(), p.Get(), MakeBytes({7}).Get(), nullptr,
                                              id.Receive());
      cUnexpected += hr != S_OK && hr != E_FAIL;
      hr = pid == 1003
               ? store.IsPINCached(pid, c.Get(), p.Get(), nullptr, nullptr, &nState)
               : store.GetPIN(pid, c.Get(), p.Get(), nullptr, v.Receive(), nullptr, &nState);
      cUnexpected += pid == 1003 ? hr != S_OK : hr != S_OK && hr != E_INVALIDARG && hr != E_FAIL;
    }
  };
  std::thread a(client, 1001), b(client, 1002), c(client, 1003);
  for (int i = 0; i < 30; ++i) {
    const HRESULT hr = i % 4 == 0   ? store.FlushStoreFromSessionId(1 + i % 2)
                       : i % 4 == 1 ? store.SetAvailabilityStoreFromSessionId(1 + i % 2, i % 8 > 4)
                       : i % 4 == 2 ? store.MoveStore(1 + i % 2, 2 - i % 2)
                                    : (machine.Advance(3000), S_OK);
    cUnexpected += FAILED(hr);
  }
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(cUnexpected.load(), 0);
  EXPECT_EQ(store.End(), S_OK);
}

// Holds the store, at the first line of the given format it logs (inside
// the store lock), until an expiry callback, due meanwhile, has started on
// the timer thread and goes for the lock.
class CExpiryRaceSink final : public ILogSink {
 public:
  CExpiryRaceSink(CScriptedMachine& machine, const OLECHAR* pszHold)
      : m_machine(machine),
        m_hold(pszHold),
        m_mask(qvlogGetLevelMask()),
        m_pPrevious(qvlogInstallSink(this)) {
    qvlogSetLevelMask(kLogAllLevels);
  }
  ~CExpiryRaceSink() override {
    qvlogInstallSink(m_pPrevious);
    qvlogSetLevelMask(m_mask);
  }
  void Write(const CLogRecord& record) noexcept override {
    const std::basic_string<OLECHAR> format(record.pszFormat);
    if (format == OLESTR("CInternalAuthStore::RemoveExpiredPINFromPINSessionId")) {
      std::lock_guard lock(m_lock);
      ++cStarted;
      m_bCallbackStarted = true;
      m_started.notify_all();
    } else if (format == m_hold && !m_bHeld.exchange(true)) {
      m_machine.Advance(5000);
      std::unique_lock lock(m_lock);
      bRaced =
          m_started.wait_for(lock, std::chrono::seconds(10), [&] { return m_bCallbackStarted; });
    } else if (format == OLESTR("CInternalAuthStore::RemoveExpiredPINFromPINSessionId timer "
                                "cancelled")) {
      bCancelled = true;
    }
  }
  std::atomic<bool> bRaced{false}, bCancelled{false};
  std::atomic<int> cStarted{0};  // callbacks that reached the store

 private:
  CScriptedMachine& m_machine;
  const std::basic_string<OLECHAR> m_hold;
  const uint32_t m_mask;
  ILogSink* m_pPrevious;
  std::mutex m_lock;
  std::condition_variable m_started;
  bool m_bCallbackStarted = false;
  std::atomic<bool> m_bHeld{false};
};

// A record removed while its expiry callback waits for the store lock, then
// stored again: the removal destroys the timer, and the callback, once it
// has the lock, finds itself cancelled and leaves the new record alone.
TEST(PINStoreConcurrencyTest, CallbackWaitingForTheLockOfARemovalSparesTheRecordStoredAgain) {
  CScriptedMachine machine;
  CScriptedSettings settings;
  CHistoryUse history;
  machine.Process(1001).dwSessionId = 1;
  CInternalAuthStore store;
  ASSERT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  CScopedBSTR id;
  ASSERT_EQ(
      store.SetPIN(1001, B("C").Get(), B("P").Get(), MakeBytes({1}).Get(), nullptr, id.Receive()),
      S_OK);
  {
    CExpiryRaceSink race(machine, OLESTR("CInternalAuthStore::RemovePINData"));
    EXPECT_EQ(store.RemovePIN(1001, B("C").Get(), B("P").Get(), nullptr), S_OK);
    EXPECT_EQ(
        store.SetPIN(1001, B("C").Get(), B("P").Get(), MakeBytes({2}).Get(), nullptr, id.Receive()),
        S_OK);
    ZU::Framework::ITimer::WaitForRunningCallbacks();
    EXPECT_TRUE(race.bRaced);
    EXPECT_TRUE(race.bCancelled);
  }
  INT nState = 0;
  EXPECT_EQ(store.IsPINCached(1001, B("C").Get(), B("P").Get(), nullptr, nullptr, &nState), S_OK);
  EXPECT_EQ(store.End(), S_OK);
}

// End with armed timers while one callback, started before End took the
// lock, waits for it: End returns once that callback has returned without
// effect, and no other callback reaches the store afterwards.
TEST(PINStoreConcurrencyTest, EndCancelsTheCallbackUnderWayAndTheArmedTimers) {
  CScriptedMachine machine;
  CScriptedSettings settings;
  CHistoryUse history;
  machine.Process(1001).dwSessionId = 1;
  CInternalAuthStore store;
  ASSERT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  for (const char* pszPIN : {"P", "Q", "R"}) {
    CScopedBSTR id;
    ASSERT_EQ(store.SetPIN(1001, B("C").Get(), B(pszPIN).Get(), MakeBytes({1}).Get(), nullptr,
                           id.Receive()),
              S_OK);
  }
  CExpiryRaceSink race(machine, OLESTR("CInternalAuthStore::End pTimer = %p"));
  EXPECT_EQ(store.End(), S_OK);
  EXPECT_TRUE(race.bRaced);
  EXPECT_TRUE(race.bCancelled);
  machine.Advance(600000);
  ASSERT_TRUE(machine.AwaitWaiters(1));
  EXPECT_EQ(race.cStarted.load(), 1);
}
