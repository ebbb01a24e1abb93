// A memory tree against a deliberately simple model of its core, driven by
// one long random sequence of operations: items set, read and removed,
// compartments made with their ancestors and removed with their
// descendants, the listings and the move. Every answer is compared, and the
// whole tree every hundred steps. The quirks (empty names, "/", counters,
// session searches) are pinned by the tables of the other tree tests.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "tree_test_util.h"
#include "trees/memorytree.h"

namespace {

std::string A(HRESULT hr, const std::string& rest = "") { return std::to_string(hr) + " " + rest; }

bool Below(const std::string& key, const std::string& path) {
  return key == path || key.rfind(path + "/", 0) == 0;
}

// Paths with their items, each value its text or "null" (a null array).
struct SModel {
  std::map<std::string, std::map<std::string, std::string>> paths;

  std::map<std::string, std::string>& Create(const std::string& path) {
    for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1))
      paths[path.substr(0, pos)];
    return paths[path];
  }
  HRESULT Remove(const std::string& path) {
    if (paths.empty()) return E_INVALIDARG;
    std::erase_if(paths, [&](const auto& node) { return Below(node.first, path); });
    return S_OK;
  }
  std::string Children(const std::string& path) const {
    std::string names;
    for (const auto& [key, items] : paths) {
      if (key != path && Below(key, path) && key.find('/', path.size() + 1) == std::string::npos)
        names += (names.empty() ? "" : " ") + key.substr(path.size() + 1);
    }
    return names;
  }
  HRESULT Move(const std::string& from, const std::string& to, bool bRemoveSource) {
    if (Below(to, from)) return E_INVALIDARG;
    if (paths.count(from)) {
      for (const auto& [id, value] : std::map(paths[from])) Create(to)[id] = value;
    }
    HRESULT hr = E_FAIL;  // a leaf has no child list
    std::istringstream names(Children(from));
    for (std::string name; names >> name;) hr = Move(from + "/" + name, to + "/" + name, false);
    return bRemoveSource ? Remove(from) : hr;
  }
  // Every path made has its ancestors, so a path's items are listed only
  // when the path itself is held.
  std::string DataIds(const std::string& path) const {
    if (!paths.count(path)) return A(E_FAIL, "untouched");
    std::string ids;
    for (const auto& item : paths.at(path)) ids += (ids.empty() ? "" : " ") + item.first;
    return A(S_OK, ids);
  }
  std::string Dump() const {
    std::string out;
    for (const auto& [key, items] : paths) {
      std::string text;
      for (const auto& [id, value] : items) text += (text.empty() ? "" : ",") + id + "=" + value;
      out += (out.empty() ? "" : " ") + key + (text.empty() ? "" : "{" + text + "}");
    }
    return out;
  }
};

// A listing's result and names, or "untouched" when the output stayed null.
std::string Listed(HRESULT hr, const CScopedSafeArray& psa) {
  return A(hr, psa.Get() ? Joined(psa.Get()) : "untouched");
}

// Paths from a small space, so that operations meet what earlier ones made:
// a session and up to two names that share text and sort around "/".
std::string RandomPath(std::minstd_rand& rnd) {
  static const char* const kBelow[] = {"A", "AB", "A!", "A0", "A.", "b"};
  std::string path = std::string(1, "1370"[rnd() % 4]);
  for (size_t n = rnd() % 3; n > 0; --n) path += std::string("/") + kBelow[rnd() % 6];
  return path;
}

class MemoryTreeModel : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MemoryTreeModel, LongRandomSequenceAnswersLikeTheModel) {
  std::minstd_rand rnd(GetParam());  // the same sequence in both builds
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  SModel model;
  for (int step = 0; step < 4000; ++step) {
    const std::string path = RandomPath(rnd), id(1, "xyX"[rnd() % 3]), to = RandomPath(rnd);
    const secwstring sPath = U(path), sId = U(id);
    const size_t op = rnd() % 11;
    SCOPED_TRACE(testing::Message() << step << ":" << op << " " << path << " " << id << " " << to);
    const bool bHeld = model.paths.count(path) && model.paths[path].count(id);
    CScopedSafeArray psa;
    std::string real = A(S_OK), expected = A(S_OK);  // unless the operation answers otherwise
    if (op <= 1) {
      const std::string value = rnd() % 15 == 0 ? "null" : std::string(rnd() % 4, 'a' + op);
      if (value != "null") psa = MakeBytes({value.begin(), value.end()});
      real = A(tree.SetData(sPath, sId, psa.Get(), 0, FALSE));
      model.Create(path)[id] = value;
    } else if (op == 2) {
      const HRESULT hr = tree.GetData(sPath, sId, psa.Receive(), 0);
      const char* pch = psa.Get() ? static_cast<const char*>(psa.Get()->pvData) : nullptr;
      real = A(hr, FAILED(hr) ? ""
                   : pch      ? std::string(pch, psa.Get()->rgsabound[0].cElements)
                              : "null");
      expected = bHeld ? A(S_OK, model.paths[path][id]) : A(E_INVALIDARG);
    } else if (op == 3) {
      real = A(tree.RemoveData(sPath, sId, 0));
      expected = A(bHeld && model.paths[path].erase(id) ? S_OK : E_INVALIDARG);
    } else if (op == 4) {
      real = A(tree.CreateCompartment(sPath, 0));
      model.Create(path);
    } else if (op == 5) {
      real = A(tree.RemoveCompartment(sPath, TRUE, 0));
      expected = A(model.Remove(path));
    } else if (op == 6) {
      real = Listed(tree.ListDataIds(sPath, psa.Receive(), 0), psa);
      expected = model.DataIds(path);
    } else if (op == 7) {
      real = Listed(tree.ListCompartmentIds(sPath, psa.Receive(), 0), psa);
      expected = A(S_OK, model.Children(path).empty() ? "untouched" : model.Children(path));
    } else if (op == 8) {
      const bool bRemove = rnd() % 3 != 0;
      real = A(tree.MoveCompartmentIds(sPath, U(to), bRemove));
      expected = A(model.Move(path, to, bRemove));
    } else if (op == 9) {
      BOOL bCached = 7;
      const HRESULT hr = tree.IsDataCached(sPath, sId, &bCached, 0);
      real = A(hr, std::to_string(bCached));
      expected = A(S_OK, bHeld ? "1" : "0");
    } else if (rnd() % 40 == 0) {
      real = A(tree.FlushTree(0));
      model.paths.clear();
    }
    ASSERT_EQ(real, expected);
    if (step % 100 == 99) {
      ASSERT_EQ(Dump(tree), model.Dump());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MemoryTreeModel, ::testing::Values(1u, 2u, 3u, 20240601u));

}  // namespace
