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
#include <string>
#include <vector>

#include "pincache/pin_calls.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

struct SInput {
  const uint8_t *p, *end;
  uint8_t Byte() { return p < end ? *p++ : 0; }

  // Null, one the store issued, or up to 7 characters of any value.
  CScopedBSTR String(const std::vector<CScopedBSTR>& issued) {
    const uint8_t b = Byte();
    std::basic_string<OLECHAR> text(b % 8, 0);
    for (OLECHAR& ch : text) {
      const uint8_t x = Byte();
      ch = static_cast<OLECHAR>(x < 0xF0 ? 'A' + x % 4 : Byte() << 8 | Byte());
    }
    if (b >= 0xF0 && !issued.empty()) text = issued[b % issued.size()].Get();
    return CScopedBSTR(b == 0xFF ? nullptr
                                 : SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  }

  // No array, one of another element type, or strings: the names and
  // values the store knows, their case changed, null, empty, or any.
  CScopedSafeArray Parameters() {
    static const OLECHAR* const kWords[] = {
        OLESTR("Action"),     OLESTR("Authenticate"),   OLESTR("ChangeAuthenticator"),
        OLESTR("AllProcess"), OLESTR("AllSession"),     OLESTR("True"),
        OLESTR("False"),      OLESTR("IsACRPINAlways"), OLESTR("Yes"),
        OLESTR("action"),     OLESTR("BypassPINAlways")};
    const uint8_t b = Byte();
    const VARTYPE vt =
        std::array{VT_BSTR, VT_BSTR, VT_I4, VT_UI2, VT_VARIANT, VT_UI1, VT_NULL}[b % 7];
    CScopedSafeArray psa(vt == VT_NULL ? nullptr : SafeArrayCreateVector(vt, 0, (b >> 3) % 8));
    for (LONG i = 0; vt == VT_BSTR && psa.Get() && i < (b >> 3) % 8; ++i) {
      const uint8_t w = Byte();
      const CScopedBSTR item = w < 11 ? CScopedBSTR(SysAllocString(kWords[w])) : String({});
      if (w != 11) SafeArrayPutElement(psa.Get(), &i, item.Get());  // else a null element
    }
    return psa;
  }
};

// An outcome the store documents; an untrusted caller (0) is denied.
bool Documented(HRESULT hr, ULONG ulPID) {
  return hr == S_OK || hr == E_INVALIDARG || hr == E_FAIL || hr == DISP_E_BADINDEX ||
         hr == E_OUTOFMEMORY || (hr == E_ACCESSDENIED && ulPID == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qvlogSetLevelMask(0);
  SInput in{data, data + size};
  SPINWorld world;
  const uint8_t setup = in.Byte();
  world.settings.Set(OLESTR("Kelmyr.Authentication.AllowPerProcess"), setup & 1);
  world.settings.Set(OLESTR("Kelmyr.Authentication.Timeout"),
                     std::array<LONGLONG, 4>{0, 2, 0x80000000, 0xFFFFFFFF}[(setup >> 1) % 4]);
  world.settings.Set(OLESTR("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys"),
                     (setup >> 3) & 1);
  const bool bExported = setup & 0x10;
  gpDataStoreManager = bExported ? reinterpret_cast<IDataStoreManager*>(&world.machine) : nullptr;
  CAuthStore* pStore = new CAuthStore;
  CInternalAuthStore& internal = pStore->Internal();
  if (pStore->Begin(CScopedBSTR(SysAllocString(OLESTR("{PIN}"))).Get()) != S_OK) __builtin_trap();
  std::vector<CScopedBSTR> issued;
  while (in.p < in.end) {
    const uint8_t op = in.Byte();
    const ULONG pid = std::array<ULONG, 4>{0, 1001, 2001, 1002}[(op >> 4) % 4];  // 0: untrusted
    if (op % 16 >= 12) {
      const DWORD a = in.Byte() % 3, b = in.Byte() % 3;
      world.machine.Advance(op % 16 == 12 ? a * 61000 : 0);
      const HRESULT hr = op % 16 == 13   ? internal.FlushStoreFromSessionId(a)
                         : op % 16 == 14 ? internal.SetAvailabilityStoreFromSessionId(a, b != 0)
                         : op % 16 == 15 ? internal.MoveStore(a, b)
                                         : S_OK;
      if (!Documented(hr, 1)) __builtin_trap();
      world.timers->FireDue();
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
    if (m.call(pStore, x) != S_OK || !Documented(x.lRetVal, pid)) __builtin_trap();
    // The object released what it took.
    for (const char ch : std::string(bExported ? "" : m.pszTaken)) {
      if (ch == 'v' || ch == 'a') (ch == 'v' ? pin : params).Release();
      if (ch == 'c' || ch == 'p' || ch == 's') (ch == 'c' ? c : ch == 'p' ? p : s).Release();
    }
    if (id.Get() != nullptr) issued.push_back(std::move(id));
  }
  if (pStore->End() != S_OK || world.timers->Live() != 0 || pStore->Release() != 0)
    __builtin_trap();
  gpDataStoreManager = nullptr;
  return 0;
}
