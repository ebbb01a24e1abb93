// A memory tree and the version history against a deliberately simple model
// of them, driven by the same long random sequence of operations; every
// answer is compared.
//
// The model is written from the rules of the tree contract, the memory tree
// and the version history, their odd results included: a listing with
// nothing in it leaves the output untouched, ListDataIds of a missing path
// fails, RemoveCompartment fails on an empty tree and advances only the
// descendants' counters, a move without removal reports E_FAIL from the leaf
// at the end of its last chain, FindCompartmentId ends with the result of
// the last path it read, and an empty identifier cannot travel through a
// BSTR. It keeps compartments in an unsorted list, walks it whole for every
// question and sorts only when it lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

using Str = OleString;

struct CValue {
  bool bNull = false;
  VARTYPE vt = VT_UI1;
  std::vector<BYTE> bytes;  // VT_UI1 elements, or the four bytes of one VT_UINT
  bool operator==(const CValue&) const = default;
};

const Str kSlash = OLESTR("/");

std::vector<Str> SplitModel(const Str& s) {
  std::vector<Str> segments(1);
  for (OLECHAR c : s) {
    if (c == u'/') {
      segments.emplace_back();
    } else {
      segments.back().push_back(c);
    }
  }
  return segments;
}

Str JoinModel(const std::vector<Str>& segments, size_t first, size_t last) {
  Str s;
  for (size_t i = first; i < last; ++i) {
    if (i != first) s += kSlash;
    s += segments[i];
  }
  return s;
}

