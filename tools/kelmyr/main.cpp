// kelmyr: the administration tool of the cache service.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct CCommand {
  const char* pszName;
  int (*pfnRun)(const KelmyrArgs&);
  const char* pszHelp;
};

constexpr CCommand kCommands[] = {
    {"demo", KelmyrDemo,
     "exercise the automation layer and the logging channel and print what happened"},
    {"reg", KelmyrReg,
     "query, add, delete, export and import registry keys and values (kelmyr reg /? for more)"},
    {"stores", KelmyrStores,
     "list the data stores with their settings and the PIN store [--pid N | --low]"},
    {"data", KelmyrData,
     "set, get, remove and list the items of a data store, its compartments and versions"},
    {"pin", KelmyrPin,
     "cache a PIN read from standard input, its state (never the PIN), its removal, a flush"},
    {"flush", KelmyrFlush,
     "empty the data stores of a product, or the PIN store: <product> | --pins [--pid N | --low]"},
    {"register", KelmyrRegister,
     "register the component's classes and type library from its module: <path-to-module>"},
    {"unregister", KelmyrUnregister, "remove that registration again: <path-to-module>"},
};

int Usage(std::FILE* out) {
  std::fprintf(out, "usage: kelmyr <command> [arguments]\n\ncommands:\n");
  for (const CCommand& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.pszName, c.pszHelp);
  std::fprintf(out,
               "\nstores, data, pin and flush load the service's module, and take --module PATH "
               "to name it;\notherwise the module registered for the DataStoreManager class "
               "(HKCR\\CLSID\\{FBC297DB-6388-4179-890A-819A1A1FB679}\\InprocServer32),\n"
               "else %s in kelmyr's own folder\n",
#ifdef _WIN32
               "qv.kelmyr.dll"
#else
               "qv.kelmyr.so"
#endif
  );
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(stderr);
  if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0 ||
      std::strcmp(argv[1], "/?") == 0) {
    return Usage(stdout);
  }
  for (const CCommand& c : kCommands) {
    if (std::strcmp(argv[1], c.pszName) == 0) return c.pfnRun(KelmyrArgs(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "kelmyr: unknown command '%s'\n\n", argv[1]);
  return Usage(stderr);
}
