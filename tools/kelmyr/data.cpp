// kelmyr data: the items and compartments of one data store, through the
// store manager. Several operations may run in one invocation, separated by
// "+": a memory store lives only as long as the process that hosts the
// service, so only within one invocation can a value set be read again.
//
// Values are one-dimensional vectors given and shown per element type:
// "string" (one BSTR per word), "int" (32-bit numbers), "bytes" (hex pairs).
#include <windows.h>

#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "serviceclient.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/utf8.h"

namespace {

constexpr char kUsage[] =
    "usage: kelmyr data <operation> [+ <operation> ...] [--pid N | --low] [--module PATH]\n"
    "  set <store> <compartment> <item> string|int|bytes <element>...\n"
    "  get|remove <store> <compartment> <item>\n"
    "  list|compartments|versions <store> <compartment>\n";

// The vector "set" stores; false for an unknown type or a malformed element.
bool MakeValue(const std::string& type, const std::vector<std::string>& elements,
               CScopedSafeArray& value) {
  std::vector<BYTE> bytes;
  std::vector<LONG> numbers;
  for (const std::string& e : elements) {
    char* pEnd = nullptr;
    if (type == "int") numbers.push_back(std::strtol(e.c_str(), &pEnd, 0));
    if (type == "bytes" && e.size() % 2 != 0) return false;
    for (size_t i = 0; type == "bytes" && i < e.size(); i += 2) {
      const std::string pair = e.substr(i, 2);
      bytes.push_back(static_cast<BYTE>(std::strtoul(pair.c_str(), &pEnd, 16)));
      if (*pEnd != '\0' || !std::isxdigit(static_cast<unsigned char>(e[i]))) return false;
    }
    if (type == "int" && (e.empty() || *pEnd != '\0')) return false;
  }
  const VARTYPE vt = type == "string" ? VT_BSTR : type == "int" ? VT_I4 : VT_UI1;
  if (vt == VT_UI1 && type != "bytes") return false;
  const size_t n = vt == VT_BSTR ? elements.size() : vt == VT_I4 ? numbers.size() : bytes.size();
  value.Reset(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(n)));
  for (LONG i = 0; value.Get() != nullptr && i < LONG(n); ++i) {
    CScopedBSTR bstr = vt == VT_BSTR ? Bstr(elements[i]) : CScopedBSTR();
    void* pv = vt == VT_BSTR ? static_cast<void*>(bstr.Get())
               : vt == VT_I4 ? static_cast<void*>(&numbers[i])
                             : static_cast<void*>(&bytes[i]);
    if (FAILED(SafeArrayPutElement(value.Get(), &i, pv))) return false;
  }
  return value.Get() != nullptr;
}

// "string: a b", "int: 1 2", "bytes: 01ff", or the element type's number.
std::string ShowValue(SAFEARRAY* psa) {
  VARTYPE vt = VT_EMPTY;
  if (psa == nullptr || FAILED(SafeArrayGetVartype(psa, &vt))) return "(no value)";
  std::string text = vt == VT_BSTR  ? "string:"
                     : vt == VT_I4  ? "int:"
                     : vt == VT_UI1 ? "bytes: "
                                    : "";
  if (text.empty()) return "(elements of type " + std::to_string(vt) + ")";
  for (LONG i = 0; i < LONG(psa->rgsabound[0].cElements); ++i) {
    CScopedBSTR bstr;
    LONG l = 0;
    BYTE b = 0;
    void* pv = vt == VT_BSTR ? static_cast<void*>(bstr.Receive())
               : vt == VT_I4 ? static_cast<void*>(&l)
                             : static_cast<void*>(&b);
    if (FAILED(SafeArrayGetElement(psa, &i, pv))) return text + " (unreadable)";
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    if (vt != VT_UI1) text += ' ';
    text += vt == VT_BSTR ? Utf16ToUtf8(bstr.Get() ? bstr.Get() : OLESTR(""))
            : vt == VT_I4 ? std::to_string(l)
                          : std::string(hex);
  }
  return text;
}

// One operation; the exit code.
int Run(const CServiceClient& client, const KelmyrArgs& op) {
  const std::string name = op.empty() ? "" : op[0];
  const size_t need = name == "set" ? 6 : name == "get" || name == "remove" ? 4 : 3;
  const bool bKnown = name == "set" || name == "get" || name == "remove" || name == "list" ||
                      name == "compartments" || name == "versions";
  if (!bKnown || op.size() < need || (name != "set" && op.size() != need)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  CScopedSafeArray value;
  if (name == "set" && !MakeValue(op[4], KelmyrArgs(op.begin() + 5, op.end()), value)) {
    std::fprintf(stderr, "kelmyr data: unsupported value type or element: %s\n", op[4].c_str());
    return 2;
  }
  const ULONG ulPID = client.Pid();
  IDataStore* pStore = nullptr;
  LONG lRet = S_OK;
  client.Manager()->GetDataStore(ulPID, Bstr(op[1]).Get(), &pStore, &lRet);
  if (FAILED(lRet)) return client.Fail(("GetDataStore " + op[1]).c_str(), lRet);
  CScopedBSTR compartment = Bstr(op[2]), item = Bstr(need > 3 ? op[3] : "");
  CScopedSafeArray list;
  ULONG ulCompartment = 0, ulContent = 0;
  LONG bCached = 0;
  if (name == "set") pStore->SetData(ulPID, compartment.Get(), item.Get(), value.Get(), &lRet);
  if (name == "get") pStore->GetData(ulPID, compartment.Get(), item.Get(), value.Receive(), &lRet);
  if (name == "remove") pStore->RemoveData(ulPID, compartment.Get(), item.Get(), &lRet);
  if (name == "list") pStore->ListDataIds(ulPID, compartment.Get(), list.Receive(), &lRet);
  if (name == "compartments") {
    pStore->ListCompartmentIds(ulPID, compartment.Get(), list.Receive(), &lRet);
  }
  if (name == "versions") {
    pStore->IsCompartmentCached(ulPID, compartment.Get(), &ulCompartment, &ulContent, &bCached,
                                &lRet);
  }
  pStore->Release();
  if (FAILED(lRet)) return client.Fail(name.c_str(), lRet);
  if (name == "get") std::printf("%s\n", ShowValue(value.Get()).c_str());
  if (name == "versions") {
    std::printf("%s: %s, compartment version %lu, content version %lu\n", op[2].c_str(),
                bCached ? "cached" : "not cached", static_cast<unsigned long>(ulCompartment),
                static_cast<unsigned long>(ulContent));
  }
  if (name == "set" || name == "remove")
    std::printf("%s %s/%s: done\n", name.c_str(), op[2].c_str(), op[3].c_str());
  for (const std::string& id : BstrElements(list.Get())) std::printf("%s\n", id.c_str());
  return 0;
}

}  // namespace

int KelmyrData(const KelmyrArgs& arguments) {
  KelmyrArgs args = arguments;
  CServiceClient client("data");
  int exitCode = 0;
  if (!client.TakeOptions(args, &exitCode)) return exitCode;
  const std::vector<KelmyrArgs> ops = SplitOperations(args);
  if (!client.Connect()) return 1;
  for (const KelmyrArgs& op : ops) {
    exitCode = Run(client, op);
    if (exitCode != 0) return exitCode;
  }
  return 0;
}
