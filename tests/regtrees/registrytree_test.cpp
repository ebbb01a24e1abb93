// The registry tree on the platform's registry (the Linux hive natively,
// Wine's registry in the windows build): the stored form byte for byte, the
// limits at and one past each boundary, the removal walk, and each failure of
// a registry call through the scripted registry.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "common/registry_test_key.h"
#include "common/scripted_registry.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string Hex(const BYTE* p, size_t cb) {
  std::string s;
  for (size_t i = 0; i < cb; ++i)
    s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return s;
}

Bytes Unhex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return b;
}

// An array of vt with the given bounds, rgsabound[0] first, holding data.
CScopedSafeArray Array(VARTYPE vt, std::vector<ULONG> bounds, const Bytes& data) {
  std::vector<SAFEARRAYBOUND> b;
  for (auto it = bounds.rbegin(); it != bounds.rend(); ++it) b.push_back({*it, 0});
  CScopedSafeArray a(SafeArrayCreate(vt, static_cast<UINT>(b.size()), b.data()));
  if (!data.empty()) std::memcpy(a.Get()->pvData, data.data(), data.size());
  return a;
}
CScopedSafeArray Vector(VARTYPE vt, const Bytes& data, ULONG cbElement = 1) {
  return Array(vt, {static_cast<ULONG>(data.size() / cbElement)}, data);
}
CScopedSafeArray Strings(const std::vector<OleString>& items) {
  CScopedSafeArray a(SafeArrayCreateVector(VT_BSTR, 0, items.size()));
  auto* pbstr = static_cast<BSTR*>(a.Get()->pvData);
  for (size_t i = 0; i < items.size(); ++i)
    pbstr[i] = SysAllocStringLen(items[i].data(), items[i].size());
  return a;
}

// "vt bounds data": strings joined by "|", other data in hex; bounds as
// rgsabound[0]xrgsabound[1].
std::string Describe(SAFEARRAY* psa) {
  if (psa == nullptr) return "null";
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(psa, &vt);
  const bool b2 = SafeArrayGetDim(psa) == 2;
  const ULONG c0 = psa->rgsabound[0].cElements, c1 = b2 ? psa->rgsabound[1].cElements : 1;
  const std::string s =
      std::to_string(vt) + " " + std::to_string(c0) + (b2 ? "x" + std::to_string(c1) : "");
  if (vt == VT_BSTR) return s + " " + Joined(psa, "|");
  const size_t cb = size_t{c0} * c1 * SafeArrayGetElemsize(psa);
  return cb == 0 ? s : s + " " + Hex(static_cast<BYTE*>(psa->pvData), cb);
}

// Writes a value as another writer would, when bWrite is set (its data
// followed by a non-zero unit, so that no terminator is added); answers
// "type:bytes" of the value stored.
const std::string kStoreKey = "Software\\Orvane\\Kelmyr\\RemanentDataStore\\";
std::string Raw(const std::string& sTreeId, const std::string& label, bool bWrite = false,
                DWORD dwType = 0, Bytes b = {}) {
  const CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, kStoreKey + sTreeId + "\\1\\A");
  const secwstring name = U(label);
  const DWORD cbWrite = static_cast<DWORD>(b.size());
  b.insert(b.end(), {0xFF, 0xFF});
  EXPECT_EQ(bWrite ? RegSetValueExW(key.Get(), name.c_str(), 0, dwType, b.data(), cbWrite) : 0, 0);
  b.resize(0x100010);
  DWORD cb = static_cast<DWORD>(b.size());
  const LONG l = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &dwType, b.data(), &cb);
  return std::to_string(dwType) + ":" + Hex(b.data(), l == ERROR_SUCCESS ? cb : 0);
}

class RegistryTreeTest : public ::testing::Test {
 protected:
  ~RegistryTreeTest() override { tree.FlushTree(0); }

  CScratchHive hive;
  CHistoryUse history;
  std::string id = ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                   std::string("-") + std::to_string(GetCurrentProcessId());
  secwstring sTreeId = U(id);
  CRegistryTree tree{sTreeId, REGISTRY_TREE_MACHINE};
};

