// A memory tree against a deliberately simple model of it, driven by the
// same long random sequence of operations; every answer is compared.
//
// The model keeps the tree's core: items set, read and removed, compartments
// made with their ancestors and removed with their descendants, the three
// listings and the move. It walks all of its compartments for every
// question. The quirks it carries are only those the core cannot do
// without: an empty listing leaves the output untouched, and an empty name
// cannot travel through a BSTR. Counters, the history tree and the session
// searches are left to the tables of their own tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <sstream>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

using Str = OleString;
using Value = std::optional<std::vector<BYTE>>;  // nullopt: a null array
const Str kSlash = OLESTR("/");

bool Below(const Str& key, const Str& path) {
  return key == path || key.rfind(path + kSlash, 0) == 0;
}

// An answer as text: the result, then what came with it.
std::string Answer(HRESULT hr, const std::string& rest = "") {
  return std::to_string(hr) + " " + rest;
}
std::string ValueText(const Value& v) {
  std::string text = v ? "" : "null";
  for (BYTE b : v.value_or(std::vector<BYTE>{})) text += std::to_string(b) + ".";
  return text;
}
// A listing as Listed writes it.
std::string ListText(HRESULT hr, bool bTouched, const std::vector<Str>& items) {
  return Answer(hr, bTouched ? Joined(items, "|") : "untouched");
}

class CModelTree {
 public:
  HRESULT SetData(const Str& path, const Str& id, const Value& value) {
    CreateCompartment(path);
    m_tree[path][id] = value;
    return S_OK;
  }
  HRESULT CreateCompartment(const Str& path) {
    for (size_t pos = path.find(u'/'); pos != Str::npos; pos = path.find(u'/', pos + 1)) {
      m_tree[path.substr(0, pos)];
    }
    m_tree[path];
    return S_OK;
  }
  HRESULT GetData(const Str& path, const Str& id, Value& value) const {
    const auto node = m_tree.find(path);
    if (node == m_tree.end() || !node->second.count(id)) return E_INVALIDARG;
    value = node->second.at(id);
    return S_OK;
  }
  HRESULT RemoveData(const Str& path, const Str& id) {
    const auto node = m_tree.find(path);
    return node != m_tree.end() && node->second.erase(id) ? S_OK : E_INVALIDARG;
  }
  HRESULT RemoveCompartment(const Str& path) {
    if (m_tree.empty()) return E_INVALIDARG;
    std::erase_if(m_tree, [&](const auto& node) { return Below(node.first, path); });
    return S_OK;
  }
  // The items of the first path at or below the given one.
  std::optional<std::vector<Str>> DataIds(const Str& path) const {
    for (const auto& [key, items] : m_tree) {
      if (!Below(key, path)) continue;
      std::vector<Str> ids;
      for (const auto& item : items) ids.push_back(item.first);
      return ids;
    }
    return std::nullopt;
  }
  std::vector<Str> Children(const Str& path) const {
    std::vector<Str> names;
    for (const auto& node : m_tree) {
      const Str& key = node.first;
      if (path == kSlash
              ? key.find(u'/') == Str::npos
              : key != path && Below(key, path) && key.find(u'/', path.size() + 1) == Str::npos) {
        names.push_back(path == kSlash ? key : key.substr(path.size() + 1));
      }
    }
    return names;
  }
  std::vector<Str> All() const {
    std::vector<Str> keys;
    for (const auto& node : m_tree) keys.push_back(node.first);
    return keys;
  }
  HRESULT MoveCompartmentIds(const Str& from, const Str& to, bool bRemoveSource) {
    if (Below(to, from)) return E_INVALIDARG;
    for (const Str& id : DataIds(from).value_or(std::vector<Str>{})) {
      if (!id.empty()) SetData(to, id, m_tree[from][id]);
    }
    const std::vector<Str> children = Children(from);
    HRESULT hr = children.empty() ? E_FAIL : S_OK;
    for (const Str& name : children) {
      hr = name.empty() ? E_INVALIDARG
                        : MoveCompartmentIds(from + kSlash + name, to + kSlash + name, false);
    }
    return bRemoveSource ? RemoveCompartment(from) : hr;
  }
  HRESULT FlushTree() {
    m_tree.clear();
    return S_OK;
  }
  // As tree_test_util's Dump writes a tree.
  std::string Dump() const {
    std::string out;
    for (const auto& [key, items] : m_tree) {
      out += (out.empty() ? "" : " ") + (key.empty() ? std::string("''") : ToUtf8(key));
      std::string text;
      for (const auto& [id, value] : items) {
        std::string hex = value ? "" : "null";
        for (BYTE b : value.value_or(std::vector<BYTE>{})) {
          hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
        }
        text += (text.empty() ? "" : ",") + ToUtf8(id) + "=" + hex;
      }
      if (!text.empty()) out += "{" + text + "}";
    }
    return out;
  }

 private:
  std::map<Str, std::map<Str, Value>> m_tree;
};

secwstring S(const Str& s) { return secwstring(s.data(), s.size()); }

std::string RealList(const std::function<HRESULT(SAFEARRAY**)>& list) {
  HRESULT hr = E_UNEXPECTED;
  const std::string listed = Listed(list, hr);
  return Answer(hr, listed);
}

