// kelmyr pin: caching a PIN, the state of a cached PIN, its removal, and the
// flush of the PIN store, through the store manager. A PIN is never shown:
// "set" reads it from standard input (kept out of the command line and, on a
// terminal, not echoed), and the state comes from IsPINCached.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <termios.h>
#include <unistd.h>
#endif

#include "commands.h"
#include "serviceclient.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

constexpr char kUsage[] =
    "usage: kelmyr pin <operation> [+ <operation> ...] [--pid N | --low] [--module PATH]\n"
    "  operations: set|state|remove <compartment> <PIN id>, flush; set reads the PIN from\n"
    "  standard input (a PIN cached in memory lives as long as the process: chain the\n"
    "  operations that use it with +)\n";

// Echo off while a PIN is typed on a terminal, restored on every path.
class CQuietInput {
 public:
  CQuietInput() {
#ifdef _WIN32
    m_hInput = GetStdHandle(STD_INPUT_HANDLE);
    m_bQuiet = GetConsoleMode(m_hInput, &m_dwMode) &&
               SetConsoleMode(m_hInput, m_dwMode & ~DWORD{ENABLE_ECHO_INPUT});
#else
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &m_mode) == 0) {
      termios quiet = m_mode;
      quiet.c_lflag &= ~tcflag_t{ECHO};
      m_bQuiet = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
#endif
  }
  ~CQuietInput() {
    if (!m_bQuiet) return;
#ifdef _WIN32
    SetConsoleMode(m_hInput, m_dwMode);
#else
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_mode);
#endif
    std::fputc('\n', stderr);
  }
  CQuietInput(const CQuietInput&) = delete;
  CQuietInput& operator=(const CQuietInput&) = delete;
  bool IsQuiet() const { return m_bQuiet; }

 private:
  bool m_bQuiet = false;
#ifdef _WIN32
  HANDLE m_hInput = nullptr;
  DWORD m_dwMode = 0;
#else
  termios m_mode{};
#endif
};

// Zeroes the bytes of a PIN held in a vector of VT_UI1 before it goes.
void WipePin(SAFEARRAY* psa) {
  if (psa != nullptr && psa->pvData != nullptr)
    SecureZeroMemory(psa->pvData, psa->rgsabound[0].cElements);
}

// The first line of standard input (at most kMaxPin bytes) as the PIN's
// bytes, in a vector of VT_UI1. It is read into one fixed buffer, never
// grown, so that its only copy besides the vector is wiped.
constexpr size_t kMaxPin = 256;
HRESULT ReadPin(CScopedSafeArray* pPin) {
  char buffer[kMaxPin];
  size_t cb = 0;
  bool bTooLong = false;
  {
    CQuietInput quiet;
    if (quiet.IsQuiet()) std::fprintf(stderr, "PIN: ");
    for (int c; (c = std::getchar()) != EOF && c != '\n';) {
      if (cb < kMaxPin)
        buffer[cb++] = static_cast<char>(c);
      else
        bTooLong = true;
    }
  }
  if (cb > 0 && buffer[cb - 1] == '\r') --cb;
  HRESULT hr = S_OK;
  if (bTooLong) {
    std::fprintf(stderr, "kelmyr pin: a PIN has at most %zu bytes\n", kMaxPin);
    hr = E_INVALIDARG;
  }
  if (SUCCEEDED(hr)) {
    pPin->Reset(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(cb)));
    hr = pPin->Get() == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  if (SUCCEEDED(hr) && cb != 0) std::memcpy(pPin->Get()->pvData, buffer, cb);
  SecureZeroMemory(buffer, sizeof buffer);
  return hr;
}

// One operation on the PIN store; the exit code.
int Run(const CServiceClient& client, IAuthStore* pStore, const KelmyrArgs& op) {
  const ULONG ulPID = client.Pid();
  const bool bFlush = op[0] == "flush";
  LONG lRet = S_OK;
  INT nState = 0;
  if (bFlush) {
    pStore->FlushStore(ulPID, nullptr, &lRet);
  } else if (op[0] == "set") {
    CScopedSafeArray pin;
    CScopedBSTR session;
    lRet = ReadPin(&pin);
    if (SUCCEEDED(lRet)) {
      pStore->SetPIN(ulPID, Bstr(op[1]).Get(), Bstr(op[2]).Get(), pin.Get(), nullptr,
                     session.Receive(), &lRet);
    }
    WipePin(pin.Get());
  } else if (op[0] == "state") {
    pStore->IsPINCached(ulPID, Bstr(op[1]).Get(), Bstr(op[2]).Get(), nullptr, nullptr, &nState,
                        &lRet);
  } else {
    pStore->RemovePIN(ulPID, Bstr(op[1]).Get(), Bstr(op[2]).Get(), nullptr, &lRet);
  }
  if (lRet == E_INVALIDARG && !bFlush && op[0] != "set" && !op[1].empty() && !op[2].empty()) {
    std::printf("%s/%s: no PIN cached\n", op[1].c_str(), op[2].c_str());
    return op[0] == "state" ? 0 : 1;
  }
  if (FAILED(lRet)) return client.Fail(bFlush ? "FlushStore" : op[0].c_str(), lRet);
  if (bFlush) {
    std::printf("flushed the PIN store\n");
  } else if (op[0] == "state") {
    std::printf("%s/%s: cached; a client %s\n", op[1].c_str(), op[2].c_str(),
                nState == 1   ? "gets the cached PIN"
                : nState == 2 ? "asks the user to confirm"
                              : "prompts for the PIN");
  } else {
    std::printf("%s/%s: %s\n", op[1].c_str(), op[2].c_str(), op[0] == "set" ? "cached" : "removed");
  }
  return 0;
}

}  // namespace

int KelmyrPin(const KelmyrArgs& arguments) {
  KelmyrArgs args = arguments;
  CServiceClient client("pin");
  int exitCode = 0;
  if (!client.TakeOptions(args, &exitCode)) return exitCode;
  const std::vector<KelmyrArgs> ops = SplitOperations(args);
  for (const KelmyrArgs& op : ops) {
    const bool bFlush = op.size() == 1 && op[0] == "flush";
    if (!bFlush && (op.size() != 3 || (op[0] != "state" && op[0] != "remove" && op[0] != "set"))) {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (!client.Connect()) return 1;
  IAuthStore* pStore = nullptr;
  LONG lRet = S_OK;
  client.Manager()->GetAuthStore(
      client.Pid(), CScopedBSTR(SysAllocString(KELMYR_PIN_STORE_ID)).Get(), &pStore, &lRet);
  if (FAILED(lRet)) return client.Fail("GetAuthStore", lRet);
  for (const KelmyrArgs& op : ops) {
    exitCode = Run(client, pStore, op);
    if (exitCode != 0) break;
  }
  pStore->Release();
  return exitCode;
}
