// A memory tree against a deliberately simple model of its core, driven by
// one long random sequence of operations: items set, read and removed,
// compartments made with their ancestors and removed with their
// descendants, the listings and the move. Every answer is compared, and the
// whole tree every hundred steps. The quirks (empty names, "/", counters,
// session searches) are pinned by the tables of the other tree tests.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tree_test_util.h"
#include "trees/memorytree.h"

namespace {

using Value = std::optional<std::string>;  // nullopt: a null array

bool Below(const std::string& key, const std::string& path) {
  return key == path || key.rfind(path + "/", 0) == 0;
}

std::string Answer(HRESULT hr, const std::string& rest = "") {
  return std::to_string(hr) + " " + rest;
}

class CModelTree {
 public:
  HRESULT SetData(const std::string& path, const std::string& id, const Value& value) {
    CreateCompartment(path);
    m_tree[path][id] = value;
    return S_OK;
  }
  HRESULT CreateCompartment(const std::string& path) {
    for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1)) {
      m_tree[path.substr(0, pos)];
    }
    m_tree[path];
    return S_OK;
  }
  std::string GetData(const std::string& path, const std::string& id) const {
    const auto node = m_tree.find(path);
    if (node == m_tree.end() || !node->second.count(id)) return Answer(E_INVALIDARG);
    return Answer(S_OK, node->second.at(id).value_or("null"));
  }
  HRESULT RemoveData(const std::string& path, const std::string& id) {
    const auto node = m_tree.find(path);
    return node != m_tree.end() && node->second.erase(id) ? S_OK : E_INVALIDARG;
  }
  HRESULT RemoveCompartment(const std::string& path) {
    if (m_tree.empty()) return E_INVALIDARG;
    std::erase_if(m_tree, [&](const auto& node) { return Below(node.first, path); });
    return S_OK;
  }
  // The items of the first compartment at or below the path.
  std::string DataIds(const std::string& path) const {
    for (const auto& [key, items] : m_tree) {
      if (!Below(key, path)) continue;
      std::string ids;
      for (const auto& item : items) ids += (ids.empty() ? "" : " ") + item.first;
      return Answer(S_OK, ids);
    }
    return Answer(E_FAIL, "untouched");
  }
  std::vector<std::string> Children(const std::string& path) const {
    std::vector<std::string> names;
    for (const auto& node : m_tree) {
      const std::string& key = node.first;
      if (key != path && Below(key, path) && key.find('/', path.size() + 1) == std::string::npos) {
        names.push_back(key.substr(path.size() + 1));
      }
    }
    return names;
  }
  HRESULT MoveCompartmentIds(const std::string& from, const std::string& to, bool bRemoveSource) {
    if (Below(to, from)) return E_INVALIDARG;
    if (const auto node = m_tree.find(from); node != m_tree.end()) {
      for (const auto& [id, value] : std::map(node->second)) SetData(to, id, value);
    }
    const std::vector<std::string> children = Children(from);
    HRESULT hr = children.empty() ? E_FAIL : S_OK;
    for (const std::string& name : children) {
      hr = MoveCompartmentIds(from + "/" + name, to + "/" + name, false);
    }
    return bRemoveSource ? RemoveCompartment(from) : hr;
  }
  std::string Dump() const {
    std::string out;
    for (const auto& [key, items] : m_tree) {
      std::string text;
      for (const auto& [id, value] : items) {
        text += (text.empty() ? "" : ",") + id + "=" + value.value_or("null");
      }
      out += (out.empty() ? "" : " ") + key + (text.empty() ? "" : "{" + text + "}");
    }
    return out;
  }
  void Clear() { m_tree.clear(); }

 private:
  std::map<std::string, std::map<std::string, Value>> m_tree;
};

// A listing as text: the result, then the names, or "untouched" when the
// tree left the output null.
template <class F>
std::string Listed(F&& list) {
  CScopedSafeArray psa;
  const HRESULT hr = list(psa.Receive());
  return Answer(hr, psa.Get() != nullptr ? Joined(psa.Get()) : "untouched");
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

 private:
  uint32_t m_state;
};