// xorshift32: the same sequence in both builds.
class CRandom {
 public:
  explicit CRandom(uint32_t seed) : m_state(seed * 2654435761u + 1) {}
  size_t Pick(size_t n) {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 17;
    m_state ^= m_state << 5;
    return m_state % n;
  }
  bool Chance(size_t inN) { return Pick(inN) == 0; }

 private:
  uint32_t m_state;
};

const std::vector<Str> kSessions = Strings({OLESTR("1"), OLESTR("3"), OLESTR("7"), OLESTR("0")});
// Below a session: names that share text and sort around "/" and each other.
const std::vector<Str> kBelow = Strings(
    {OLESTR("A"), OLESTR("AB"), OLESTR("A!"), OLESTR("A0"), OLESTR("A."), OLESTR("b"), OLESTR("")});
const std::vector<Str> kDataIds = Strings({OLESTR("x"), OLESTR("y"), OLESTR("X"), OLESTR("")});

// Paths from a small space, so that operations meet what earlier ones made:
// mostly a session and up to two names below it, rarely an empty first
// segment.
Str RandomPath(CRandom& rnd) {
  if (rnd.Chance(40)) return kSlash;
  Str path = rnd.Chance(30) ? Str() : kSessions[rnd.Pick(4)];
  for (size_t n = rnd.Pick(3); n > 0; --n) path += kSlash + kBelow[rnd.Pick(kBelow.size())];
  return path;
}

class ModelTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ModelTest, LongRandomSequenceAnswersLikeTheModel) {
  CRandom rnd(GetParam());
  CHistoryUse history;
  CMemoryTree tree(W(OLESTR("DS1")));
  CModelTree model;
  for (int step = 0; step < 6000; ++step) {
    const Str path = RandomPath(rnd);
    const Str id = kDataIds[rnd.Pick(kDataIds.size())];
    const Str to = rnd.Chance(3) ? RandomPath(rnd) : kSessions[rnd.Pick(3)] + kSlash + id;
    const size_t op = rnd.Pick(11);
    std::ostringstream what;
    what << "seed " << GetParam() << " step " << step << " op " << op << " path '" << ToUtf8(path)
         << "' id '" << ToUtf8(id) << "' to '" << ToUtf8(to) << "'";
    std::string real;
    std::string expected;
    switch (op) {
      case 0:
      case 1: {
        Value value = std::vector<BYTE>(rnd.Pick(4), static_cast<BYTE>(rnd.Pick(256)));
        if (rnd.Chance(15)) value.reset();
        CScopedSafeArray psa = value ? MakeBytes(*value) : CScopedSafeArray();
        real = Answer(tree.SetData(S(path), S(id), psa.Get(), 0, FALSE));
        expected = Answer(model.SetData(path, id, value));
        break;
      }
      case 2: {
        CScopedSafeArray psa;
        Value value;
        const HRESULT hr = tree.GetData(S(path), S(id), psa.Receive(), 0);
        real = Answer(
            hr, hr == S_OK ? ValueText(psa.Get() ? Value(ReadBytes(psa.Get())) : Value()) : "");
        const HRESULT hrModel = model.GetData(path, id, value);
        expected = Answer(hrModel, hrModel == S_OK ? ValueText(value) : "");
        break;
      }
      case 3:
        real = Answer(tree.RemoveData(S(path), S(id), 0));
        expected = Answer(model.RemoveData(path, id));
        break;
      case 4:
        real = Answer(tree.CreateCompartment(S(path), 0));
        expected = Answer(model.CreateCompartment(path));
        break;
      case 5: {
        const Str removed = rnd.Chance(5) ? Str() : path;
        real = Answer(tree.RemoveCompartment(S(removed), TRUE, 0));
        expected = Answer(model.RemoveCompartment(removed));
        break;
      }
      case 6: {
        real = RealList([&](SAFEARRAY** pp) { return tree.ListDataIds(S(path), pp, 0); });
        const auto ids = model.DataIds(path);
        expected = ListText(ids ? S_OK : E_FAIL, ids.has_value(), ids.value_or(std::vector<Str>{}));
        break;
      }
      case 7: {
        real = RealList([&](SAFEARRAY** pp) { return tree.ListCompartmentIds(S(path), pp, 0); });
        const std::vector<Str> children = model.Children(path);
        expected = ListText(S_OK, !children.empty(), children);
        break;
      }
      case 8:
        real = RealList([&](SAFEARRAY** pp) { return tree.ListAllCompartmentIds(pp); });
        expected = ListText(S_OK, true, model.All());
        break;
      case 9: {
        const bool bRemove = !rnd.Chance(3);
        real = Answer(tree.MoveCompartmentIds(S(path), S(to), bRemove));
        expected = Answer(model.MoveCompartmentIds(path, to, bRemove));
        break;
      }
      default:
        if (rnd.Chance(30)) {
          real = Answer(tree.FlushTree(0));
          expected = Answer(model.FlushTree());
        }
        break;
    }
    ASSERT_EQ(real, expected) << what.str();
    if (step % 100 == 99) {
      ASSERT_EQ(Dump(tree), model.Dump()) << what.str();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Values(1u, 2u, 3u, 20240601u));

}  // namespace
