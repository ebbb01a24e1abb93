#include <gtest/gtest.h>

#include "support/bstrconv.h"
#include "support/scopedbstr.h"
#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

// A tree whose listings are scripted, in the order a registry tree may give
// them, with elements a memory tree never produces.
class CScriptedListTree final : public CAbstractTree {
 public:
  std::vector<OleString> topLevel;
  std::vector<OleString> all;

  HRESULT GetTreeId(secwstring&) override { return E_NOTIMPL; }
  HRESULT SetData(const secwstring&, const secwstring&, SAFEARRAY*, DWORD, BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT GetData(const secwstring&, const secwstring&, SAFEARRAY**, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT RemoveData(const secwstring&, const secwstring&, DWORD) override { return E_NOTIMPL; }
  HRESULT CreateCompartment(const secwstring&, DWORD) override { return E_NOTIMPL; }
  HRESULT RemoveCompartment(const secwstring&, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT FlushTree(DWORD) override { return E_NOTIMPL; }
  HRESULT IsDataCached(const secwstring&, const secwstring&, BOOL*, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT ListDataIds(const secwstring&, SAFEARRAY**, DWORD) override { return E_NOTIMPL; }
  HRESULT ListCompartmentIds(const secwstring& sCompartmentId, SAFEARRAY** ppsList,
                             DWORD) override {
    if (sCompartmentId != OLESTR("/")) return E_NOTIMPL;
    *ppsList = MakeList(topLevel);
    return S_OK;
  }
  HRESULT IsCompartmentCached(const secwstring&, ULONG*, ULONG*, BOOL*, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT ListAllCompartmentIds(SAFEARRAY** ppsList) override {
    *ppsList = MakeList(all);
    return S_OK;
  }

 private:
  static SAFEARRAY* MakeList(const std::vector<OleString>& items) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
      CScopedBSTR bstr(SysAllocStringLen(items[i].data(), static_cast<UINT>(items[i].size())));
      EXPECT_EQ(SafeArrayPutElement(psa, &i, bstr.Get()), S_OK);
    }
    return psa;
  }
};

class AbstractTreeTest : public ::testing::Test {
 protected:
  void Create(std::initializer_list<const OLECHAR*> paths) {
    for (const OLECHAR* pszPath : paths) {
      ASSERT_EQ(m_tree.CreateCompartment(W(pszPath), 0), S_OK);
    }
  }
  void Set(const OLECHAR* pszPath, const OLECHAR* pszDataId, BYTE b) {
    CScopedSafeArray value = MakeBytes({b});
    ASSERT_EQ(m_tree.SetData(W(pszPath), W(pszDataId), value.Get(), 0, TRUE), S_OK);
  }
  HRESULT Find(const OLECHAR* pszSession, const OLECHAR* pszSub, OleString& found) {
    secwstring sFound = W(OLESTR("unchanged"));
    const HRESULT hr = m_tree.FindSessionId(W(pszSession), W(pszSub), sFound);
    found = O(sFound);
    return hr;
  }
  OleString Found(const OLECHAR* pszSession, const OLECHAR* pszSub) {
    OleString found;
    EXPECT_EQ(Find(pszSession, pszSub, found), S_OK);
    return found;
  }
  std::vector<OleString> Sessions(CAbstractTree& tree) {
    std::vector<secwstring> list{W(OLESTR("stale"))};
    EXPECT_EQ(tree.GetSessionIdList(list), S_OK);
    return Strings(list);
  }

  CHistoryUse m_history;
  CMemoryTree m_tree{W(OLESTR("PIN"))};
};

TEST_F(AbstractTreeTest, ASessionOtherThanZeroIsItsOwnAnswer) {
  Create({OLESTR("3/X")});
  CRecordingLogSink sink;
  EXPECT_EQ(Found(OLESTR("5"), OLESTR("X")), OLESTR("5"));
  EXPECT_EQ(Found(OLESTR("3"), OLESTR("Y")), OLESTR("3"));
  EXPECT_EQ(Found(OLESTR("00"), OLESTR("X")), OLESTR("00")) << "only exactly \"0\" is special";
  for (const auto& text : sink.Texts()) {
    EXPECT_EQ(text.find(OLESTR("GetSessionIdList")), OleString::npos) << "nothing is searched";
  }
}

TEST_F(AbstractTreeTest, SessionZeroFindsTheFirstSessionInListOrder) {
  Create({OLESTR("7/X"), OLESTR("3/X"), OLESTR("5/Y")});
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("3"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("Y")), OLESTR("5"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("Z")), OLESTR("0")) << "none: file it under \"0\"";
  Create({OLESTR("10/X")});
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("10")) << "list order is key order";
}

TEST_F(AbstractTreeTest, SessionZeroMatchesTheWholeSubCompartmentOnly) {
  Create({OLESTR("3/a/b/c"), OLESTR("4/Y/X"), OLESTR("5/a/b")});
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("a/b")), OLESTR("3")) << "the ancestor 3/a/b of 3/a/b/c";
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("0"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("b")), OLESTR("0"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("a/b/c")), OLESTR("3"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("Y/X")), OLESTR("4"));
}