// Each element type as stored (type and bytes) and read back; rows without
// an array write the stored form themselves, as another writer would.
TEST_F(RegistryTreeTest, StoredFormAndReadingBack) {
  Bytes b300(300);
  std::iota(b300.begin(), b300.end(), BYTE{0});
  struct SRow {
    const char* label;
    CScopedSafeArray value;  // none: the stored form is written directly
    DWORD dwType;
    std::string stored;
    std::string readBack;
  } rows[] = {
      {"no string", Strings({}), REG_SZ, "", "8 0 "},
      {"one string", Strings({OLESTR("ab")}), REG_SZ, "61006200", "8 1 ab"},
      {"one empty string", Strings({OLESTR("")}), REG_SZ, "", "8 0 "},
      {"an empty string ends the list", Strings({OLESTR("ab"), OLESTR(""), OLESTR("c")}),
       REG_MULTI_SZ, "6100620000000000630000000000", "8 1 ab"},
      {"two strings", Strings({OLESTR("a"), OLESTR("bc")}), REG_MULTI_SZ,
       "610000006200630000000000", "8 2 a|bc"},
      {"byte vector", Vector(VT_UI1, b300), REG_BINARY, "ba2c" + Hex(b300.data(), 300),
       "17 300 " + Hex(b300.data(), 300)},
      {"signed byte vector", Vector(VT_I1, {1, 2, 0xff}), REG_BINARY, "0b030102ff", "16 3 0102ff"},
      {"empty byte vector", Vector(VT_UI1, {}), REG_BINARY, "ba00", "17 0"},
      {"byte rows", Array(VT_UI1, {2, 4}, Unhex("01aaeeee03bbccdd")), REG_BINARY,
       "bb01aabb03bbccdd", "17 2x4 01aa000003bbccdd"},
      {"rows padded to the longest", Array(VT_UI1, {2, 6}, Unhex("01aaeeeeeeee02bbcceeeeee")),
       REG_BINARY, "bb01aabb02bbcc", "17 2x3 01aa0002bbcc"},
      {"no rows", Array(VT_UI1, {0, 4}, {}), REG_BINARY, "bb00", "17 0x2"},
      {"signed byte rows", Array(VT_I1, {2, 4}, Unhex("01aaeeee03bbccdd")), REG_BINARY,
       "0b01aa0b03bbccdd", "16 6 aa0b03bbccdd"},
      {"ints read back unsigned", Vector(VT_INT, Unhex("01000000ffffffff"), 4), REG_DWORD,
       "01000000ffffffff", "23 2 01000000ffffffff"},
      {"quads read back unsigned", Vector(VT_I8, Unhex("feffffffffffffff"), 8), REG_QWORD,
       "feffffffffffffff", "21 1 feffffffffffffff"},
      {"interfaces read back empty", Vector(VT_UNKNOWN, Bytes(16), 8), REG_NONE,
       "00000000000000000000000000000000", "13 0"},
      {"unknown binary tag", {}, REG_BINARY, "01ff", "null"},
      {"expandable string", {}, REG_EXPAND_SZ, "6100", "null"},
  };
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.label);
    const bool bOurs = row.value.Get() != nullptr;
    ASSERT_EQ(bOurs ? tree.SetData(U("1/A"), U(row.label), row.value.Get(), 0, FALSE) : S_OK, S_OK);
    EXPECT_EQ(Raw(id, row.label, !bOurs, row.dwType, Unhex(row.stored)),
              std::to_string(row.dwType) + ":" + row.stored);
    CScopedSafeArray back;
    // Expandable strings are the one type stored by others that is refused.
    EXPECT_EQ(tree.GetData(U("1/A"), U(row.label), back.Receive(), 0),
              row.dwType == REG_EXPAND_SZ ? E_FAIL : S_OK);
    EXPECT_EQ(Describe(back.Get()), row.readBack);
  }
}

