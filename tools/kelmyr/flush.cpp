// kelmyr flush: empties the data stores of one product, or the PIN store,
// through the store manager.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>

#include "commands.h"
#include "serviceclient.h"
#include "support/scopedbstr.h"

int KelmyrFlush(const KelmyrArgs& arguments) {
  KelmyrArgs args = arguments;
  CServiceClient client("flush");
  int exitCode = 0;
  if (!client.TakeOptions(args, &exitCode)) return exitCode;
  if (args.size() != 1) {
    std::fprintf(stderr,
                 "usage: kelmyr flush <product> | --pins  [--pid N | --low] [--module PATH]\n");
    return 2;
  }
  if (!client.Connect()) return 1;
  LONG lRet = S_OK;
  if (args[0] == "--pins") {
    client.Manager()->FlushAuthStores(client.Pid(), &lRet);
    if (FAILED(lRet)) return client.Fail("FlushAuthStores", lRet);
    std::printf("flushed the PIN store\n");
    return 0;
  }
  client.Manager()->FlushDataStores(client.Pid(), Bstr(args[0]).Get(), &lRet);
  if (FAILED(lRet)) return client.Fail("FlushDataStores", lRet);
  std::printf("flushed the data stores of product \"%s\"\n", args[0].c_str());
  return 0;
}