// Paths from a small space, so that operations meet what earlier ones made:
// a session and up to two names that share text and sort around "/".
std::string RandomPath(CRandom& rnd) {
  static const char* const kSessions[] = {"1", "3", "7", "0"};
  static const char* const kBelow[] = {"A", "AB", "A!", "A0", "A.", "b"};
  std::string path = kSessions[rnd.Pick(4)];
  for (size_t n = rnd.Pick(3); n > 0; --n) path += std::string("/") + kBelow[rnd.Pick(6)];
  return path;
}

class MemoryTreeModel : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MemoryTreeModel, LongRandomSequenceAnswersLikeTheModel) {
  static const char* const kIds[] = {"x", "y", "X"};
  CRandom rnd(GetParam());
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  CModelTree model;
  for (int step = 0; step < 4000; ++step) {
    const std::string path = RandomPath(rnd);
    const std::string id = kIds[rnd.Pick(3)];
    const std::string to = RandomPath(rnd);
    const size_t op = rnd.Pick(10);
    SCOPED_TRACE(testing::Message() << "seed " << GetParam() << " step " << step << " op " << op
                                    << " " << path << " " << id << " " << to);
    CScopedSafeArray psa;
    std::string real;
    std::string expected;
    switch (op) {
      case 0:
      case 1: {
        const Value value = rnd.Pick(15) == 0 ? Value() : std::string(rnd.Pick(4), 'a' + op);
        if (value) psa = MakeBytes({value->begin(), value->end()});
        real = Answer(tree.SetData(U(path), U(id), psa.Get(), 0, FALSE));
        expected = Answer(model.SetData(path, id, value));
        break;
      }
      case 2: {
        const HRESULT hr = tree.GetData(U(path), U(id), psa.Receive(), 0);
        const char* pch = psa.Get() ? static_cast<const char*>(psa.Get()->pvData) : nullptr;
        real = Answer(hr, FAILED(hr) ? ""
                          : pch      ? std::string(pch, psa.Get()->rgsabound[0].cElements)
                                     : "null");
        expected = model.GetData(path, id);
        break;
      }
      case 3:
        real = Answer(tree.RemoveData(U(path), U(id), 0));
        expected = Answer(model.RemoveData(path, id));
        break;
      case 4:
        real = Answer(tree.CreateCompartment(U(path), 0));
        expected = Answer(model.CreateCompartment(path));
        break;
      case 5:
        real = Answer(tree.RemoveCompartment(U(path), TRUE, 0));
        expected = Answer(model.RemoveCompartment(path));
        break;
      case 6:
        real = Listed([&](SAFEARRAY** pp) { return tree.ListDataIds(U(path), pp, 0); });
        expected = model.DataIds(path);
        break;
      case 7: {
        real = Listed([&](SAFEARRAY** pp) { return tree.ListCompartmentIds(U(path), pp, 0); });
        std::string names;
        for (const std::string& name : model.Children(path))
          names += (names.empty() ? "" : " ") + name;
        expected = Answer(S_OK, names.empty() ? "untouched" : names);
        break;
      }
      case 8: {
        const bool bRemove = rnd.Pick(3) != 0;
        real = Answer(tree.MoveCompartmentIds(U(path), U(to), bRemove));
        expected = Answer(model.MoveCompartmentIds(path, to, bRemove));
        break;
      }
      default:
        if (rnd.Pick(40) == 0) {
          real = Answer(tree.FlushTree(0));
          model.Clear();
          expected = Answer(S_OK);
        }
        break;
    }
    ASSERT_EQ(real, expected);
    if (step % 100 == 99) {
      ASSERT_EQ(Dump(tree), model.Dump());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MemoryTreeModel, ::testing::Values(1u, 2u, 3u, 20240601u));

}  // namespace