// Each limit at its boundary and one past, and what the registry cannot
// hold: the result, whether the value is there, and whether the write left
// its compartment (a refused value keeps the compartment made first).
TEST_F(RegistryTreeTest, LimitsAndRefusals) {
  const auto rows254 = [](BYTE nLast) {
    Bytes b(4096 * 256, 0);
    for (size_t r = 0; r < 4096; ++r) b[r * 256] = 254;
    b[4095 * 256] = nLast;
    return Array(VT_UI1, {4096, 256}, b);
  };
  const auto bytes = [] { return Vector(VT_UI1, {1}); };
  struct SRow {
    const char* label;
    CScopedSafeArray value;
    HRESULT hr;  // the value is there exactly when S_OK
    bool bCompartment;
    std::string path = "L";
    std::string name = "v";
  } rows[] = {
      {"string at 1 MB", Strings({OleString(0x80000, 'x')}), S_OK, true},
      {"string past 1 MB", Strings({OleString(0x80001, 'x')}), E_INVALIDARG, true},
      {"strings at 1 MB", Strings({OleString(262142, 'x'), OleString(262143, 'y')}), S_OK, true},
      {"strings past 1 MB", Strings({OleString(262142, 'x'), OleString(262144, 'y')}), E_INVALIDARG,
       true},
      {"vector at 1 MB", Vector(VT_UI1, Bytes(0xFFFFE)), S_OK, true},
      {"vector past 1 MB", Vector(VT_UI1, Bytes(0xFFFFF)), E_INVALIDARG, true},
      {"rows at 1 MB", rows254(254), S_OK, true},
      {"rows past 1 MB", rows254(255), E_INVALIDARG, true},
      {"dwords at 1 MB", Vector(VT_UINT, Bytes(0x100000), 4), S_OK, true},
      {"dwords past 1 MB", Vector(VT_UINT, Bytes(0x100004), 4), E_INVALIDARG, true},
      {"name of 255", bytes(), S_OK, true, "L", std::string(255, 'n')},
      {"name of 256", bytes(), E_INVALIDARG, true, "L", std::string(256, 'n')},
      {"name with a zero unit", bytes(), E_INVALIDARG, true, "L", std::string("a\0b", 3)},
      // One segment, making the full key path 250 and 251 units long.
      {"path of 250", bytes(), S_OK, true, std::string(249 - (kStoreKey + id).size(), 'p')},
      {"path of 251", bytes(), E_INVALIDARG, false,
       std::string(250 - (kStoreKey + id).size(), 'p')},
      {"length byte beyond its row", Array(VT_UI1, {2, 3}, Unhex("01aaee03bbcc")), E_INVALIDARG,
       true},
      {"three dimensions", Array(VT_UI1, {1, 2, 1}, Unhex("0100")), E_INVALIDARG, true},
      {"number rows", Array(VT_UINT, {1, 1}, Bytes(4)), E_INVALIDARG, true},
      {"unsupported type", CScopedSafeArray(SafeArrayCreateVector(VT_R8, 0, 1)), E_FAIL, true},
      {"no array", CScopedSafeArray(), E_FAIL, true},
      {"empty path", bytes(), E_INVALIDARG, false, ""},
      {"empty segment", bytes(), E_INVALIDARG, false, "a//b"},
      {"leading separator", bytes(), E_INVALIDARG, false, "/a"},
      {"backslash", bytes(), E_INVALIDARG, false, "a\\b"},
  };
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(tree.SetData(U(row.path), U(row.name), row.value.Get(), 0, FALSE), row.hr);
    BOOL bCached = FALSE, bStored = FALSE;
    ULONG ul = 0;
    if (row.bCompartment) {
      EXPECT_EQ(tree.IsCompartmentCached(U(row.path), &ul, &ul, &bCached, 0), S_OK);
      EXPECT_EQ(tree.IsDataCached(U(row.path), U(row.name), &bStored, 0), S_OK);
    }
    EXPECT_EQ(bCached != FALSE, row.bCompartment);
    EXPECT_EQ(bStored != FALSE, row.hr == S_OK);
    // Without a compartment there is no tree key to delete either.
    EXPECT_EQ(tree.FlushTree(0), row.bCompartment ? S_OK : E_FAIL);
  }
}

