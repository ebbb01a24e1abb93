// The duplicate tree on a registry laid out by the test: what each operation
// removes from the machine copy, the client's low-integrity copy and the
// copies in (nested) app containers of the client's user, and its result;
// and the bounds of the container copies' key deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/registry_test_key.h"
#include "common/scripted_machine.h"
#include "support/scopedsafearray.h"
#include "trees/duplicateregistrytree.h"
#include "trees/tree_test_util.h"

namespace {

// Layout notation, one entry per key that has values or no subkeys:
// M:<path> below the machine copy's tree key, L:<path> below the low copy's,
// A:<path> below the client's container list, each followed by its value
// names in braces; "/" separates keys. "~" stands for the tree key (for A:
// the store path of a container's copy).
constexpr DWORD kClient = 77, kGone = 78;

struct SRow {
  const char* name;
  char op;  // s SetData, d RemoveData, c RemoveCompartment, f FlushTree
  std::string compartment;
  bool bGoneClient;
  std::string before;
  HRESULT hr;
  std::string after;
  const char* advanced = "";  // the history key (below the tree id) not at 0, with its counters
};

const std::string kLong(196, 'x');  // makes the machine path 250 units, a container's 258
const SRow kRows[] = {
    {"set writes the machine copy only", 's', "1/A", true, "", S_OK, "M:~/1/A{v}"},
    {"machine copy only: the missing copies are ignored", 'd', "1/A", false, "M:~/1/A{v,w}", S_OK,
     "M:~/1/A{w}"},
    {"absent from the machine copy: nothing else is touched", 'd', "1/A", false,
     "M:~/1/A{w} L:~/1/A{v} A:c1/~/1/A{v}", E_INVALIDARG, "A:c1/~/1/A{v} L:~/1/A{v} M:~/1/A{w}"},
    {"every copy, direct and nested; a container without one is not reported", 'd', "1/A", false,
     "M:~/1/A{v} L:~/1/A{v} A:c1/~/1/A{v} A:c2/Children/n1/~/1/A{v} A:a0/~/1{v}", S_OK,
     "A:a0/~/1{v} A:c1/~/1/A{} A:c2/Children/n1/~/1/A{} L:~/1/A{} M:~/1/A{}"},
    {"of two nested copies below one container the first goes", 'd', "1", false,
     "M:~/1{v} A:c1/Children/n1/~/1{v} A:c1/Children/n2/~/1{v}", S_OK,
     "A:c1/Children/n1/~/1{} A:c1/Children/n2/~/1{v} M:~/1{}"},
    {"a client without a user: the low step's failure after the machine copy", 'd', "1", true,
     "M:~/1{v} L:~/1{v} A:c1/~/1{v}", E_ACCESSDENIED, "A:c1/~/1{v} L:~/1{v} M:~/1{}"},
    {"a store path too long for the containers", 'd', "1/" + kLong, false,
     "M:~/1/" + kLong + "{v} A:c1/~/1/" + kLong + "{v}", S_OK,
     "A:c1/~/1/" + kLong + "{v} M:~/1/" + kLong + "{}"},
    {"compartment: only the machine copy advances its descendants", 'c', "1/A", false,
     "M:~/1/A/B{v} M:~/2{v} L:~/1/A/C{v} A:c1/~/1/A/D{v} A:c2/Children/n1/~/1/A{}", S_OK,
     "A:c1/~/1{} A:c2/Children/n1/~/1{} L:~/1{} M:~/1{} M:~/2{v}", "1/A/B=1,1"},
    {"compartment absent from the machine copy", 'c', "1/A", false,
     "M:~/1{} L:~/1/A{v} A:c1/~/1/A{v}", E_INVALIDARG, "A:c1/~/1/A{v} L:~/1/A{v} M:~/1{}"},
    {"flush: every copy", 'f', "", false,
     "M:~/1{v} M:~/2{} L:~/1{v} A:c1/~/1{v} A:c2/Children/n1/~{}", S_OK, ""},
    {"flush without a low copy reports its failure", 'f', "", false, "M:~/1{v} A:c1/~{}", E_FAIL,
     ""},
};

std::string Narrow(const WString& s) { return std::string(s.begin(), s.end()); }
HKEY CreateKey(HKEY hRoot, const WString& path) {
  HKEY hKey = nullptr;
  EXPECT_EQ(RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  return hKey;
}
std::string SortedJoin(std::vector<std::string> items, const char* pszSeparator) {
  std::sort(items.begin(), items.end());
  std::string s;
  for (const std::string& item : items) s += (s.empty() ? "" : pszSeparator) + item;
  return s;
}

// The keys below path (named below, "/" separating levels) that have values
// or no subkeys, each followed by its value names in braces.
void Leaves(HKEY hRoot, const WString& path, const std::string& below,
            std::vector<std::string>& leaves) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &hKey)) return;
  WCHAR sz[256];
  std::vector<std::string> values, subkeys;
  for (DWORD i = 0, cch = 256; !RegEnumValueW(hKey, i, sz, &cch, 0, 0, 0, 0); ++i, cch = 256)
    values.push_back(Narrow(sz));
  for (DWORD i = 0, cch = 256; !RegEnumKeyExW(hKey, i, sz, &cch, 0, 0, 0, 0); ++i, cch = 256)
    subkeys.push_back(Narrow(sz));
  RegCloseKey(hKey);
  if (!below.empty() && (subkeys.empty() || !values.empty()))
    leaves.push_back(below + "{" + SortedJoin(values, ",") + "}");
  for (const std::string& sub : subkeys) {
    Leaves(hRoot, path.empty() ? Widen(sub) : path + Widen("\\" + sub),
           below.empty() ? sub : below + "/" + sub, leaves);
  }
}

