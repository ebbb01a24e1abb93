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

// The three places of a test's copies, for its tree and its client's user.
class CLayout {
 public:
  CLayout(const WString& sTreeId, const WString& sSid) : m_sTreeId(sTreeId), m_sSid(sSid) {
    const WString sStore = Widen("Orvane\\Kelmyr\\RemanentDataStore");
    m_places = {{'M', HKEY_LOCAL_MACHINE, Widen("Software\\") + sStore, sTreeId},
                {'L', HKEY_USERS, sSid + Widen("\\Software\\AppDataLow\\") + sStore, sTreeId},
                {'A', HKEY_USERS,
                 sSid + Widen("_Classes\\Local Settings\\Software\\Microsoft\\Windows\\"
                              "CurrentVersion\\AppContainer\\Storage"),
                 Widen("Software\\AppData\\") + sStore + Widen("\\") + sTreeId}};
  }
  ~CLayout() { Clear(); }

  void Clear() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Path(m_places[0], m_sTreeId).c_str());
    RegDeleteTreeW(HKEY_USERS, m_sSid.c_str());
    RegDeleteTreeW(HKEY_USERS, (m_sSid + Widen("_Classes")).c_str());
  }

  void Build(const std::string& sLayout) {
    for (size_t pos = 0; pos < sLayout.size();) {
      const size_t open = sLayout.find('{', pos), close = sLayout.find('}', open);
      const SPlace& place = m_places[std::string("MLA").find(sLayout[pos])];
      std::string path = sLayout.substr(pos + 2, open - pos - 2);
      std::replace(path.begin(), path.end(), '/', '\\');
      path.replace(path.find('~'), 1, Narrow(place.tilde));
      const HKEY hKey = CreateKey(place.hRoot, Path(place, Widen(path)));
      const std::string values = sLayout.substr(open + 1, close - open - 1);
      for (size_t v = 0; v < values.size(); v += 2) {  // one-letter names
        RegSetValueExW(hKey, Widen(values.substr(v, 1)).c_str(), 0, REG_NONE, nullptr, 0);
      }
      RegCloseKey(hKey);
      pos = close + 2;
    }
  }

  // The layout in the notation above, entries sorted.
  std::string Dump() const {
    std::vector<std::string> entries;
    // The machine and low copies are read from their tree keys only: other
    // tests may change other trees meanwhile.
    for (const SPlace& place : m_places) {
      DumpKey(place, place.tag == 'A' ? WString() : m_sTreeId, entries);
    }
    return SortedJoin(entries, " ");
  }

 private:
  struct SPlace {
    char tag;
    HKEY hRoot;
    WString base;
    WString tilde;  // what "~" stands for below base
  };

  static WString Path(const SPlace& place, const WString& sBelow) {
    return sBelow.empty() ? place.base : place.base + Widen("\\") + sBelow;
  }

  static void DumpKey(const SPlace& place, const WString& sBelow,
                      std::vector<std::string>& entries) {
    HKEY hKey = nullptr;
    const WString path = Path(place, sBelow);
    if (RegOpenKeyExW(place.hRoot, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &hKey)) return;
    WCHAR szName[256];
    std::vector<std::string> values;
    std::vector<WString> subkeys;
    for (DWORD i = 0, cch = 256;
         RegEnumValueW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, cch = 256) {
      values.push_back(Narrow(szName));
    }
    for (DWORD i = 0, cch = 256;
         RegEnumKeyExW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, cch = 256) {
      subkeys.emplace_back(szName);
    }
    RegCloseKey(hKey);
    std::string entry = Narrow(sBelow);
    const size_t at = entry.find(Narrow(place.tilde));
    if (at != std::string::npos && (subkeys.empty() || !values.empty())) {
      entry.replace(at, place.tilde.size(), "~");
      std::replace(entry.begin(), entry.end(), '\\', '/');
      entries.push_back(place.tag + (":" + entry) + "{" + SortedJoin(values, ",") + "}");
    }
    for (const WString& sub : subkeys) {
      DumpKey(place, sBelow.empty() ? sub : sBelow + Widen("\\") + sub, entries);
    }
  }

  WString m_sTreeId, m_sSid;
  std::vector<SPlace> m_places;
};

TEST(DuplicateRegistryTreeTest, RemovalsReachEveryCopyOfTheClientsUser) {
  CScratchHive hive;
  // Ten units, whatever the process id.
  const WString sTreeId =
      Widen("D" + std::to_string(GetCurrentProcessId() % 100000000 + 100000000));
  const WString sSid = Widen("S-1-5-21-7-7-7-" + std::to_string(GetCurrentProcessId()));
  CScriptedMachine machine;
  machine.Process(kClient).user = sSid;
  machine.Process(kGone).bGone = true;
  CLayout layout(sTreeId, sSid);

  for (const SRow& row : kRows) {
    SCOPED_TRACE(row.name);
    layout.Clear();
    layout.Build(row.before);
    CHistoryUse history;
    {
      CDuplicateRegistryTree tree(secwstring(sTreeId.c_str()));
      const secwstring sCompartment = U(row.compartment), sData = U("v");
      const DWORD dwPid = row.bGoneClient ? kGone : kClient;
      CScopedSafeArray value(SafeArrayCreateVector(VT_UI1, 0, 1));
      EXPECT_EQ(row.op == 's'   ? tree.SetData(sCompartment, sData, value.Get(), dwPid, TRUE)
                : row.op == 'd' ? tree.RemoveData(sCompartment, sData, dwPid)
                : row.op == 'c' ? tree.RemoveCompartment(sCompartment, FALSE, dwPid)
                                : tree.FlushTree(dwPid),
                row.hr);
    }
    EXPECT_EQ(layout.Dump(), row.after);
    EXPECT_EQ(Counted(), *row.advanced ? Narrow(sTreeId) + "/" + row.advanced : "");
  }
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
    std::string left;  // of "a" and the keys created, those still there
  } rows[] = {
      {"the root itself is never deleted", "", {"a\\b"}, FALSE, "a a\\b"},
      {"every level below", "a", {"a\\b\\c", "a\\d"}, TRUE, ""},
      {"a child name filling the buffer", "a", {"a\\" + s248}, TRUE, ""},
      {"a child name one unit longer", "a", {"a\\b", "a\\" + s249}, FALSE, "a a\\" + s249},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CTestKey key;
    std::vector<std::string> probes{"a"}, left;
    for (const std::string& path : row.keys) RegCloseKey(CreateKey(key.Get(), Widen(path)));
    probes.insert(probes.end(), row.keys.begin(), row.keys.end());
    CClearAppContainerTree tree(OLESTR("T"));
    EXPECT_EQ(tree.RegDelTree(key.Get(), Widen(row.path).c_str()), row.bDeleted);
    for (const std::string& probe : probes) {
      HKEY hKey = nullptr;
      if (RegOpenKeyExW(key.Get(), Widen(probe).c_str(), 0, KEY_READ, &hKey) != 0) continue;
      RegCloseKey(hKey);
      left.push_back(probe);
    }
    EXPECT_EQ(SortedJoin(left, " "), row.left);
  }
}

}  // namespace