// Value names are matched as written although the registry folds case; a
// missing compartment or item is "not found" in each operation's terms.
TEST_F(RegistryTreeTest, LookupsMatchExactly) {
  CScopedSafeArray value = Vector(VT_UI1, {7}), list;
  ASSERT_EQ(tree.SetData(U("1/A"), U("Name"), value.Get(), 0, FALSE), S_OK);
  BOOL bCached = TRUE;
  const std::pair<HRESULT, HRESULT> rows[] = {
      {tree.GetData(U("1/A"), U("name"), list.Receive(), 0), E_INVALIDARG},
      {tree.IsDataCached(U("1/A"), U("name"), &bCached, 0), S_OK},
      {tree.GetData(U("1/B"), U("Name"), list.Receive(), 0), E_INVALIDARG},
      {tree.RemoveData(U("1/A"), U("x"), 0), E_INVALIDARG},
      {tree.ListDataIds(U("1/B"), list.Receive(), 0), E_FAIL},
      {tree.ListCompartmentIds(U("1/B"), list.Receive(), 0), E_FAIL},
      {tree.RemoveCompartment(U("1/B"), TRUE, 0), E_INVALIDARG},
      {tree.ListCompartmentIds(U("1/A"), list.Receive(), 0), S_OK},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << i;
  EXPECT_FALSE(bCached);
  EXPECT_EQ(Describe(list.Get()), "8 0 ");
}

// Removal advances the counters of every removed descendant (not of the
// removed compartment), and a child name that does not fit behind the
// previous child's in the walk's buffer ends the walk: the removal still
// reports S_OK and the rest stays.
TEST_F(RegistryTreeTest, RemovalWalk) {
  // The last name is one unit too long to fit behind the first.
  const std::string sLong(100, 'x'), sLast(250 - (kStoreKey + id + "\\1\\B\\").size() - 100, 'y');
  Build(tree, "1/A/c1/c2 1/B/" + sLong + " 1/B/" + sLast);
  // The listing walks with the same fit test: the second long name is left out.
  EXPECT_EQ(Dump(tree), "1 1/A 1/A/c1 1/A/c1/c2 1/B 1/B/" + sLong);
  Build(tree, "-1/A");  // advancing the counters
  EXPECT_EQ(tree.RemoveCompartment(U("1/B"), FALSE, 0), S_OK);
  EXPECT_EQ(Counted(), id + "/1/A/c1=1,1 " + id + "/1/A/c1/c2=1,1");
  EXPECT_EQ(Dump(tree), "1 1/B 1/B/" + sLast);
}

// Each registry call failing where an operation makes it, and a registry
// changed between two calls: the operation's result, and no key left open.
TEST_F(RegistryTreeTest, RegistryCallFailures) {
  using E = CScriptedRegistry::ECall;
  CScopedSafeArray value = Vector(VT_UI1, {7});
  ASSERT_EQ(tree.SetData(U("1/A"), U("v"), value.Get(), 0, FALSE), S_OK);
  const auto set = [&] { return tree.SetData(U("1/A"), U("v"), value.Get(), 0, FALSE); };
  CScopedSafeArray out;
  const auto get = [&] { return tree.GetData(U("1/A"), U("v"), out.Receive(), 0); };
  const auto grow = [&] { Raw(id, "v", true, REG_BINARY, Bytes(64, 0xBA)); };
  const auto addValue = [&] { Raw(id, "w", true, REG_BINARY, Bytes(2, 0xBA)); };
  struct SRow {
    const char* label;
    E call;                        // fails the first time
    std::function<void()> change;  // or, if set, runs right after it
    std::function<HRESULT()> operation;
    HRESULT hr;
  } rows[] = {
      {"create", E::CreateKey, nullptr, set, E_FAIL},
      {"set", E::SetValue, nullptr, set, E_FAIL},
      {"close after set", E::CloseKey, nullptr, set, E_FAIL},
      {"count of values", E::QueryInfoKey, nullptr, get, E_INVALIDARG},
      {"size of the value", E::QueryValue, nullptr, get, E_INVALIDARG},
      {"value grew before its read", E::QueryValue, grow, get, E_UNEXPECTED},
      {"values added between the listing calls", E::QueryInfoKey, addValue, get, E_UNEXPECTED},
      {"delete value", E::DeleteValue, nullptr,
       [&] { return tree.RemoveData(U("1/A"), U("w"), 0); }, E_INVALIDARG},
      {"open for removal", E::OpenKey, nullptr,
       [&] { return tree.RemoveCompartment(U("1"), TRUE, 0); }, E_INVALIDARG},
      {"close after creating", E::CloseKey, nullptr,
       [&] { return tree.CreateCompartment(U("1/A"), 0); }, E_FAIL},
  };
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.label);
    CScriptedRegistry registry;
    row.change ? registry.AfterNext(row.call, row.change)
               : registry.FailNext(row.call, ERROR_ACCESS_DENIED);
    EXPECT_EQ(row.operation(), row.hr);
    EXPECT_EQ(registry.OpenKeys(), 0u);
    EXPECT_EQ(out.Get(), nullptr);
  }
}

}  // namespace