// A place of a test's copies: the key below its root, and what "~" stands
// for below it.
struct SPlace {
  char tag;
  HKEY hRoot;
  WString base;
  std::string tilde;
};

void Build(const std::vector<SPlace>& places, const std::string& sLayout) {
  for (size_t pos = 0; pos < sLayout.size();) {
    const size_t open = sLayout.find('{', pos), close = sLayout.find('}', open);
    const SPlace& place = places[std::string("MLA").find(sLayout[pos])];
    std::string path = sLayout.substr(pos + 2, open - pos - 2);
    std::replace(path.begin(), path.end(), '/', '\\');
    path.replace(path.find('~'), 1, place.tilde);
    const HKEY hKey = CreateKey(place.hRoot, place.base + Widen("\\" + path));
    for (size_t v = open + 1; v < close; v += 2) {  // one-letter names
      RegSetValueExW(hKey, Widen(sLayout.substr(v, 1)).c_str(), 0, REG_NONE, nullptr, 0);
    }
    RegCloseKey(hKey);
    pos = close + 2;
  }
}

// The layout in the notation above, entries sorted. The machine and low
// copies are read from their tree keys only: other tests may change other
// trees meanwhile.
std::string Dump(const std::vector<SPlace>& places) {
  std::vector<std::string> entries;
  for (const SPlace& place : places) {
    std::vector<std::string> leaves;
    const std::string start = place.tag == 'A' ? "" : place.tilde;
    Leaves(place.hRoot, place.base + Widen(start.empty() ? "" : "\\" + start), start, leaves);
    std::string tilde = place.tilde;
    std::replace(tilde.begin(), tilde.end(), '\\', '/');
    for (std::string& leaf : leaves) {
      const size_t at = leaf.find(tilde);
      if (at != std::string::npos)
        entries.push_back(place.tag + (":" + leaf.replace(at, tilde.size(), "~")));
    }
  }
  return SortedJoin(entries, " ");
}

TEST(DuplicateRegistryTreeTest, RemovalsReachEveryCopyOfTheClientsUser) {
  CScratchHive hive;
  // Ten units, whatever the process id.
  const std::string sTreeId = "D" + std::to_string(GetCurrentProcessId() % 100000000 + 100000000);
  const WString sSid = Widen("S-1-5-21-7-7-7-" + std::to_string(GetCurrentProcessId()));
  CScriptedMachine machine;
  machine.Process(kClient).user = sSid;
  machine.Process(kGone).bGone = true;
  const std::string sStore = "Orvane\\Kelmyr\\RemanentDataStore";
  const std::vector<SPlace> places = {
      {'M', HKEY_LOCAL_MACHINE, Widen("Software\\" + sStore), sTreeId},
      {'L', HKEY_USERS, sSid + Widen("\\Software\\AppDataLow\\" + sStore), sTreeId},
      {'A', HKEY_USERS,
       sSid + Widen("_Classes\\Local Settings\\Software\\Microsoft\\Windows\\"
                    "CurrentVersion\\AppContainer\\Storage"),
       "Software\\AppData\\" + sStore + "\\" + sTreeId}};
  const auto clear = [&] {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (places[0].base + Widen("\\" + sTreeId)).c_str());
    RegDeleteTreeW(HKEY_USERS, sSid.c_str());
    RegDeleteTreeW(HKEY_USERS, (sSid + Widen("_Classes")).c_str());
  };

  for (const SRow& row : kRows) {
    SCOPED_TRACE(row.name);
    clear();
    Build(places, row.before);
    CHistoryUse history;
    {
      CDuplicateRegistryTree tree(U(sTreeId));
      const secwstring sCompartment = U(row.compartment), sData = U("v");
      const DWORD dwPid = row.bGoneClient ? kGone : kClient;
      CScopedSafeArray value(SafeArrayCreateVector(VT_UI1, 0, 1));
      EXPECT_EQ(row.op == 's'   ? tree.SetData(sCompartment, sData, value.Get(), dwPid, TRUE)
                : row.op == 'd' ? tree.RemoveData(sCompartment, sData, dwPid)
                : row.op == 'c' ? tree.RemoveCompartment(sCompartment, FALSE, dwPid)
                                : tree.FlushTree(dwPid),
                row.hr);
    }
    EXPECT_EQ(Dump(places), row.after);
    EXPECT_EQ(Counted(), *row.advanced ? sTreeId + "/" + row.advanced : "");
  }
  clear();
}

// RegDelTree in its 251-unit buffer, below a key of the test's own: a child
// whose name does not fit behind the path ends the deletion after the
// children before it.
TEST(ClearAppContainerTreeTest, RegDelTreeDeletesWhatFitsItsBuffer) {
  const std::string s248(248, 'k'), s249(249, 'k');
  const struct {
    const char* name;
    std::string path;
    std::vector<std::string> keys;
    BOOL bDeleted;
    std::string left;  // the keys still there
  } rows[] = {
      {"the root itself is never deleted", "", {"a\\b"}, FALSE, "a/b{}"},
      {"every level below", "a", {"a\\b\\c", "a\\d"}, TRUE, ""},
      {"a child name filling the buffer", "a", {"a\\" + s248}, TRUE, ""},
      {"a child name one unit longer", "a", {"a\\b", "a\\" + s249}, FALSE, "a/" + s249 + "{}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CTestKey key;
    for (const std::string& path : row.keys) RegCloseKey(CreateKey(key.Get(), Widen(path)));
    CClearAppContainerTree tree(OLESTR("T"));
    EXPECT_EQ(tree.RegDelTree(key.Get(), Widen(row.path).c_str()), row.bDeleted);
    std::vector<std::string> left;
    Leaves(key.Get(), WString(), "", left);
    EXPECT_EQ(SortedJoin(left, " "), row.left);
  }
}

}  // namespace