bool StartsWith(const Str& s, const Str& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

struct CListResult {
  HRESULT hr = S_OK;
  bool bTouched = false;
  std::vector<Str> items;
  bool operator==(const CListResult&) const = default;
};

struct CCachedResult {
  HRESULT hr = S_OK;
  bool bWritten = false;
  BOOL bCached = FALSE;
  ULONG ulCompartment = 0;
  ULONG ulContent = 0;
  bool operator==(const CCachedResult&) const = default;
};

HRESULT ModelUpdateVersion(const Str& sKey, ULONG ulSelector);
CCachedResult ModelGetVersion(const Str& sKey);

class CModelTree {
 public:
  CModelTree(Str sId, bool bHistory) : m_sId(std::move(sId)), m_bHistory(bHistory) {}

  HRESULT SetData(const Str& path, const Str& id, const CValue& value) {
    Node& node = Ensure(path);
    RemoveItem(node, id);
    node.items.emplace_back(id, value);
    return S_OK;
  }

  HRESULT GetData(const Str& path, const Str& id, CValue& value) const {
    const Node* pNode = Find(path);
    if (pNode == nullptr) return E_INVALIDARG;
    for (const auto& item : pNode->items) {
      if (item.first == id) {
        value = item.second;
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }

  HRESULT RemoveData(const Str& path, const Str& id) {
    Node* pNode = Find(path);
    if (pNode == nullptr) return E_INVALIDARG;
    return RemoveItem(*pNode, id) ? S_OK : E_INVALIDARG;
  }

  HRESULT CreateCompartment(const Str& path) {
    Ensure(path);
    return S_OK;
  }

  HRESULT RemoveCompartment(const Str& path) {
    if (m_nodes.empty()) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (const Str& key : SortedKeys()) {
      if (!(key == path || StartsWith(key, path + kSlash))) continue;
      m_nodes.erase(std::find_if(m_nodes.begin(), m_nodes.end(),
                                 [&](const Node& n) { return n.path == key; }));
      if (m_bHistory || key == path) continue;
      ModelUpdateVersion(m_sId + kSlash + key, 0);
      hr = ModelUpdateVersion(m_sId + kSlash + key, 1);
    }
    return hr;
  }

  HRESULT FlushTree() {
    m_nodes.clear();
    return S_OK;
  }

  HRESULT IsDataCached(const Str& path, const Str& id, BOOL& bCached) const {
    bCached = FALSE;
    if (const Node* pNode = Find(path)) {
      for (const auto& item : pNode->items) bCached |= item.first == id;
    }
    return S_OK;
  }

  CListResult ListDataIds(const Str& path) const {
    for (const Str& key : SortedKeys()) {
      if (key == path || StartsWith(key, path + kSlash)) {
        CListResult r{S_OK, true, {}};
        for (const auto& item : Find(key)->items) r.items.push_back(item.first);
        std::sort(r.items.begin(), r.items.end());
        return r;
      }
    }
    return CListResult{E_FAIL, false, {}};
  }

  CListResult ListCompartmentIds(const Str& path) const {
    CListResult r;
    for (const Str& key : SortedKeys()) {
      if (path == kSlash) {
        if (key.find(u'/') == Str::npos) r.items.push_back(key);
      } else if (StartsWith(key, path + kSlash)) {
        const Str rest = key.substr(path.size() + 1);
        if (rest.find(u'/') == Str::npos) r.items.push_back(rest);
      }
    }
    r.bTouched = !r.items.empty();
    return r;
  }

  CListResult ListAllCompartmentIds() const { return CListResult{S_OK, true, SortedKeys()}; }

  CCachedResult IsCompartmentCached(const Str& path) const {
    const Str key = m_bHistory ? path : (path == kSlash ? m_sId : m_sId + kSlash + path);
    CCachedResult r = ModelGetVersion(key);
    if (FAILED(r.hr)) return CCachedResult{r.hr, false, FALSE, 0, 0};
    r.bCached = Find(path) != nullptr;
    return r;
  }

  // The session list: the first segment of each top-level name, first seen
  // first; an empty name cannot be converted and fails the listing, which
  // keeps what it found before.
  HRESULT GetSessionIdList(std::vector<Str>& list) const {
    list.clear();
    for (const Str& name : ListCompartmentIds(kSlash).items) {
      if (name.empty()) return E_INVALIDARG;
      const Str session = SplitModel(name).front();
      if (std::find(list.begin(), list.end(), session) == list.end()) list.push_back(session);
    }
    return S_OK;
  }

  HRESULT FindCompartmentId(const Str& session, const Str& sub, Str& foundPath,
                            bool& bFound) const {
    bFound = false;
    HRESULT hr = S_OK;
    for (const Str& key : SortedKeys()) {
      if (key.empty()) {
        hr = E_INVALIDARG;
        continue;
      }
      hr = S_OK;
      const std::vector<Str> segments = SplitModel(key);
      if (segments.size() >= 2 && segments[0] == session &&
          JoinModel(segments, 1, segments.size()) == sub) {
        foundPath = key;
        bFound = true;
        return S_OK;
      }
    }
    return hr;
  }

  HRESULT FindSessionId(const Str& session, const Str& sub, Str& out) const {
    if (session != OLESTR("0")) {
      out = session;
      return S_OK;
    }
    std::vector<Str> list;
    HRESULT hr = GetSessionIdList(list);
    if (FAILED(hr)) return hr;
    for (const Str& prefix : list) {
      if (prefix == OLESTR("0")) continue;
      Str path;
      bool bFound = false;
      hr = FindCompartmentId(prefix, sub, path, bFound);
      if (FAILED(hr)) return hr;
      if (bFound) {
        out = prefix;
        return S_OK;
      }
    }
    out = OLESTR("0");
    return S_OK;
  }

  HRESULT MoveCompartmentIds(const Str& from, const Str& to, bool bRemoveSource) {
    // Refused before anything happens: a target at or below the source.
    if (to == from || StartsWith(to, from + kSlash)) return E_INVALIDARG;
    HRESULT hr = S_OK;
    const CListResult ids = ListDataIds(from);
    if (SUCCEEDED(ids.hr)) {
      for (const Str& id : ids.items) {
        CValue value;
        if (id.empty() || GetData(from, id, value) != S_OK) continue;
        SetData(to, id, value);
      }
    }
    const CListResult children = ListCompartmentIds(from);
    if (!children.bTouched) {
      hr = E_FAIL;
    } else {
      for (const Str& name : children.items) {
        if (name.empty()) {
          hr = E_INVALIDARG;
          continue;
        }
        hr = MoveCompartmentIds(from + kSlash + name, to + kSlash + name, false);
      }
    }
    if (bRemoveSource) hr = RemoveCompartment(from);
    return hr;
  }

  // Every compartment with its items, sorted, for a whole-state comparison.
  std::vector<std::pair<Str, std::vector<std::pair<Str, CValue>>>> Dump() const {
    std::vector<std::pair<Str, std::vector<std::pair<Str, CValue>>>> dump;
    for (const Str& key : SortedKeys()) {
      auto items = Find(key)->items;
      std::sort(items.begin(), items.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      dump.emplace_back(key, items);
    }
    return dump;
  }

 private:
  struct Node {
    Str path;
    std::vector<std::pair<Str, CValue>> items;
  };

  const Node* Find(const Str& path) const {
    for (const Node& node : m_nodes) {
      if (node.path == path) return &node;
    }
    return nullptr;
  }
  Node* Find(const Str& path) {
    return const_cast<Node*>(static_cast<const CModelTree*>(this)->Find(path));
  }

  Node& Ensure(const Str& path) {
    const std::vector<Str> segments = SplitModel(path);
    for (size_t k = 1; k <= segments.size(); ++k) {
      const Str prefix = JoinModel(segments, 0, k);
      if (Find(prefix) == nullptr) m_nodes.push_back(Node{prefix, {}});
    }
    return *Find(path);
  }

  static bool RemoveItem(Node& node, const Str& id) {
    for (auto it = node.items.begin(); it != node.items.end(); ++it) {
      if (it->first == id) {
        node.items.erase(it);
        return true;
      }
    }
    return false;
  }

  std::vector<Str> SortedKeys() const {
    std::vector<Str> keys;
    for (const Node& node : m_nodes) keys.push_back(node.path);
    std::sort(keys.begin(), keys.end());
    return keys;
  }

  Str m_sId;
  bool m_bHistory;
  std::vector<Node> m_nodes;
};

// The model's history tree; null while there is none.
std::unique_ptr<CModelTree> gpModelHistory;

CValue Counter(ULONG ul) {
  CValue v;
  v.vt = VT_UINT;
  v.bytes.resize(4);
  std::memcpy(v.bytes.data(), &ul, 4);
  return v;
}

ULONG CounterValue(const CValue& v) {
  ULONG ul = 0;
  std::memcpy(&ul, v.bytes.data(), 4);
  return ul;
}

HRESULT ModelUpdateVersion(const Str& sKey, ULONG ulSelector) {
  if (!gpModelHistory) return E_FAIL;
  const Str name = ulSelector != 0 ? OLESTR("ContentVersion") : OLESTR("CompartmentVersion");
  CValue old;
  ULONG ulNew = 1;
  if (gpModelHistory->GetData(sKey, name, old) == S_OK) ulNew = CounterValue(old) + 1;
  gpModelHistory->SetData(sKey, name, Counter(ulNew));
  return S_OK;
}

HRESULT ModelUpdateHistoryTree(const Str& sKey, LONG lMode) {
  const std::vector<Str> segments = SplitModel(sKey);
  HRESULT hr = S_OK;
  for (size_t k = 1; k <= segments.size(); ++k) {
    const Str prefix = JoinModel(segments, 0, k);
    if (lMode == -1) {
      hr = ModelUpdateVersion(prefix, 0);
      if (SUCCEEDED(hr)) hr = ModelUpdateVersion(prefix, 1);
    } else if (lMode == 1) {
      hr = ModelUpdateVersion(prefix, 1);
    }
    if (FAILED(hr)) return hr;
  }
  return hr;
}

CCachedResult ModelGetVersion(const Str& sKey) {
  CCachedResult r;
  r.bWritten = true;
  if (!gpModelHistory) {
    r.hr = E_FAIL;
    return r;
  }
  CValue v;
  if (gpModelHistory->GetData(sKey, OLESTR("CompartmentVersion"), v) == S_OK) {
    r.ulCompartment = CounterValue(v);
  }
  if (gpModelHistory->GetData(sKey, OLESTR("ContentVersion"), v) == S_OK) {
    r.ulContent = CounterValue(v);
  }
  return r;
}

// ---- the real side ----

secwstring S(const Str& s) { return secwstring(s.data(), s.size()); }

CScopedSafeArray ToArray(const CValue& v) {
  if (v.bNull) return CScopedSafeArray();
  return MakeBytes(v.bytes);
}

CValue FromArray(SAFEARRAY* psa) {
  CValue v;
  if (psa == nullptr) {
    v.bNull = true;
    return v;
  }
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  v.vt = vt;
  if (vt == VT_UINT) {
    LONG lIndex = 0;
    ULONG ul = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, &lIndex, &ul), S_OK);
    return Counter(ul);
  }
  v.bytes = ReadBytes(psa);
  return v;
}

// A listing with its output preset to a sentinel, to see whether it was
// written.
template <class F>
CListResult RealList(F&& list) {
  CScopedSafeArray sentinel = MakeBytes({0xEE});
  SAFEARRAY* psa = sentinel.Get();
  CListResult r;
  r.hr = list(&psa);
  r.bTouched = psa != sentinel.Get();
  if (r.bTouched) {
    CScopedSafeArray owned(psa);
    if (SUCCEEDED(r.hr) && owned.Get()) r.items = ReadStrings(owned.Get());
  }
  return r;
}

CCachedResult RealCached(CAbstractTree& tree, const Str& path) {
  CCachedResult r;
  r.ulCompartment = 0xA5A5A5A5;
  r.ulContent = 0x5A5A5A5A;
  r.bCached = 77;
  r.hr = tree.IsCompartmentCached(S(path), &r.ulCompartment, &r.ulContent, &r.bCached, 0);
  r.bWritten = r.bCached != 77;
  if (!r.bWritten) {
    EXPECT_EQ(r.ulCompartment, 0xA5A5A5A5u);
    EXPECT_EQ(r.ulContent, 0x5A5A5A5Au);
    r.ulCompartment = r.ulContent = 0;
    r.bCached = FALSE;
  }
  return r;
}

std::vector<std::pair<Str, std::vector<std::pair<Str, CValue>>>> RealDump(CAbstractTree& tree) {
  std::vector<std::pair<Str, std::vector<std::pair<Str, CValue>>>> dump;
  for (const Str& key : AllCompartments(tree)) {
    CScopedSafeArray ids;
    EXPECT_EQ(tree.ListDataIds(S(key), ids.Receive(), 0), S_OK);
    std::vector<std::pair<Str, CValue>> items;
    for (const Str& id : ReadStrings(ids.Get())) {
      CScopedSafeArray value;
      EXPECT_EQ(tree.GetData(S(key), S(id), value.Receive(), 0), S_OK);
      items.emplace_back(id, FromArray(value.Get()));
    }
    dump.emplace_back(key, items);
  }
  return dump;
}

// ---- the random sequence ----

class CRandom {
 public:
  explicit CRandom(uint32_t seed) : m_state(seed * 2654435761u + 1) {}
  uint32_t Next() {
    // xorshift32: the same sequence in both builds.
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return m_state;
  }
  size_t Pick(size_t n) { return Next() % n; }
  bool Chance(size_t inN) { return Pick(inN) == 0; }

 private:
  uint32_t m_state;
};

const std::vector<Str> kSegments =
    Strings({OLESTR("1"), OLESTR("3"), OLESTR("7"), OLESTR("0"), OLESTR("A"), OLESTR("AB"),
             OLESTR("A!"), OLESTR("A0"), OLESTR("b"), OLESTR("")});
const std::vector<Str> kSessions =
    Strings({OLESTR("1"), OLESTR("3"), OLESTR("7"), OLESTR("0"), OLESTR("00")});
const std::vector<Str> kDataIds = Strings({OLESTR("x"), OLESTR("y"), OLESTR("X"), OLESTR("")});

const std::vector<Str> kBelow =
    Strings({OLESTR("A"), OLESTR("AB"), OLESTR("A!"), OLESTR("A0"), OLESTR("b"), OLESTR("")});

// Paths from a small space, so that operations meet the compartments that
// earlier ones made: mostly a session and up to two segments below it.
Str RandomPath(CRandom& rnd) {
  if (rnd.Chance(40)) return kSlash;
  Str path;
  if (!rnd.Chance(8)) {
    path = kSessions[rnd.Pick(4)];
  } else {
    // Rarely an empty first segment: it makes an empty top-level name, which
    // stops every session search until it is removed.
    const size_t n = rnd.Chance(4) ? kSegments.size() : kSegments.size() - 1;
    path = kSegments[rnd.Pick(n)];
  }
  const size_t depth = rnd.Pick(3);
  for (size_t i = 0; i < depth; ++i) path += kSlash + kBelow[rnd.Pick(kBelow.size())];
  return path;
}

Str RandomSub(CRandom& rnd) {
  Str sub = kBelow[rnd.Pick(kBelow.size())];
  if (rnd.Chance(3)) sub += kSlash + kBelow[rnd.Pick(kBelow.size())];
  return sub;
}

CValue RandomValue(CRandom& rnd) {
  CValue v;
  if (rnd.Chance(15)) {
    v.bNull = true;
    return v;
  }
  v.bytes.resize(rnd.Pick(4));
  for (BYTE& b : v.bytes) b = static_cast<BYTE>(rnd.Next());
  return v;
}

std::string Text(const Str& s) { return "\"" + ToUtf8(s) + "\""; }

class ModelTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void TearDown() override {
    if (m_bHistory) {
      EXPECT_EQ(ReleaseHistoryTree(), S_OK);
    }
    gpModelHistory.reset();
  }

  void ToggleHistory() {
    if (m_bHistory) {
      ASSERT_EQ(ReleaseHistoryTree(), S_OK);
      gpModelHistory.reset();
    } else {
      ASSERT_EQ(AcquireHistoryTree(), S_OK);
      gpModelHistory = std::make_unique<CModelTree>(OLESTR("History"), true);
    }
    m_bHistory = !m_bHistory;
  }

  void CompareWholeState(CMemoryTree& tree, const CModelTree& model) {
    ASSERT_EQ(RealDump(tree), model.Dump());
    if (m_bHistory) {
      ASSERT_EQ(RealDump(*gHistoryTree), gpModelHistory->Dump());
    }
  }

  bool m_bHistory = false;
};

TEST_P(ModelTest, LongRandomSequenceAnswersLikeTheModel) {
  const uint32_t seed = GetParam();
  CRandom rnd(seed);
  ToggleHistory();
  CMemoryTree tree(W(OLESTR("DS1")));
  CModelTree model(OLESTR("DS1"), false);
  constexpr int kSteps = 6000;

  for (int step = 0; step < kSteps; ++step) {
    std::ostringstream what;
    what << "seed " << seed << " step " << step << ": ";
    const Str path = RandomPath(rnd);
    const Str id = kDataIds[rnd.Pick(kDataIds.size())];
    switch (rnd.Pick(21)) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const CValue value = RandomValue(rnd);
        what << "SetData " << Text(path) << " " << Text(id);
        CScopedSafeArray psa = ToArray(value);
        ASSERT_EQ(tree.SetData(S(path), S(id), psa.Get(), 0, rnd.Chance(2)),
                  model.SetData(path, id, value))
            << what.str();
        break;
      }
      case 4:
      case 5: {
        what << "GetData " << Text(path) << " " << Text(id);
        CScopedSafeArray psa;
        CValue expected;
        const HRESULT hr = tree.GetData(S(path), S(id), psa.Receive(), 0);
        ASSERT_EQ(hr, model.GetData(path, id, expected)) << what.str();
        if (hr == S_OK) {
          ASSERT_EQ(FromArray(psa.Get()), expected) << what.str();
        }
        break;
      }
      case 6:
        what << "RemoveData " << Text(path) << " " << Text(id);
        ASSERT_EQ(tree.RemoveData(S(path), S(id), 0), model.RemoveData(path, id)) << what.str();
        break;
      case 7:
        what << "CreateCompartment " << Text(path);
        ASSERT_EQ(tree.CreateCompartment(S(path), 0), model.CreateCompartment(path)) << what.str();
        break;
      case 8: {
        // Now and then the empty path, which takes away the empty top-level
        // compartment that "/" and "/..." paths make.
        const Str target = rnd.Chance(5) ? Str() : path;
        what << "RemoveCompartment " << Text(target);
        ASSERT_EQ(tree.RemoveCompartment(S(target), rnd.Chance(2), 0),
                  model.RemoveCompartment(target))
            << what.str();
        break;
      }
      case 9: {
        what << "IsDataCached " << Text(path) << " " << Text(id);
        BOOL bReal = 77;
        BOOL bModel = FALSE;
        ASSERT_EQ(tree.IsDataCached(S(path), S(id), &bReal, 0),
                  model.IsDataCached(path, id, bModel))
            << what.str();
        ASSERT_EQ(bReal, bModel) << what.str();
        break;
      }
      case 10:
        what << "ListDataIds " << Text(path);
        ASSERT_EQ(RealList([&](SAFEARRAY** pp) { return tree.ListDataIds(S(path), pp, 0); }),
                  model.ListDataIds(path))
            << what.str();
        break;
      case 11:
        what << "ListCompartmentIds " << Text(path);
        ASSERT_EQ(RealList([&](SAFEARRAY** pp) { return tree.ListCompartmentIds(S(path), pp, 0); }),
                  model.ListCompartmentIds(path))
            << what.str();
        break;
      case 12:
        what << "IsCompartmentCached " << Text(path);
        ASSERT_EQ(RealCached(tree, path), model.IsCompartmentCached(path)) << what.str();
        break;
      case 13: {
        const Str session = kSessions[rnd.Pick(kSessions.size())];
        const Str sub = RandomSub(rnd);
        what << "FindSessionId " << Text(session) << " " << Text(sub);
        secwstring sReal = W(OLESTR("unchanged"));
        Str modelOut = OLESTR("unchanged");
        ASSERT_EQ(tree.FindSessionId(S(session), S(sub), sReal),
                  model.FindSessionId(session, sub, modelOut))
            << what.str();
        ASSERT_EQ(O(sReal), modelOut) << what.str();
        break;
      }
      case 14: {
        const Str session = kSessions[rnd.Pick(kSessions.size())];
        const Str sub = RandomSub(rnd);
        what << "FindCompartmentId " << Text(session) << " " << Text(sub);
        secwstring sReal = W(OLESTR("unchanged"));
        Str modelOut = OLESTR("unchanged");
        bool bReal = true;
        bool bModel = true;
        ASSERT_EQ(tree.FindCompartmentId(S(session), S(sub), sReal, bReal),
                  model.FindCompartmentId(session, sub, modelOut, bModel))
            << what.str();
        ASSERT_EQ(bReal, bModel) << what.str();
        ASSERT_EQ(O(sReal), modelOut) << what.str();
        break;
      }
      case 15: {
        what << "GetSessionIdList";
        std::vector<secwstring> real{W(OLESTR("stale"))};
        std::vector<Str> expected{OLESTR("stale")};
        ASSERT_EQ(tree.GetSessionIdList(real), model.GetSessionIdList(expected)) << what.str();
        ASSERT_EQ(Strings(real), expected) << what.str();
        break;
      }
      case 16: {
        const Str to = rnd.Chance(3) ? RandomPath(rnd) : kSessions[rnd.Pick(3)] + kSlash + id;
        const bool bRemove = !rnd.Chance(3);
        what << "MoveCompartmentIds " << Text(path) << " " << Text(to) << " " << bRemove;
        ASSERT_EQ(tree.MoveCompartmentIds(S(path), S(to), bRemove),
                  model.MoveCompartmentIds(path, to, bRemove))
            << what.str();
        break;
      }
      case 17: {
        const LONG lMode = rnd.Chance(4) ? 0 : (rnd.Chance(2) ? -1 : 1);
        const Str key = OLESTR("DS1") + (path == kSlash ? Str() : kSlash + path);
        what << "UpdateHistoryTree " << Text(key) << " " << lMode;
        ASSERT_EQ(UpdateHistoryTree(S(key), lMode), ModelUpdateHistoryTree(key, lMode))
            << what.str();
        break;
      }
      case 18: {
        // The history tree's own operations, as the stores make them.
        const Str key = OLESTR("DS1") + (path == kSlash ? Str() : kSlash + path);
        if (!m_bHistory) break;
        if (rnd.Chance(2)) {
          what << "history RemoveCompartment " << Text(key);
          ASSERT_EQ(gHistoryTree->RemoveCompartment(S(key), TRUE, 0),
                    gpModelHistory->RemoveCompartment(key))
              << what.str();
        } else {
          what << "history IsCompartmentCached " << Text(key);
          ASSERT_EQ(RealCached(*gHistoryTree, key), gpModelHistory->IsCompartmentCached(key))
              << what.str();
        }
        break;
      }
      case 19:
        if (rnd.Chance(30)) {
          what << "FlushTree";
          ASSERT_EQ(tree.FlushTree(0), model.FlushTree()) << what.str();
        } else if (rnd.Chance(10)) {
          what << "history " << (m_bHistory ? "released" : "acquired");
          ToggleHistory();
        }
        break;
      default:
        what << "ListAllCompartmentIds";
        ASSERT_EQ(RealList([&](SAFEARRAY** pp) { return tree.ListAllCompartmentIds(pp); }),
                  model.ListAllCompartmentIds())
            << what.str();
        break;
    }
    if (step % 100 == 99) {
      CompareWholeState(tree, model);
      if (HasFatalFailure()) FAIL() << what.str();
    }
  }
  CompareWholeState(tree, model);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Values(1u, 2u, 3u, 20240601u));

}  // namespace
