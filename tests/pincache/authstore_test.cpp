// The PIN store's COM object: trust, argument ownership, its interfaces.
#include <gtest/gtest.h>

#include <string>

#include "common/counting_releases.h"
#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "datastore/storeownership.h"
#include "pincache/authstore.h"
#include "support/scopedbstr.h"
#include "trees/tree_test_util.h"

namespace {

CScopedBSTR B(const char* psz) { return CScopedBSTR(SysAllocString(U(psz).c_str())); }

class AuthStoreObjectTest : public testing::Test {
 protected:
  AuthStoreObjectTest() {
    context.bSecurityEnabled = VARIANT_FALSE;  // no caller but a low one is trusted
    machine.pCallContext = &context;
    machine.Process(7).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
    machine.Process(8);
    EXPECT_EQ(pStore->Begin(B("{PIN}").Get()), S_OK);
  }
  ~AuthStoreObjectTest() override {
    gpDataStoreManager = nullptr;
    pStore->End();
    EXPECT_EQ(pStore->Release(), 0u);
  }

  CScriptedCallContext context;
  CScriptedMachine machine;
  CScriptedSettings settings;
  CScriptedTimerService timers;
  CHistoryUse history;
  CAuthStore* pStore = new CAuthStore;
};

// Each method releases the [in] arguments it takes, trusted or not, exactly
// once while no manager came from the export, and never while one did; an
// untrusted caller gets E_ACCESSDENIED as the outcome and S_OK as the result,
// and changes nothing.
TEST_F(AuthStoreObjectTest, ReleasesItsArgumentsOnlyWithoutExportedManager) {
  using FCall = HRESULT (*)(IAuthStore*, ULONG, BSTR*, SAFEARRAY*, SAFEARRAY*, LONG*);
#define ROW(taken, method, ...)                                                         \
  {                                                                                     \
    [](IAuthStore* p, ULONG u, [[maybe_unused]] BSTR* b, [[maybe_unused]] SAFEARRAY* v, \
       SAFEARRAY* a, LONG* l) { return p->method(u, __VA_ARGS__ l); },                  \
        taken                                                                           \
  }
  const struct {
    FCall call;
    std::string sTaken;  // c compartment, p PIN id, s PIN session id, v value, a parameters
  } rows[] = {
      ROW("cpva", SetPIN, b[0], b[1], v, a, nullptr, ),
      ROW("cpsva", SetPINFromPINSessionId, b[0], b[1], b[2], v, a, ),
      ROW("cpa", GetPIN, b[0], b[1], a, nullptr, nullptr, nullptr, ),
      ROW("cpsa", GetPINFromPINSessionId, b[0], b[1], b[2], a, nullptr, nullptr, ),
      ROW("cpa", IsPINCached, b[0], b[1], a, nullptr, nullptr, ),
      ROW("cpsa", IsPINCachedFromPINSessionId, b[0], b[1], b[2], a, nullptr, ),
      ROW("cpa", RemovePIN, b[0], b[1], a, ),
      ROW("cpsa", RemovePINFromPINSessionId, b[0], b[1], b[2], a, ),
      ROW("ca", RemoveCompartment, b[0], a, ),
      ROW("a", FlushStore, a, ),
      ROW("cpa", ChangePINState, b[0], b[1], a, 1, ),
      ROW("cpsa", ChangePINStateFromPINSessionId, b[0], b[1], b[2], a, 1, ),
  };
#undef ROW
  // The stored PIN and its availability, the PIN session identifiers and the
  // timers (armed or expired).
  auto state = [&] {
    CInternalAuthStore& store = pStore->Internal();
    secwstring sSession;
    CScopedSafeArray v;
    INT nState = 9;
    store.GetSessionId(7, sSession);
    store.Tree()->GetData(sSession + U("/C/P"), U("PINValue"), v.Receive(), 7);
    const HRESULT hr = store.IsPINCached(7, B("C").Get(), B("P").Get(), nullptr, nullptr, &nState);
    return (v.Get() ? std::string(static_cast<const char*>(v.Get()->pvData),
                                  v.Get()->rgsabound[0].cElements)
                    : "none") +
           std::to_string(hr) + std::to_string(nState) + std::to_string(store.PINSessionCount()) +
           "/" + std::to_string(timers.Live());
  };
  for (const auto& row : rows) {
    for (const ULONG pid : {7u, 8u}) {  // trusted, untrusted
      for (const bool bExported : {false, true}) {
        CScopedBSTR id;
        ASSERT_EQ(pStore->Internal().SetPIN(7, B("C").Get(), B("P").Get(), MakeBytes({1}).Get(),
                                            nullptr, id.Receive()),
                  S_OK);
        const std::string before = state();
        gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&machine) : nullptr;
        CCountingReleases releases;
        BSTR b[] = {B("C").Release(), B("P").Release(), B("{S}").Release()};
        SAFEARRAY* v = MakeBytes({1}).Release();
        SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, 0, 0);
        LONG lRetVal = 0;
        EXPECT_EQ(row.call(pStore, pid, b, v, a, &lRetVal), S_OK);
        EXPECT_EQ(lRetVal == E_ACCESSDENIED, pid == 8) << row.sTaken;
        if (pid == 8) {
          EXPECT_EQ(state(), before) << row.sTaken;
        }
        EXPECT_EQ(releases.cCallerReleases, bExported ? 0 : static_cast<int>(row.sTaken.size()))
            << row.sTaken;
        // What the method did not take stays the caller's.
        auto kept = [&](char c) { return bExported || row.sTaken.find(c) == std::string::npos; };
        for (int i = 0; i < 3; ++i) {
          if (kept("cps"[i])) SysFreeString(b[i]);
        }
        if (kept('v')) SafeArrayDestroy(v);
        if (kept('a')) SafeArrayDestroy(a);
      }
    }
  }
}

