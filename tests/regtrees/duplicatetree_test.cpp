// The duplicate tree on a registry laid out by the test: what each operation
// removes from the machine copy, the client's low-integrity copy and the
// copies in (nested) app containers of the client's user, and its result;
// and the bounds of the container copies' key deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "common/registry_test_key.h"
#include "common/scripted_machine.h"
#include "support/scopedsafearray.h"
#include "trees/duplicateregistrytree.h"
#include "trees/tree_test_util.h"

namespace {

// Layout notation, one entry per key that has values or no subkeys, each
// followed by its value names in braces, "/" separating keys: M:<path> below
// the machine copy's tree key, L:<path> below the low copy's, A:<path> below
// the client's container list, where "~" stands for the store path of a
// container's copy.
constexpr DWORD kClient = 77, kGone = 78;

struct SRow {
  char op;  // s SetData, d RemoveData, c RemoveCompartment, f FlushTree
  bool bGoneClient;
  std::string compartment, before;
  HRESULT hr;
  std::string after;
  const char* advanced = "";  // the history key (below the tree id) not at 0, with its counters
};

const std::string kLong(196, 'x');  // makes the machine path 250 units, a container's 258
const SRow kRows[] = {
    // set writes the machine copy only
    {'s', true, "1/A", "", S_OK, "M:1/A{v}"},
    // absent from the machine copy: nothing else is touched
    {'d', false, "1/A", "M:1/A{w} L:1/A{v} A:c1/~/1/A{v}", E_INVALIDARG,
     "A:c1/~/1/A{v} L:1/A{v} M:1/A{w}"},
    // every copy, direct and nested; a container without one is not reported
    {'d', false, "1/A", "M:1/A{v} L:1/A{v} A:c1/~/1/A{v} A:c2/Children/n1/~/1/A{v} A:a0/~/1{v}",
     S_OK, "A:a0/~/1{v} A:c1/~/1/A{} A:c2/Children/n1/~/1/A{} L:1/A{} M:1/A{}"},
    // of two nested copies below one container the first goes
    {'d', false, "1", "M:1{v} A:c1/Children/n1/~/1{v} A:c1/Children/n2/~/1{v}", S_OK,
     "A:c1/Children/n1/~/1{} A:c1/Children/n2/~/1{v} M:1{}"},
    // a client without a user: the low step's failure after the machine copy
    {'d', true, "1", "M:1{v} L:1{v} A:c1/~/1{v}", E_ACCESSDENIED, "A:c1/~/1{v} L:1{v} M:1{}"},
    // a store path too long for the containers
    {'d', false, "1/" + kLong, "M:1/" + kLong + "{v} A:c1/~/1/" + kLong + "{v}", S_OK,
     "A:c1/~/1/" + kLong + "{v} M:1/" + kLong + "{}"},
    // compartment: only the machine copy advances its descendants
    {'c', false, "1/A", "M:1/A/B{v} M:2{v} L:1/A/C{v} A:c1/~/1/A/D{v} A:c2/Children/n1/~/1/A{}",
     S_OK, "A:c1/~/1{} A:c2/Children/n1/~/1{} L:1{} M:1{} M:2{v}", "1/A/B=1,1"},
    // compartment absent from the machine copy
    {'c', false, "1/A", "M:1{} L:1/A{v} A:c1/~/1/A{v}", E_INVALIDARG,
     "A:c1/~/1/A{v} L:1/A{v} M:1{}"},
    // flush: every copy
    {'f', false, "", "M:1{v} M:2{} L:1{v} A:c1/~/1{v} A:c2/Children/n1/~{}", S_OK, ""},
    // flush without a low copy reports its failure
    {'f', false, "", "M:1{v} A:c1/~{}", E_FAIL, ""},
};

std::string SortedJoin(std::vector<std::string> items, const char* pszSeparator = " ") {
  std::sort(items.begin(), items.end());
  std::string s;
  for (size_t i = 0; i < items.size(); ++i) s += (i ? pszSeparator : "") + items[i];
  return s;
}

// The keys at or below path (their paths from it in below, "/" separating
// levels) that have values or no subkeys, each followed by its value names.
void Leaves(HKEY hRoot, const WString& path, const std::string& below,
            std::vector<std::string>& leaves) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &hKey)) return;
  WCHAR sz[256];
  std::vector<std::string> values, subkeys;
  for (DWORD i = 0, cch = 256; !RegEnumValueW(hKey, i, sz, &cch, 0, 0, 0, 0); ++i, cch = 256)
    values.emplace_back(sz, sz + cch);
  for (DWORD i = 0, cch = 256; !RegEnumKeyExW(hKey, i, sz, &cch, 0, 0, 0, 0); ++i, cch = 256)
    subkeys.emplace_back(sz, sz + cch);
  RegCloseKey(hKey);
  if (subkeys.empty() || !values.empty())
    leaves.push_back(below + "{" + SortedJoin(values, ",") + "}");
  for (const std::string& sub : subkeys)
    Leaves(hRoot, path + Widen("\\" + sub), below.empty() ? sub : below + "/" + sub, leaves);
}