TEST_F(AbstractTreeTest, ACompartmentFiledUnderZeroIsReachedOnlyByTheFallback) {
  Create({OLESTR("0/X"), OLESTR("7/X"), OLESTR("0/Y")});
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("7"));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("Y")), OLESTR("0"));
}

TEST_F(AbstractTreeTest, FindSessionIdLogsAtDetailLevelWithASummary) {
  Create({OLESTR("3/X")});
  CRecordingLogSink sink;
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("3"));
  const auto lines = sink.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front().lLevel, LOG_DETAIL);
  EXPECT_EQ(lines.front().text, OLESTR("CAbstractTree::FindSessionId"));
  EXPECT_EQ(lines.back().lLevel, LOG_DETAIL);
  EXPECT_EQ(lines.back().text, OLESTR("CAbstractTree::FindSessionId hr = 0x0"));
  const auto& summary = lines[lines.size() - 2];
  EXPECT_EQ(summary.lLevel, LOG_NOTABLE);
  EXPECT_EQ(summary.text,
            OLESTR("CAbstractTree::FindSessionId sSessionId = 0, sSubCompartmentId = X, "
                   "sSessionIdFound = 3, hr = 0x0"));
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("CAbstractTree::FindSessionId bFound = true")));
  EXPECT_TRUE(
      sink.Contains(LOG_DETAIL, OLESTR("CAbstractTree::FindSessionId sSessionIdFound = 3")));
}

TEST_F(AbstractTreeTest, AnEmptyTopLevelNameFailsTheSearchAndLeavesTheOutput) {
  // "/X" has the empty top-level compartment "", which no BSTR can carry.
  Create({OLESTR("/X"), OLESTR("3/X")});
  CRecordingLogSink sink;
  OleString found;
  EXPECT_EQ(Find(OLESTR("0"), OLESTR("X"), found), E_INVALIDARG);
  EXPECT_EQ(found, OLESTR("unchanged"));
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CAbstractTree::FindSessionId GetSessionIdList failed")));
  EXPECT_TRUE(
      sink.Contains(LOG_NOTABLE, OLESTR("CAbstractTree::FindSessionId sSessionId = 0, "
                                        "sSubCompartmentId = X, sSessionIdFound = unchanged, hr = "
                                        "0x80070057")));
}

TEST_F(AbstractTreeTest, SessionListOfAnEmptyTreeIsEmpty) {
  CRecordingLogSink sink;
  EXPECT_EQ(Sessions(m_tree), std::vector<OleString>{});
  EXPECT_TRUE(sink.Contains(LOG_FAILURE,
                            OLESTR("CAbstractTree::GetSessionIdList ListCompartmentIds failed")));
  EXPECT_EQ(Found(OLESTR("0"), OLESTR("X")), OLESTR("0"));
}

TEST_F(AbstractTreeTest, SessionListIsDistinctInFirstSeenOrder) {
  Create({OLESTR("7/A"), OLESTR("3"), OLESTR("3/B"), OLESTR("10")});
  EXPECT_EQ(Sessions(m_tree), Strings({OLESTR("10"), OLESTR("3"), OLESTR("7")}));

  CScriptedListTree scripted;
  scripted.topLevel = Strings({OLESTR("7"), OLESTR("3/x"), OLESTR("3"), OLESTR("7"), OLESTR("1")});
  EXPECT_EQ(Sessions(scripted), Strings({OLESTR("7"), OLESTR("3"), OLESTR("1")}));
}

TEST_F(AbstractTreeTest, ASessionListThatFailsPartWayKeepsWhatWasReadBefore) {
  CScriptedListTree scripted;
  scripted.topLevel = Strings({OLESTR("7"), OLESTR("3/x"), OLESTR(""), OLESTR("1")});
  std::vector<secwstring> list{W(OLESTR("stale"))};
  EXPECT_EQ(scripted.GetSessionIdList(list), E_INVALIDARG) << "no BSTR carries \"\"";
  EXPECT_EQ(Strings(list), Strings({OLESTR("7"), OLESTR("3")}));
}

TEST_F(AbstractTreeTest, FindCompartmentIdMatchesTheExactPathUnderTheSession) {
  Create({OLESTR("3/a/b/c"), OLESTR("4/a/b")});
  secwstring sFound = W(OLESTR("unchanged"));
  bool bFound = true;
  EXPECT_EQ(m_tree.FindCompartmentId(W(OLESTR("3")), W(OLESTR("a/b")), sFound, bFound), S_OK);
  EXPECT_TRUE(bFound);
  EXPECT_EQ(O(sFound), OLESTR("3/a/b"));

  sFound = W(OLESTR("unchanged"));
  EXPECT_EQ(m_tree.FindCompartmentId(W(OLESTR("3")), W(OLESTR("a/b/c/d")), sFound, bFound), S_OK);
  EXPECT_FALSE(bFound);
  EXPECT_EQ(O(sFound), OLESTR("unchanged"));
  EXPECT_EQ(m_tree.FindCompartmentId(W(OLESTR("3")), W(OLESTR("")), sFound, bFound), S_OK);
  EXPECT_FALSE(bFound) << "the one-segment path 3 never matches";
  EXPECT_EQ(m_tree.FindCompartmentId(W(OLESTR("a")), W(OLESTR("b")), sFound, bFound), S_OK);
  EXPECT_FALSE(bFound) << "the session is the first segment, not any segment";
}