// A trusted client's PIN goes in and comes back through the interface; the
// object answers for its three interfaces only.
TEST_F(AuthStoreObjectTest, ServesTrustedClientsThroughItsInterfaces) {
  gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
  IAuthStore* pAuth = pStore;
  const CScopedBSTR c = B("C"), p = B("P");
  CScopedBSTR id, idRead;
  LONG lRetVal = 1;
  EXPECT_EQ(
      pAuth->SetPIN(7, c.Get(), p.Get(), MakeBytes({4, 2}).Get(), nullptr, id.Receive(), &lRetVal),
      S_OK);
  EXPECT_EQ(lRetVal, S_OK);
  CScopedSafeArray value;
  INT nState = 0;
  EXPECT_EQ(pAuth->GetPIN(7, c.Get(), p.Get(), nullptr, value.Receive(), idRead.Receive(), &nState,
                          &lRetVal),
            S_OK);
  EXPECT_EQ(lRetVal, S_OK);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Get()->rgsabound[0].cElements, 2u);
  EXPECT_EQ(nState, 1);
  EXPECT_EQ(U8(idRead.Get()), U8(id.Get()));
  EXPECT_EQ(U8(id.Get()).size(), 38u);
  ULONG nType = 9;
  BOOL bEncrypted = 9, bShared = 9;
  EXPECT_EQ(pStore->GetStoreInfo(&nType, &bEncrypted, &bShared), S_OK);
  EXPECT_EQ(std::to_string(nType) + std::to_string(bEncrypted) + std::to_string(bShared), "010");
  for (const IID* piid : {&IID_IUnknown, &IID_IDispatch, &IID_IAuthStore, &IID_IDataStore}) {
    void* pv = &machine;
    const HRESULT hr = pStore->QueryInterface(*piid, &pv);
    EXPECT_EQ(hr, piid == &IID_IDataStore ? E_NOINTERFACE : S_OK);
    EXPECT_EQ(pv, SUCCEEDED(hr) ? static_cast<IAuthStore*>(pStore) : nullptr);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(pStore->Release(), 1u);
    }
  }
}

}  // namespace
