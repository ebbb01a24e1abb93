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

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "datastore/storeownership.h"
#include "pincache/authstore.h"
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

  // No array, an array of numbers, or strings: the names and values the
  // store knows, their case changed, null, empty, or any characters.
  CScopedSafeArray Parameters() {
    static const OLECHAR* const kWords[] = {
        OLESTR("Action"),     OLESTR("Authenticate"),   OLESTR("ChangeAuthenticator"),
        OLESTR("AllProcess"), OLESTR("AllSession"),     OLESTR("True"),
        OLESTR("False"),      OLESTR("IsACRPINAlways"), OLESTR("Yes"),
        OLESTR("action"),     OLESTR("BypassPINAlways")};
    const uint8_t b = Byte();
    if (b % 4 == 0) return CScopedSafeArray();
    const ULONG cItems = (b >> 2) % 8;
    if (b % 4 == 1) return CScopedSafeArray(SafeArrayCreateVector(VT_I4, 0, cItems));
    CScopedSafeArray psa(SafeArrayCreateVector(VT_BSTR, 0, cItems));
    for (LONG i = 0; i < static_cast<LONG>(cItems); ++i) {
      const uint8_t w = Byte();
      const std::vector<CScopedBSTR> none;
      CScopedBSTR item = w < 11 ? CScopedBSTR(SysAllocString(kWords[w])) : String(none);
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
  const LONGLONG kTimeouts[] = {0, 2, 0x80000000, 0xFFFFFFFF};
  settings.Set(OLESTR("Kelmyr.Authentication.Timeout"), kTimeouts[(setup >> 1) % 4]);
  settings.Set(OLESTR("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys"),
               (setup >> 3) & 1);
  const bool bExported = setup & 0x10;
  gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&machine) : nullptr;

  AcquireHistoryTree();
  CAuthStore* pStore = new CAuthStore;
  Check(pStore->Begin(CScopedBSTR(SysAllocString(OLESTR("{PIN}"))).Get()) == S_OK);
  std::vector<CScopedBSTR> issued;
  while (in.More()) {
    const uint8_t op = in.Byte();
    const ULONG pid = (op >> 4) % 4 * 100;
    if (op % 16 >= 12) {
      const DWORD a = in.Byte() % 3, b = in.Byte() % 3;
      CInternalAuthStore& internal = pStore->Internal();
      if (op % 16 == 12) machine.Advance(a * 61000);
      const HRESULT hr = op % 16 == 13   ? internal.FlushStoreFromSessionId(a)
                         : op % 16 == 14 ? internal.SetAvailabilityStoreFromSessionId(a, b != 0)
                         : op % 16 == 15 ? internal.MoveStore(a, b)
                                         : S_OK;
      timers.FireDue();
      Check(Documented(hr, 1));
      continue;
    }
    CScopedBSTR c = in.String(issued), p = in.String(issued), s = in.String(issued);
    CScopedSafeArray params = in.Parameters();
    const uint8_t cbPIN = in.Byte();
    CScopedSafeArray pin(cbPIN == 0xFF ? nullptr : SafeArrayCreateVector(VT_UI1, 0, cbPIN % 16));
    const INT nState = static_cast<int8_t>(in.Byte());
    INT nStateOut = 0;
    INT* pnState = op & 0x80 ? nullptr : &nStateOut;
    CScopedBSTR id;
    CScopedSafeArray value;
    LONG lRetVal = 1;
    IAuthStore* pAuth = pStore;
    SAFEARRAY* a = params.Get();
    HRESULT hr = S_OK;
    // The arguments each method takes over: compartment, PIN id, PIN session
    // id, PIN value, parameters.
    static const char* const kTaken[] = {"cpva", "cpsva", "cpa", "cpsa", "cpa", "cpsa",
                                         "cpa",  "cpsa",  "ca",  "a",    "cpa", "cpsa"};
    switch (op % 16) {
      case 0:
        hr = pAuth->SetPIN(pid, c.Get(), p.Get(), pin.Get(), a, id.Receive(), &lRetVal);
        break;
      case 1:
        hr = pAuth->SetPINFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), pin.Get(), a, &lRetVal);
        break;
      case 2:
        hr = pAuth->GetPIN(pid, c.Get(), p.Get(), a, value.Receive(), id.Receive(), pnState,
                           &lRetVal);
        break;
      case 3:
        hr = pAuth->GetPINFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a, value.Receive(),
                                           pnState, &lRetVal);
        break;
      case 4:
        hr = pAuth->IsPINCached(pid, c.Get(), p.Get(), a, id.Receive(), pnState, &lRetVal);
        break;
      case 5:
        hr = pAuth->IsPINCachedFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a, pnState,
                                                &lRetVal);
        break;
      case 6:
        hr = pAuth->RemovePIN(pid, c.Get(), p.Get(), a, &lRetVal);
        break;
      case 7:
        hr = pAuth->RemovePINFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a, &lRetVal);
        break;
      case 8:
        hr = pAuth->RemoveCompartment(pid, c.Get(), a, &lRetVal);
        break;
      case 9:
        hr = pAuth->FlushStore(pid, a, &lRetVal);
        break;
      case 10:
        hr = pAuth->ChangePINState(pid, c.Get(), p.Get(), a, nState, &lRetVal);
        break;
      default:
        hr = pAuth->ChangePINStateFromPINSessionId(pid, c.Get(), p.Get(), s.Get(), a, nState,
                                                   &lRetVal);
        break;
    }
    Check(hr == S_OK && Documented(lRetVal, pid));
    if (!bExported) {  // the object released what it took
      const std::string_view taken = kTaken[op % 16];
      if (taken.find('c') != taken.npos) c.Release();
      if (taken.find('p') != taken.npos) p.Release();
      if (taken.find('s') != taken.npos) s.Release();
      if (taken.find('v') != taken.npos) pin.Release();
      params.Release();
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