// A place of a test's copies, by its tag in the notation: its key, and what
// "~" stands for below it.
struct SPlace {
  HKEY hRoot;
  WString base;
  std::string tilde;
};

using Places = std::map<char, SPlace>;

void Build(const Places& places, const std::string& sLayout) {
  std::istringstream entries(sLayout);
  for (std::string entry; entries >> entry;) {
    const SPlace& place = places.at(entry[0]);
    const size_t open = entry.find('{');
    std::string path = entry.substr(2, open - 2);
    if (const size_t at = path.find('~'); at != std::string::npos) path.replace(at, 1, place.tilde);
    std::replace(path.begin(), path.end(), '/', '\\');
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(place.hRoot, (place.base + Widen("\\" + path)).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    for (size_t v = open + 1; v + 1 < entry.size(); v += 2)  // one-letter names
      RegSetValueExW(hKey, Widen(entry.substr(v, 1)).c_str(), 0, REG_NONE, nullptr, 0);
    RegCloseKey(hKey);
  }
}

// The layout in the notation above, entries sorted. The machine and low
// copies are read from their tree keys only: other tests may change other
// trees meanwhile. A container's keys outside its copy are left out.
std::string Dump(const Places& places) {
  std::vector<std::string> entries;
  for (const auto& [tag, place] : places) {
    std::vector<std::string> leaves;
    Leaves(place.hRoot, place.base, "", leaves);
    for (std::string& leaf : leaves) {
      const size_t at = leaf.find(place.tilde);  // 0 for the machine and low copies
      if (at == std::string::npos) continue;
      if (!place.tilde.empty()) leaf.replace(at, place.tilde.size(), "~");
      entries.push_back(tag + (":" + leaf));
    }
  }
  return SortedJoin(entries);
}

TEST(DuplicateRegistryTreeTest, RemovalsReachEveryCopyOfTheClientsUser) {
  CScratchHive hive;
  // Ten units, whatever the process id.
  const std::string sTreeId = "D" + std::to_string(GetCurrentProcessId() % 100000000 + 100000000);
  const WString sSid = Widen("S-1-5-21-7-7-7-" + std::to_string(GetCurrentProcessId()));
  CScriptedMachine machine;
  machine.Process(kClient).user = sSid;
  machine.Process(kGone).bGone = true;
  const std::string sStore = "Orvane\\Kelmyr\\RemanentDataStore\\" + sTreeId;
  const Places places = {{'M', {HKEY_LOCAL_MACHINE, Widen("Software\\" + sStore), ""}},
                         {'L', {HKEY_USERS, sSid + Widen("\\Software\\AppDataLow\\" + sStore), ""}},
                         {'A',
                          {HKEY_USERS,
                           sSid + Widen("_Classes\\Local Settings\\Software\\Microsoft\\Windows\\"
                                        "CurrentVersion\\AppContainer\\Storage"),
                           "Software/AppData/Orvane/Kelmyr/RemanentDataStore/" + sTreeId}}};
  const auto clear = [&] {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, places.at('M').base.c_str());
    RegDeleteTreeW(HKEY_USERS, sSid.c_str());
    RegDeleteTreeW(HKEY_USERS, (sSid + Widen("_Classes")).c_str());
  };
  for (const SRow& row : kRows) {
    SCOPED_TRACE(testing::Message() << "row " << &row - kRows);
    clear();
    Build(places, row.before);
    CHistoryUse history;
    CDuplicateRegistryTree tree(U(sTreeId));
    const secwstring sCompartment = U(row.compartment), sData = U("v");
    const DWORD dwPid = row.bGoneClient ? kGone : kClient;
    EXPECT_EQ(row.op == 's'   ? tree.SetData(sCompartment, sData, MakeBytes({1}).Get(), dwPid, TRUE)
              : row.op == 'd' ? tree.RemoveData(sCompartment, sData, dwPid)
              : row.op == 'c' ? tree.RemoveCompartment(sCompartment, FALSE, dwPid)
                              : tree.FlushTree(dwPid),
              row.hr);
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
    std::string path, keys, left;  // left: the keys still there
    BOOL bDeleted;
  } rows[] = {
      {"", "T:a/b{}", "T:a/b{}", FALSE},          // never the root itself
      {"a", "T:a/b/c{} T:a/d{}", "T:{}", TRUE},   // every level below
      {"a", "T:a/" + s248 + "{}", "T:{}", TRUE},  // a name filling the buffer
      {"a", "T:a/b{} T:a/" + s249 + "{}", "T:a/" + s249 + "{}", FALSE},  // one unit longer
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << &row - rows);
    CTestKey key;
    const Places places = {{'T', {HKEY_CURRENT_USER, key.Path(), ""}}};
    Build(places, row.keys);
    CClearAppContainerTree tree(OLESTR("T"));
    EXPECT_EQ(tree.RegDelTree(key.Get(), Widen(row.path).c_str()), row.bDeleted);
    EXPECT_EQ(Dump(places), row.left);
  }
}

}  // namespace
