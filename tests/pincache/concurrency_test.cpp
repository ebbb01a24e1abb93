// The PIN store under concurrent clients, session events and expiry
// callbacks on the timer thread (the real one, on the scripted clock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "pincache/internalauthstore.h"
#include "support/scopedbstr.h"
#include "trees/tree_test_util.h"

namespace {

CScopedBSTR B(const std::string& s) { return CScopedBSTR(SysAllocString(U(s).c_str())); }

// A started store of the processes 1001 to 1003, of sessions 1 to 3, and
// their calls on the PIN of compartment "C".
struct SStarted {
  SStarted() {
    for (DWORD s = 1; s <= 3; ++s) machine.Process(1000 + s).dwSessionId = s;
    EXPECT_EQ(store.Begin(B("{PIN}").Get()), S_OK);
  }
  HRESULT Set(ULONG pid, const std::string& pin) {
    CScopedBSTR id;
    return store.SetPIN(pid, B("C").Get(), B(pin).Get(), MakeBytes({7}).Get(), nullptr,
                        id.Receive());
  }
  HRESULT Get(ULONG pid, const std::string& pin) {
    CScopedSafeArray v;
    INT nState = 0;
    return store.GetPIN(pid, B("C").Get(), B(pin).Get(), nullptr, v.Receive(), nullptr, &nState);
  }
  HRESULT Has(ULONG pid, const std::string& pin) {
    INT nState = 0;
    return store.IsPINCached(pid, B("C").Get(), B(pin).Get(), nullptr, nullptr, &nState);
  }
  CScriptedMachine machine;
  CScriptedSettings settings;
  CHistoryUse history;
  CInternalAuthStore store;
};

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
      m_started.notify_all();
    } else if (format == m_hold && !m_bHeld.exchange(true)) {
      m_machine.Advance(5000);
      std::unique_lock lock(m_lock);
      bRaced = m_started.wait_for(lock, std::chrono::seconds(10), [&] { return cStarted > 0; });
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
  std::atomic<bool> m_bHeld{false};
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
    s.settings.Set(U("Kelmyr.Authentication.Timeout"), 0x80000000);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(s.Set(1003, std::to_string(i)), S_OK);
    s.settings.Set(U("Kelmyr.Authentication.Timeout"), 0);
    std::atomic<int> cUnexpected{0};
    auto client = [&](ULONG pid) {
      for (int i = 0; i < 60; ++i) {
        const std::string pin = std::to_string(i % 4);
        if (pid == 1003) {
          cUnexpected += s.Has(pid, pin) != S_OK;
          continue;
        }
        HRESULT hr = s.Set(pid, pin);
        cUnexpected += hr != S_OK && (!bEvents || hr != E_FAIL);
        hr = s.Get(pid, pin);
        cUnexpected += hr != S_OK && hr != E_INVALIDARG && (!bEvents || hr != E_FAIL);
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
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(cUnexpected.load(), 0);
    if (!bEvents) {
      s.machine.Advance(5000);
      ASSERT_TRUE(s.machine.AwaitWaiters(1));
      for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(s.Has(1001 + i / 4, std::to_string(i % 4)), E_INVALIDARG);
      }
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
    for (const char* pszPIN : {"P", "Q", "R"}) {
      ASSERT_EQ(bEnd || *pszPIN == 'P' ? s.Set(1001, pszPIN) : S_OK, S_OK);
    }
    CExpiryRaceSink race(s.machine, bEnd ? OLESTR("CInternalAuthStore::End pTimer = %p")
                                         : OLESTR("CInternalAuthStore::RemovePINData"));
    if (bEnd) {
      EXPECT_EQ(s.store.End(), S_OK);
      s.machine.Advance(600000);
      ASSERT_TRUE(s.machine.AwaitWaiters(1));
    } else {
      EXPECT_EQ(s.store.RemovePIN(1001, B("C").Get(), B("P").Get(), nullptr), S_OK);
      EXPECT_EQ(s.Set(1001, "P"), S_OK);
      ZU::Framework::ITimer::WaitForRunningCallbacks();
      EXPECT_EQ(s.Has(1001, "P"), S_OK);
    }
    EXPECT_TRUE(race.bRaced && race.bCancelled);
    EXPECT_EQ(race.cStarted.load(), 1);
  }
}
