#include <gtest/gtest.h>

#include "support/scopedbstr.h"
#include "tree_test_util.h"
#include "trees/memorytree.h"

namespace {

// A tree whose top-level listing is scripted, in the order a registry tree
// may give it, with elements a memory tree never produces; nothing else is.
class CScriptedListTree final : public CAbstractTree {
  using S = const secwstring&;

 public:
  explicit CScriptedListTree(std::vector<std::string> topLevel) : m_topLevel(std::move(topLevel)) {}

  HRESULT GetTreeId(secwstring&) override { return E_NOTIMPL; }
  HRESULT SetData(S, S, SAFEARRAY*, DWORD, BOOL) override { return E_NOTIMPL; }
  HRESULT GetData(S, S, SAFEARRAY**, DWORD) override { return E_NOTIMPL; }
  HRESULT RemoveData(S, S, DWORD) override { return E_NOTIMPL; }
  HRESULT CreateCompartment(S, DWORD) override { return E_NOTIMPL; }
  HRESULT RemoveCompartment(S, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT FlushTree(DWORD) override { return E_NOTIMPL; }
  HRESULT IsDataCached(S, S, BOOL*, DWORD) override { return E_NOTIMPL; }
  HRESULT ListDataIds(S, SAFEARRAY**, DWORD) override { return E_NOTIMPL; }
  HRESULT IsCompartmentCached(S, ULONG*, ULONG*, BOOL*, DWORD) override { return E_NOTIMPL; }
  HRESULT ListAllCompartmentIds(SAFEARRAY**) override { return E_NOTIMPL; }
  HRESULT ListCompartmentIds(S, SAFEARRAY** ppsList, DWORD) override {
    *ppsList = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(m_topLevel.size()));
    for (LONG i = 0; i < static_cast<LONG>(m_topLevel.size()); ++i) {
      const secwstring s = U(m_topLevel[static_cast<size_t>(i)]);
      CScopedBSTR bstr(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
      EXPECT_EQ(SafeArrayPutElement(*ppsList, &i, bstr.Get()), S_OK);
    }
    return S_OK;
  }

 private:
  std::vector<std::string> m_topLevel;
};

// FindSessionId searches only for session "0"; FindCompartmentId matches the
// exact path under the session.
TEST(AbstractTree, FindSessionAndCompartment) {
  struct {
    char op;  // S: FindSessionId, C: FindCompartmentId
    const char *tree, *session, *sub;
    HRESULT hr;
    const char* found;  // "unchanged": not found
  } const rows[] = {
      {'S', "3/X", "5", "X", S_OK, "5"},          // any other session is its own answer, unsearched
      {'S', "3/X", "00", "X", S_OK, "00"},        // only exactly "0" is special
      {'S', "7/X 3/X 5/Y", "0", "Z", S_OK, "0"},  // none: filed under "0"
      {'S', "7/X 3/X 10/X", "0", "X", S_OK, "10"},  // the first in list order, which is key order
      {'S', "3/a/b/c 4/Y/X 5/a/b", "0", "Y/X", S_OK, "4"},
      {'S', "0/X 7/X 0/Y", "0", "X", S_OK, "7"},  // "0" is reached only by the fallback
      {'S', "", "0", "X", S_OK, "0"},
      {'S', "/X 3/X", "0", "X", E_INVALIDARG, "unchanged"},  // no BSTR carries the top-level ""
      {'C', "3/a/b/c 4/a/b", "3", "a/b", S_OK, "3/a/b"},
      {'C', "3/a/b/c 4/a/b", "3", "", S_OK, "unchanged"},  // the path 3 is one segment
      {'C', "a/b/c", "a/b", "c", S_OK, "unchanged"},
      {'C', "/x", "", "x", S_OK, "/x"},
      // A tree holding "" (which no BSTR carries) is searched through its
      // listing; the result is that of the last path read.
      {'C', "''", "3", "y", E_INVALIDARG, "unchanged"},
      {'C', "'' 3/y", "3", "y", S_OK, "3/y"},
      {'C', "'' 3/z", "3", "y", S_OK, "unchanged"},
  };
  for (const auto& row : rows) {
    CMemoryTree tree(U("PIN"));
    Build(tree, row.tree);
    secwstring sFound = U("unchanged");
    bool bFound = true;  // FindSessionId leaves it
    SCOPED_TRACE(row.op + std::string(" ") + row.tree + " " + row.session + " " + row.sub);
    EXPECT_EQ(row.op == 'S' ? tree.FindSessionId(U(row.session), U(row.sub), sFound)
                            : tree.FindCompartmentId(U(row.session), U(row.sub), sFound, bFound),
              row.hr);
    EXPECT_EQ(U8(sFound), row.found);
    EXPECT_EQ(bFound, row.op == 'S' || std::string(row.found) != "unchanged");
  }
}

TEST(AbstractTree, SessionListIsDistinctInFirstSeenOrder) {
  // A memory tree's top level is distinct and in key order already (the
  // searches above read it).
  struct {
    std::vector<std::string> scripted;
    HRESULT hr;
    const char* expected;
  } const rows[] = {
      {{"7", "3/x", "3", "7", "1"}, S_OK, "7 3 1"},
      {{"7", "3/x", "", "1"}, E_INVALIDARG, "7 3"},  // what was read before stays
  };
  for (const auto& row : rows) {
    CScriptedListTree tree(row.scripted);
    std::vector<secwstring> list{U("stale")};
    EXPECT_EQ(tree.GetSessionIdList(list), row.hr) << row.expected;
    std::string joined;
    for (const secwstring& s : list) joined += (joined.empty() ? "" : " ") + U8(s);
    EXPECT_EQ(joined, row.expected);
  }
}

}  // namespace
