// kelmyr stores: the data stores of the service with their settings, and
// the PIN store's identifier, as the store manager reports them to a
// client.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>

#include "commands.h"
#include "serviceclient.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/utf8.h"

namespace {

// The identifiers of a listing, in its order; the failure printed.
bool ListIds(const CServiceClient& client, bool bAuth, std::vector<std::string>& ids, int* pExit) {
  CScopedSafeArray psa;
  LONG lRet = S_OK;
  const ULONG ulPID = client.Pid();
  IDataStoreManager* p = client.Manager();
  const HRESULT hr = bAuth ? p->ListAuthStoreIds(ulPID, psa.Receive(), &lRet)
                           : p->ListDataStoreIds(ulPID, psa.Receive(), &lRet);
  if (FAILED(hr) || FAILED(lRet)) {
    *pExit = client.Fail(bAuth ? "ListAuthStoreIds" : "ListDataStoreIds", FAILED(hr) ? hr : lRet);
    return false;
  }
  ids = BstrElements(psa.Get());
  return true;
}

}  // namespace

int KelmyrStores(const KelmyrArgs& arguments) {
  KelmyrArgs args = arguments;
  CServiceClient client("stores");
  int exitCode = 0;
  if (!client.TakeOptions(args, &exitCode)) return exitCode;
  if (!args.empty()) {
    std::fprintf(stderr, "usage: kelmyr stores [--pid N | --low] [--module PATH]\n");
    return 2;
  }
  if (!client.Connect()) return 1;
  std::vector<std::string> dataIds, authIds;
  if (!ListIds(client, false, dataIds, &exitCode) || !ListIds(client, true, authIds, &exitCode)) {
    return exitCode;
  }
  std::printf("data stores: %zu\n", dataIds.size());
  std::printf("  %-24s %-9s %-10s %-12s %s\n", "ID", "TYPE", "VALUES", "SESSIONS", "PRODUCT");
  for (const std::string& id : dataIds) {
    CScopedBSTR bstrId = Bstr(id), bstrProduct;
    INT nType = 0;
    LONG bEncrypted = 0, bShared = 0, lRet = S_OK;
    client.Manager()->GetDataStoreInfo(client.Pid(), bstrId.Get(), &nType, &bEncrypted, &bShared,
                                       bstrProduct.Receive(), &lRet);
    if (FAILED(lRet)) return client.Fail("GetDataStoreInfo", lRet);
    std::printf("  %-24s %-9s %-10s %-12s %s\n", id.c_str(), nType == 1 ? "registry" : "memory",
                bEncrypted ? "encrypted" : "clear", bShared ? "shared" : "per session",
                bstrProduct.Get() ? Utf16ToUtf8(bstrProduct.Get()).c_str() : "");
  }
  for (const std::string& id : authIds) std::printf("PIN store: %s\n", id.c_str());
  return 0;
}