TEST_F(AbstractTreeTest, FindCompartmentIdEndsWithTheResultOfTheLastPathRead) {
  CScriptedListTree scripted;
  scripted.all = Strings({OLESTR("3/x"), OLESTR("")});
  secwstring sFound;
  bool bFound = true;
  CRecordingLogSink sink;
  EXPECT_EQ(scripted.FindCompartmentId(W(OLESTR("3")), W(OLESTR("y")), sFound, bFound),
            E_INVALIDARG);
  EXPECT_FALSE(bFound);
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CAbstractTree::FindCompartmentId BSTR2wstring failed")));

  scripted.all = Strings({OLESTR(""), OLESTR("3/y")});
  EXPECT_EQ(scripted.FindCompartmentId(W(OLESTR("3")), W(OLESTR("y")), sFound, bFound), S_OK)
      << "an unreadable path earlier does not stop the search";
  EXPECT_TRUE(bFound);
  scripted.all = Strings({OLESTR(""), OLESTR("3/z")});
  EXPECT_EQ(scripted.FindCompartmentId(W(OLESTR("3")), W(OLESTR("y")), sFound, bFound), S_OK);
  EXPECT_FALSE(bFound);
}

TEST_F(AbstractTreeTest, MoveCarriesItemsOfEveryLevelAndRemovesTheSource) {
  Set(OLESTR("1/A"), OLESTR("a"), 1);
  Set(OLESTR("1/A"), OLESTR("b"), 2);
  Set(OLESTR("1/A/B"), OLESTR("c"), 3);
  Create({OLESTR("1/A/B/Empty"), OLESTR("1/AB")});

  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A")), W(OLESTR("2/A")), true), S_OK)
      << "the result of the final removal";
  EXPECT_EQ(AllCompartments(m_tree),
            Strings({OLESTR("1"), OLESTR("1/AB"), OLESTR("2"), OLESTR("2/A"), OLESTR("2/A/B")}))
      << "a compartment travels only with items";
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("2/A"), OLESTR("a")), (std::vector<BYTE>{1}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("2/A"), OLESTR("b")), (std::vector<BYTE>{2}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("2/A/B"), OLESTR("c")), (std::vector<BYTE>{3}));
  // The removal advanced the counters of the source's descendants.
  EXPECT_EQ(Versions(OLESTR("PIN/1/A/B")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("PIN/1/A/B/Empty")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("PIN/1/A")), Counters(S_OK, 0, 0));
}

TEST_F(AbstractTreeTest, MoveWithoutRemovalReportsTheLeafAtTheEndOfTheLastChain) {
  Set(OLESTR("1/A"), OLESTR("a"), 1);
  Set(OLESTR("1/A/B"), OLESTR("c"), 3);
  CRecordingLogSink sink;
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A")), W(OLESTR("2/A")), false), E_FAIL);
  EXPECT_TRUE(sink.Contains(LOG_FAILURE,
                            OLESTR("CAbstractTree::MoveCompartmentIds ListCompartmentIds failed")));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE,
                            OLESTR("CAbstractTree::MoveCompartmentIds MoveCompartmentIds failed")));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("2/A/B"), OLESTR("c")), (std::vector<BYTE>{3}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("1/A/B"), OLESTR("c")), (std::vector<BYTE>{3}));

  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A/B")), W(OLESTR("3")), false), E_FAIL);
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A/B")), W(OLESTR("4")), true), S_OK);
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("4"), OLESTR("c")), (std::vector<BYTE>{3}));
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("9")), W(OLESTR("5")), true), S_OK)
      << "a missing source: the removal matches nothing";
}

TEST_F(AbstractTreeTest, MoveIntoItselfOrBelowIsRefusedAndChangesNothing) {
  Set(OLESTR("1/A"), OLESTR("a"), 1);
  const std::vector<OleString> before = AllCompartments(m_tree);
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A")), W(OLESTR("1/A/B")), true), E_INVALIDARG);
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A")), W(OLESTR("1/A")), true), E_INVALIDARG);
  EXPECT_EQ(AllCompartments(m_tree), before);
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("1/A"), OLESTR("a")), (std::vector<BYTE>{1}));

  // Upwards and sideways are fine.
  Set(OLESTR("1/A/B"), OLESTR("b"), 2);
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A/B")), W(OLESTR("1/A")), true), S_OK);
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("1/A"), OLESTR("b")), (std::vector<BYTE>{2}));
  EXPECT_EQ(m_tree.MoveCompartmentIds(W(OLESTR("1/A")), W(OLESTR("1/AB")), true), S_OK);
  EXPECT_EQ(AllCompartments(m_tree), Strings({OLESTR("1"), OLESTR("1/AB")}));
}

}  // namespace
