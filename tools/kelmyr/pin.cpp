// kelmyr pin: the state of a cached PIN, its removal, and the flush of the
// PIN store, through the store manager. The PIN itself is never read: the
// state comes from IsPINCached.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>

#include "commands.h"
#include "serviceclient.h"
#include "support/scopedbstr.h"

namespace {

constexpr char kUsage[] =
    "usage: kelmyr pin state|remove <compartment> <PIN id> | flush  [--pid N | --low] [--module "
    "PATH]\n";

}  // namespace

int KelmyrPin(const KelmyrArgs& arguments) {
  KelmyrArgs args = arguments;
  CServiceClient client("pin");
  int exitCode = 0;
  if (!client.TakeOptions(args, &exitCode)) return exitCode;
  const bool bFlush = args.size() == 1 && args[0] == "flush";
  if (!bFlush && (args.size() != 3 || (args[0] != "state" && args[0] != "remove"))) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  if (!client.Connect()) return 1;
  IAuthStore* pStore = nullptr;
  LONG lRet = S_OK;
  client.Manager()->GetAuthStore(
      client.Pid(), CScopedBSTR(SysAllocString(KELMYR_PIN_STORE_ID)).Get(), &pStore, &lRet);
  if (FAILED(lRet)) return client.Fail("GetAuthStore", lRet);
  const ULONG ulPID = client.Pid();
  INT nState = 0;
  if (bFlush) {
    pStore->FlushStore(ulPID, nullptr, &lRet);
  } else if (args[0] == "state") {
    pStore->IsPINCached(ulPID, Bstr(args[1]).Get(), Bstr(args[2]).Get(), nullptr, nullptr, &nState,
                        &lRet);
  } else {
    pStore->RemovePIN(ulPID, Bstr(args[1]).Get(), Bstr(args[2]).Get(), nullptr, &lRet);
  }
  pStore->Release();
  if (lRet == E_INVALIDARG && !bFlush && !args[1].empty() && !args[2].empty()) {
    std::printf("%s/%s: no PIN cached\n", args[1].c_str(), args[2].c_str());
    return args[0] == "state" ? 0 : 1;
  }
  if (FAILED(lRet)) return client.Fail(bFlush ? "FlushStore" : args[0].c_str(), lRet);
  if (bFlush) {
    std::printf("flushed the PIN store\n");
  } else if (args[0] == "remove") {
    std::printf("%s/%s: removed\n", args[1].c_str(), args[2].c_str());
  } else {
    std::printf("%s/%s: cached; a client %s\n", args[1].c_str(), args[2].c_str(),
                nState == 1   ? "gets the cached PIN"
                : nState == 2 ? "asks the user to confirm"
                              : "prompts for the PIN");
  }
  return 0;
}
