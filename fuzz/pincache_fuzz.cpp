// Clients of the PIN store's COM object with anything in their arguments:
// additional parameter arrays of any element type and length (odd counts,
// null and empty strings, names that almost match), identifiers of any
// characters or ones the store issued, null arguments; between the calls
// the clock moves (timers expire) and sessions are flushed, made
// unavailable and moved. Every call must answer S_OK with one of the
// outcomes the store documents, and the store must end with nothing left.
//
// Input: the first byte chooses the settings and whether a manager is
// exported (the object then leaves its arguments to the caller); then each
// call is an operation byte followed by the bytes its arguments take.
#include <windows.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "datastore/storeownership.h"
#include "pincache/authstore.h"
#include "pincache/pin_calls.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "trees/history.h"

namespace {

void Check(bool bCondition) {
  if (!bCondition) __builtin_trap();
}

class CInput {
 public:
  CInput(const uint8_t* p, size_t cb) : m_p(p), m_end(p + cb) {}
  bool More() const { return m_p < m_end; }
  uint8_t Byte() { return m_p < m_end ? *m_p++ : 0; }

  // Null, one the store issued, or up to 7 characters of any value.
  CScopedBSTR String(const std::vector<CScopedBSTR>& issued) {
    const uint8_t b = Byte();
    if (b == 0xFF) return CScopedBSTR();
    if (b >= 0xF0 && !issued.empty()) {
      const BSTR bstr = issued[b % issued.size()].Get();
      return CScopedBSTR(SysAllocStringLen(bstr, SysStringLen(bstr)));
    }
    std::vector<OLECHAR> text(b % 8);
    for (OLECHAR& ch : text) {
      const uint8_t x = Byte();
      ch = static_cast<OLECHAR>(x < 0xF0 ? 'A' + x % 4 : Byte() << 8 | Byte());
    }
    return CScopedBSTR(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  }

  // No array, one of another element type, or strings: the names and
  // values the store knows, their case changed, null, empty, or any.
  CScopedSafeArray Parameters() {
    static const OLECHAR* const kWords[] = {
        OLESTR("Action"),     OLESTR("Authenticate"),   OLESTR("ChangeAuthenticator"),
        OLESTR("AllProcess"), OLESTR("AllSession"),     OLESTR("True"),
        OLESTR("False"),      OLESTR("IsACRPINAlways"), OLESTR("Yes"),
        OLESTR("action"),     OLESTR("BypassPINAlways")};
    static const VARTYPE kTypes[] = {VT_BSTR, VT_BSTR, VT_I4, VT_UI2, VT_VARIANT, VT_UI1};
    const uint8_t b = Byte();
    if (b % 7 == 6) return CScopedSafeArray();
    const ULONG cItems = (b >> 3) % 8;
    CScopedSafeArray psa(SafeArrayCreateVector(kTypes[b % 7], 0, cItems));
    for (LONG i = 0; kTypes[b % 7] == VT_BSTR && i < static_cast<LONG>(cItems); ++i) {
      const uint8_t w = Byte();
      const CScopedBSTR item = w < 11 ? CScopedBSTR(SysAllocString(kWords[w])) : String({});
      if (w != 11) SafeArrayPutElement(psa.Get(), &i, item.Get());
    }
    return psa;
  }

 private:
  const uint8_t* m_p;
  const uint8_t* m_end;
};

bool Documented(HRESULT hr, ULONG ulPID) {
  return hr == S_OK || hr == E_INVALIDARG || hr == E_FAIL || hr == DISP_E_BADINDEX ||
         hr == E_OUTOFMEMORY || (hr == E_ACCESSDENIED && ulPID == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvlogSetLevelMask(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CInput in(data, size);
  CScriptedCallContext context;
  context.bSecurityEnabled = VARIANT_FALSE;
  CScriptedMachine machine;
  machine.pCallContext = &context;
  for (const DWORD pid : {100u, 200u, 300u}) {
    machine.Process(pid).dwSessionId = pid / 300 + 1;
    machine.Process(pid).dwIntegrityRid = SECURITY_MANDATORY_LOW_RID;
  }
  CScriptedSettings settings;
  CScriptedTimerService timers;
  const uint8_t setup = in.Byte();
  settings.Set(OLESTR("Kelmyr.Authentication.AllowPerProcess"), setup & 1);
  settings.Set(OLESTR("Kelmyr.Authentication.Timeout"),
               std::array<LONGLONG, 4>{0, 2, 0x80000000, 0xFFFFFFFF}[(setup >> 1) % 4]);
  settings.Set(OLESTR("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys"),
               (setup >> 3) & 1);
  const bool bExported = setup & 0x10;
  gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&machine) : nullptr;

  AcquireHistoryTree();
  CAuthStore* pStore = new CAuthStore;
  Check(pStore->Begin(CScopedBSTR(SysAllocString(OLESTR("{PIN}"))).Get()) == S_OK);
  CInternalAuthStore& internal = pStore->Internal();
  std::vector<CScopedBSTR> issued;
  while (in.More()) {
    const uint8_t op = in.Byte();
    const ULONG pid = (op >> 4) % 4 * 100;
    if (op % 16 >= 12) {
      const DWORD a = in.Byte() % 3, b = in.Byte() % 3;
      if (op % 16 == 12) machine.Advance(a * 61000);
      const HRESULT hr = op % 16 == 13   ? internal.FlushStoreFromSessionId(a)
                         : op % 16 == 14 ? internal.SetAvailabilityStoreFromSessionId(a, b != 0)
                         : op % 16 == 15 ? internal.MoveStore(a, b)
                                         : S_OK;
      timers.FireDue();
      Check(Documented(hr, 1));
      continue;
    }
    CScopedBSTR c = in.String(issued), p = in.String(issued), s = in.String(issued), id;
    CScopedSafeArray params = in.Parameters(), value;
    const uint8_t cbPIN = in.Byte();
    CScopedSafeArray pin(cbPIN == 0xFF ? nullptr : SafeArrayCreateVector(VT_UI1, 0, cbPIN % 16));
    INT nState = 0, nArg = static_cast<int8_t>(in.Byte());
    SPINCall x{pid,          c.Get(), p.Get(),         s.Get(),      pin.Get(),
               params.Get(), nArg,    value.Receive(), id.Receive(), op & 0x80 ? nullptr : &nState};
    const SPINMethod& m = kPINMethods[op % 16];
    Check(m.call(pStore, x) == S_OK && Documented(x.lRetVal, pid));
    // The object released what it took.
    for (const char ch : std::string_view(bExported ? "" : m.pszTaken)) {
      if (ch == 'v' || ch == 'a') (ch == 'v' ? pin : params).Release();
      if (ch == 'c' || ch == 'p' || ch == 's') (ch == 'c' ? c : ch == 'p' ? p : s).Release();
    }
    if (id.Get() != nullptr) issued.push_back(std::move(id));
  }
  Check(pStore->End() == S_OK);
  Check(timers.Live() == 0);
  Check(pStore->Release() == 0);
  ReleaseHistoryTree();
  gpDataStoreManager = nullptr;
  return 0;
}
