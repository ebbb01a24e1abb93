#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"
#include "trees/node.h"

namespace {

class MemoryTreeTest : public ::testing::Test {
 protected:
  HRESULT Set(const OLECHAR* pszPath, const OLECHAR* pszDataId, std::initializer_list<BYTE> bytes) {
    CScopedSafeArray value = MakeBytes(bytes);
    return m_tree.SetData(W(pszPath), W(pszDataId), value.Get(), 0, FALSE);
  }

  // ListCompartmentIds with the output preset to a sentinel array, which
  // must come back untouched when there is nothing to list.
  HRESULT ListChildren(const OLECHAR* pszPath, std::vector<OleString>& children, bool& bUntouched) {
    CScopedSafeArray sentinel = MakeBytes({9});
    SAFEARRAY* psa = sentinel.Get();
    const HRESULT hr = m_tree.ListCompartmentIds(W(pszPath), &psa, 0);
    bUntouched = psa == sentinel.Get();
    children.clear();
    if (!bUntouched) {
      CScopedSafeArray list(psa);
      if (SUCCEEDED(hr)) children = ReadStrings(list.Get());
    }
    return hr;
  }

  std::vector<OleString> Children(const OLECHAR* pszPath) {
    std::vector<OleString> children;
    bool bUntouched = false;
    EXPECT_EQ(ListChildren(pszPath, children, bUntouched), S_OK);
    EXPECT_FALSE(bUntouched);
    return children;
  }

  std::vector<OleString> DataIds(const OLECHAR* pszPath) {
    CScopedSafeArray list;
    EXPECT_EQ(m_tree.ListDataIds(W(pszPath), list.Receive(), 0), S_OK);
    return ReadStrings(list.Get());
  }

  CVersions Cached(const OLECHAR* pszPath, BOOL& bCached) {
    CVersions v;
    v.hr = m_tree.IsCompartmentCached(W(pszPath), &v.ulCompartment, &v.ulContent, &bCached, 0);
    return v;
  }

  CHistoryUse m_history;
  CMemoryTree m_tree{W(OLESTR("DS1"))};
};

TEST_F(MemoryTreeTest, SetDataCreatesTheCompartmentWithEveryAncestorInKeyOrder) {
  ASSERT_EQ(Set(OLESTR("7/A/B"), OLESTR("x"), {1, 2}), S_OK);
  EXPECT_EQ(AllCompartments(m_tree), Strings({OLESTR("7"), OLESTR("7/A"), OLESTR("7/A/B")}));
  EXPECT_EQ(Children(OLESTR("/")), Strings({OLESTR("7")}));
  EXPECT_EQ(Children(OLESTR("7")), Strings({OLESTR("A")}));
  std::vector<OleString> children;
  bool bUntouched = false;
  EXPECT_EQ(ListChildren(OLESTR("7/A/B"), children, bUntouched), S_OK);
  EXPECT_TRUE(bUntouched) << "a leaf leaves the output as it was";

  // Ancestors exist but hold nothing of their descendants.
  SAFEARRAY* psa = nullptr;
  EXPECT_EQ(m_tree.GetData(W(OLESTR("7/A")), W(OLESTR("x")), &psa, 0), E_INVALIDARG);
  EXPECT_EQ(psa, nullptr);
  EXPECT_EQ(DataIds(OLESTR("7/A")), std::vector<OleString>{});
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("7/A/B"), OLESTR("x")), (std::vector<BYTE>{1, 2}));
}

TEST_F(MemoryTreeTest, EveryProperPrefixOfAKeyIsAKey) {
  ASSERT_EQ(Set(OLESTR("3/Cards/Main"), OLESTR("x"), {1}), S_OK);
  ASSERT_EQ(m_tree.CreateCompartment(W(OLESTR("3/Cards/Other/Deep/er")), 0), S_OK);
  ASSERT_EQ(Set(OLESTR("5/a//b/"), OLESTR("y"), {2}), S_OK);
  ASSERT_EQ(m_tree.RemoveCompartment(W(OLESTR("3/Cards/Other/Deep")), TRUE, 0), S_OK);
  ASSERT_EQ(m_tree.CreateCompartment(W(OLESTR("3/Cards/Main")), 0), S_OK) << "existing is fine";

  const std::vector<OleString> keys = AllCompartments(m_tree);
  EXPECT_EQ(keys, Strings({OLESTR("3"), OLESTR("3/Cards"), OLESTR("3/Cards/Main"),
                           OLESTR("3/Cards/Other"), OLESTR("5"), OLESTR("5/a"), OLESTR("5/a/"),
                           OLESTR("5/a//b"), OLESTR("5/a//b/")}));
  for (const OleString& key : keys) {
    for (size_t pos = key.find(u'/'); pos != OleString::npos; pos = key.find(u'/', pos + 1)) {
      EXPECT_NE(std::find(keys.begin(), keys.end(), key.substr(0, pos)), keys.end()) << ToUtf8(key);
    }
  }
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("3/Cards/Main"), OLESTR("x")), (std::vector<BYTE>{1}))
      << "creating an existing compartment keeps its items";
}

TEST_F(MemoryTreeTest, RemovalTakesDescendantsButSparesSiblingsSharingThePrefix) {
  EXPECT_EQ(m_tree.RemoveCompartment(W(OLESTR("7")), TRUE, 0), E_INVALIDARG) << "an empty tree";
  for (const OLECHAR* pszPath :
       {OLESTR("7/A/B"), OLESTR("7/A/B/C"), OLESTR("7/AB"), OLESTR("7/A!"), OLESTR("7/A0")}) {
    ASSERT_EQ(Set(pszPath, OLESTR("x"), {7}), S_OK);
  }
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1/7/A")), -1), S_OK);

  // bUpdateVersions is not read by a memory tree.
  EXPECT_EQ(m_tree.RemoveCompartment(W(OLESTR("7/A")), FALSE, 0), S_OK);

  EXPECT_EQ(AllCompartments(m_tree),
            Strings({OLESTR("7"), OLESTR("7/A!"), OLESTR("7/A0"), OLESTR("7/AB")}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("7/AB"), OLESTR("x")), (std::vector<BYTE>{7}));
  // Every removed descendant advances both counters; the removed compartment
  // keeps its own, and its ancestors and siblings are not touched.
  EXPECT_EQ(Versions(OLESTR("DS1/7/A/B")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/7/A/B/C")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/7/A")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/7")), Counters(S_OK, 1, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/7/AB")), Counters(S_OK, 0, 0));
  EXPECT_EQ(Versions(OLESTR("DS1/7/A!")), Counters(S_OK, 0, 0));
  EXPECT_EQ(m_tree.RemoveCompartment(W(OLESTR("8")), TRUE, 0), S_OK) << "no match is success";
}

TEST_F(MemoryTreeTest, RemovalWithoutHistoryStillRemovesAndReportsTheFailedAdvance) {
  ASSERT_EQ(Set(OLESTR("7/A/B"), OLESTR("x"), {1}), S_OK);
  ASSERT_EQ(Set(OLESTR("8"), OLESTR("x"), {1}), S_OK);
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  CRecordingLogSink sink;
  EXPECT_EQ(m_tree.RemoveCompartment(W(OLESTR("7")), TRUE, 0), E_FAIL);
  EXPECT_TRUE(
      sink.Contains(LOG_NOTABLE, OLESTR("CMemoryTree::RemoveCompartment UpdateVersion failed hr = "
                                        "0x80004005")));
  EXPECT_EQ(m_tree.RemoveCompartment(W(OLESTR("8")), TRUE, 0), S_OK)
      << "a compartment without descendants advances nothing";
  EXPECT_EQ(AllCompartments(m_tree), std::vector<OleString>{});
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
}

TEST_F(MemoryTreeTest, TheHistoryTreeAdvancesNothingWhenItRemoves) {
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1/7/A")), -1), S_OK);
  EXPECT_EQ(gHistoryTree->RemoveCompartment(W(OLESTR("DS1/7")), TRUE, 0), S_OK);
  EXPECT_EQ(AllCompartments(*gHistoryTree), Strings({OLESTR("DS1")}))
      << "no counter of a removed history compartment comes back";
  EXPECT_EQ(Versions(OLESTR("DS1/7/A")), Counters(S_OK, 0, 0));
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(S_OK, 1, 1));
}

TEST_F(MemoryTreeTest, ItemsAreReplacedRemovedAndTheCompartmentStays) {
  ASSERT_EQ(Set(OLESTR("1/C"), OLESTR("x"), {1}), S_OK);
  ASSERT_EQ(Set(OLESTR("1/C"), OLESTR("x"), {2, 3}), S_OK);
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("1/C"), OLESTR("x")), (std::vector<BYTE>{2, 3}));
  EXPECT_EQ(DataIds(OLESTR("1/C")), Strings({OLESTR("x")}));

  BOOL bCached = FALSE;
  EXPECT_EQ(m_tree.IsDataCached(W(OLESTR("1/C")), W(OLESTR("x")), &bCached, 0), S_OK);
  EXPECT_EQ(bCached, TRUE);
  EXPECT_EQ(m_tree.IsDataCached(W(OLESTR("1/C")), W(OLESTR("x")), nullptr, 0), E_FAIL);

  EXPECT_EQ(m_tree.RemoveData(W(OLESTR("1/C")), W(OLESTR("x")), 0), S_OK);
  EXPECT_EQ(m_tree.RemoveData(W(OLESTR("1/C")), W(OLESTR("x")), 0), E_INVALIDARG);
  EXPECT_EQ(m_tree.IsDataCached(W(OLESTR("1/C")), W(OLESTR("x")), &bCached, 0), S_OK);
  EXPECT_EQ(bCached, FALSE);
  EXPECT_EQ(m_tree.RemoveData(W(OLESTR("1/D")), W(OLESTR("x")), 0), E_INVALIDARG);
  EXPECT_EQ(AllCompartments(m_tree), Strings({OLESTR("1"), OLESTR("1/C")}));
  EXPECT_EQ(DataIds(OLESTR("1/C")), std::vector<OleString>{});
}

TEST_F(MemoryTreeTest, ArraysGoInAndComeOutAsCopies) {
  CScopedSafeArray value = MakeBytes({1, 2, 3});
  ASSERT_EQ(m_tree.SetData(W(OLESTR("1/C")), W(OLESTR("x")), value.Get(), 0, TRUE), S_OK);
  LONG lIndex = 0;
  BYTE b = 99;
  ASSERT_EQ(SafeArrayPutElement(value.Get(), &lIndex, &b), S_OK);

  CScopedSafeArray first;
  CScopedSafeArray second;
  ASSERT_EQ(m_tree.GetData(W(OLESTR("1/C")), W(OLESTR("x")), first.Receive(), 0), S_OK);
  ASSERT_EQ(m_tree.GetData(W(OLESTR("1/C")), W(OLESTR("x")), second.Receive(), 0), S_OK);
  EXPECT_NE(first.Get(), value.Get());
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(ReadBytes(first.Get()), (std::vector<BYTE>{1, 2, 3}));
  ASSERT_EQ(SafeArrayPutElement(first.Get(), &lIndex, &b), S_OK);
  EXPECT_EQ(ReadBytes(second.Get()), (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("1/C"), OLESTR("x")), (std::vector<BYTE>{1, 2, 3}));
}

TEST_F(MemoryTreeTest, ANullValueIsKeptAsTheNullCopyTheAutomationLayerMakes) {
  ASSERT_EQ(m_tree.SetData(W(OLESTR("1")), W(OLESTR("n")), nullptr, 0, FALSE), S_OK);
  CScopedSafeArray sentinel = MakeBytes({1});
  SAFEARRAY* psa = sentinel.Get();
  EXPECT_EQ(m_tree.GetData(W(OLESTR("1")), W(OLESTR("n")), &psa, 0), S_OK);
  EXPECT_EQ(psa, nullptr);
  BOOL bCached = FALSE;
  EXPECT_EQ(m_tree.IsDataCached(W(OLESTR("1")), W(OLESTR("n")), &bCached, 0), S_OK);
  EXPECT_TRUE(bCached);
  EXPECT_EQ(m_tree.RemoveData(W(OLESTR("1")), W(OLESTR("n")), 0), S_OK);
}

TEST_F(MemoryTreeTest, ListDataIdsInKeyOrderAndFailsForAMissingPathWithoutOutput) {
  for (const OLECHAR* pszId : {OLESTR("b"), OLESTR("B"), OLESTR("a"), OLESTR("")}) {
    ASSERT_EQ(Set(OLESTR("1"), pszId, {1}), S_OK);
  }
  EXPECT_EQ(DataIds(OLESTR("1")), Strings({OLESTR(""), OLESTR("B"), OLESTR("a"), OLESTR("b")}));

  CRecordingLogSink sink;
  CScopedSafeArray sentinel = MakeBytes({1});
  SAFEARRAY* psa = sentinel.Get();
  EXPECT_EQ(m_tree.ListDataIds(W(OLESTR("2")), &psa, 0), E_FAIL);
  EXPECT_EQ(psa, sentinel.Get());
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds no data ids found")));
  EXPECT_EQ(m_tree.ListDataIds(W(OLESTR("1")), nullptr, 0), E_FAIL);
}

TEST_F(MemoryTreeTest, ListCompartmentIdsListsDirectChildrenOnly) {
  for (const OLECHAR* pszPath :
       {OLESTR("7/A/B"), OLESTR("7/C"), OLESTR("70/D"), OLESTR("7/"), OLESTR("3")}) {
    ASSERT_EQ(m_tree.CreateCompartment(W(pszPath), 0), S_OK);
  }
  EXPECT_EQ(Children(OLESTR("/")), Strings({OLESTR("3"), OLESTR("7"), OLESTR("70")}));
  EXPECT_EQ(Children(OLESTR("7")), Strings({OLESTR(""), OLESTR("A"), OLESTR("C")}));
  EXPECT_EQ(Children(OLESTR("7/A")), Strings({OLESTR("B")}));

  std::vector<OleString> children;
  bool bUntouched = false;
  EXPECT_EQ(ListChildren(OLESTR("9"), children, bUntouched), S_OK);
  EXPECT_TRUE(bUntouched) << "a missing compartment has nothing to list";
  EXPECT_EQ(m_tree.ListCompartmentIds(W(OLESTR("7")), nullptr, 0), E_FAIL);

  ASSERT_EQ(m_tree.FlushTree(0), S_OK);
  EXPECT_EQ(ListChildren(OLESTR("/"), children, bUntouched), S_OK);
  EXPECT_TRUE(bUntouched) << "an empty tree has no top-level list";
}

TEST_F(MemoryTreeTest, EmptySegmentsAreOpaqueText) {
  ASSERT_EQ(Set(OLESTR("/"), OLESTR("x"), {1}), S_OK);
  ASSERT_EQ(Set(OLESTR("a//b"), OLESTR("y"), {2}), S_OK);
  EXPECT_EQ(AllCompartments(m_tree),
            Strings({OLESTR(""), OLESTR("/"), OLESTR("a"), OLESTR("a/"), OLESTR("a//b")}));
  EXPECT_EQ(Children(OLESTR("/")), Strings({OLESTR(""), OLESTR("a")}))
      << "\"/\" lists the top level, not the compartment named \"/\"";
  EXPECT_EQ(Children(OLESTR("a/")), Strings({OLESTR("b")}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("/"), OLESTR("x")), (std::vector<BYTE>{1}));
  EXPECT_EQ(ItemBytes(m_tree, OLESTR("a//b"), OLESTR("y")), (std::vector<BYTE>{2}));
}

TEST_F(MemoryTreeTest, IsCompartmentCachedReadsTheHistoryKeyOfThePath) {
  BOOL bCached = 7;
  EXPECT_EQ(Cached(OLESTR("3/C"), bCached), Counters(S_OK, 0, 0));
  EXPECT_EQ(bCached, FALSE);

  ASSERT_EQ(m_tree.CreateCompartment(W(OLESTR("3/C")), 0), S_OK);
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/C")), -1), S_OK);
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/C")), 1), S_OK);
  EXPECT_EQ(Cached(OLESTR("3/C"), bCached), Counters(S_OK, 1, 2));
  EXPECT_EQ(bCached, TRUE);
  EXPECT_EQ(Cached(OLESTR("/"), bCached), Counters(S_OK, 1, 2)) << "\"/\" reads the store's key";
  EXPECT_EQ(bCached, FALSE);

  // A removed compartment still reports what its history key holds.
  ASSERT_EQ(m_tree.RemoveCompartment(W(OLESTR("3/C")), TRUE, 0), S_OK);
  EXPECT_EQ(Cached(OLESTR("3/C"), bCached), Counters(S_OK, 1, 2));
  EXPECT_EQ(bCached, FALSE);
}

TEST_F(MemoryTreeTest, IsCompartmentCachedChecksItsOutputsInOrder) {
  CRecordingLogSink sink;
  ULONG ul = 5;
  BOOL b = 5;
  EXPECT_EQ(m_tree.IsCompartmentCached(W(OLESTR("1")), nullptr, nullptr, nullptr, 0), E_FAIL);
  EXPECT_EQ(m_tree.IsCompartmentCached(W(OLESTR("1")), nullptr, nullptr, &b, 0), E_FAIL);
  EXPECT_EQ(m_tree.IsCompartmentCached(W(OLESTR("1")), &ul, nullptr, &b, 0), E_FAIL);
  EXPECT_EQ(ul, 5u);
  EXPECT_EQ(b, 5);
  std::vector<OleString> failures;
  for (const auto& line : sink.Lines()) {
    if (line.lLevel == LOG_FAILURE) failures.push_back(line.text);
  }
  EXPECT_EQ(failures,
            Strings({OLESTR("CMemoryTree::IsCompartmentCached pbCached == NULL"),
                     OLESTR("CMemoryTree::IsCompartmentCached pulCompartmentVersion == NULL"),
                     OLESTR("CMemoryTree::IsCompartmentCached pulContentVersion == NULL")}));
}

TEST_F(MemoryTreeTest, IsCompartmentCachedWithoutHistoryFailsAndWritesNothing) {
  ASSERT_EQ(m_tree.CreateCompartment(W(OLESTR("1")), 0), S_OK);
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  CRecordingLogSink sink;
  ULONG ulCompartment = 5;
  ULONG ulContent = 6;
  BOOL bCached = 7;
  EXPECT_EQ(m_tree.IsCompartmentCached(W(OLESTR("1")), &ulCompartment, &ulContent, &bCached, 0),
            E_FAIL);
  EXPECT_EQ(ulCompartment, 5u);
  EXPECT_EQ(ulContent, 6u);
  EXPECT_EQ(bCached, 7);
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CMemoryTree::IsCompartmentCached GetVersion failed hr = "
                                        "80004005")));
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
}

TEST_F(MemoryTreeTest, TheHistoryTreeReadsItsOwnPathsUnchanged) {
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), -1), S_OK);
  ULONG ulCompartment = 0;
  ULONG ulContent = 0;
  BOOL bCached = FALSE;
  // Re-enters the history tree's lock through GetVersion on this thread.
  EXPECT_EQ(gHistoryTree->IsCompartmentCached(W(OLESTR("DS1/3")), &ulCompartment, &ulContent,
                                              &bCached, 0),
            S_OK);
  EXPECT_EQ(bCached, TRUE);
  EXPECT_EQ(ulCompartment, 1u);
  EXPECT_EQ(ulContent, 1u);
  EXPECT_EQ(
      gHistoryTree->IsCompartmentCached(W(OLESTR("/")), &ulCompartment, &ulContent, &bCached, 0),
      S_OK);
  EXPECT_EQ(bCached, FALSE) << "the history tree has no \"History\" prefix to add";
  EXPECT_EQ(ulCompartment, 0u);
}

TEST_F(MemoryTreeTest, GetTreeIdAndTheLifecycleLines) {
  secwstring sTreeId;
  EXPECT_EQ(m_tree.GetTreeId(sTreeId), S_OK);
  EXPECT_EQ(O(sTreeId), OLESTR("DS1"));

  CRecordingLogSink sink;
  {
    CMemoryTree tree(W(OLESTR("PIN")));
    CScopedSafeArray value = MakeBytes({1});
    ASSERT_EQ(tree.SetData(W(OLESTR("1")), W(OLESTR("x")), value.Get(), 0, FALSE), S_OK);
    sink.Clear();
  }
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 4u) << sink.Dump();
  EXPECT_EQ(lines[0].text, OLESTR("CMemoryTree::~CMemoryTree"));
  EXPECT_EQ(lines[0].lLevel, LOG_ENTRY);
  EXPECT_EQ(lines[1].text, OLESTR("CMemoryTree::~CMemoryTree"));
  EXPECT_EQ(lines[1].lLevel, LOG_EXIT);
  EXPECT_EQ(lines[2].text, OLESTR("CAbstractTree::~CAbstractTree"));
  EXPECT_EQ(lines[3].text, OLESTR("CAbstractTree::~CAbstractTree"));
}

TEST_F(MemoryTreeTest, SetDataLogsAtDetailLevelsAroundTheNode) {
  ASSERT_EQ(m_tree.CreateCompartment(W(OLESTR("1")), 0), S_OK);
  CScopedSafeArray value = MakeBytes({1});
  CRecordingLogSink sink;
  ASSERT_EQ(m_tree.SetData(W(OLESTR("1")), W(OLESTR("x")), value.Get(), 0, FALSE), S_OK);
  std::vector<std::pair<LONG, OleString>> lines;
  for (const auto& line : sink.Lines()) lines.emplace_back(line.lLevel, line.text);
  const std::vector<std::pair<LONG, OleString>> expected = {
      {LOG_DETAIL, OLESTR("CMemoryTree::SetData")},
      {LOG_DETAIL, OLESTR("CMemoryTree::SetData sCompartmentId = 1 sDataId = x")},
      {LOG_DETAIL, OLESTR("CNode::AddDataItem")},
      {LOG_DETAIL, OLESTR("CNode::RemoveDataItem")},
      {LOG_DETAIL, OLESTR("CNode::RemoveDataItem sDataId not found")},
      {LOG_NOTABLE, OLESTR("CNode::RemoveDataItem sDataId = x, hr = 0x80070057")},
      {LOG_DETAIL, OLESTR("CNode::RemoveDataItem hr = 0x80070057")},
      {LOG_DETAIL, OLESTR("CNode::AddDataItem RemoveDataItem hr = 0x80070057")},
      {LOG_NOTABLE, OLESTR("CNode::AddDataItem sDataId = x, hr = 0x0")},
      {LOG_DETAIL, OLESTR("CNode::AddDataItem hr = 0x0")},
      {LOG_NOTABLE, OLESTR("CMemoryTree::SetData sCompartmentId = 1 sDataId = x hr = 0x0")},
      {LOG_DETAIL, OLESTR("CMemoryTree::SetData hr = 0x0")},
  };
  EXPECT_EQ(lines, expected) << sink.Dump();
}

TEST(Node, AFailedReleaseStillRemovesTheItemAndIsTheResult) {
  CNode node;
  CScopedSafeArray value = MakeBytes({1});
  ASSERT_EQ(node.AddDataItem(W(OLESTR("x")), value.Get()), S_OK);
  {
    CFailingReleases releases({1});
    EXPECT_EQ(node.RemoveDataItem(W(OLESTR("x"))), CFailingReleases::kFailure);
  }
  std::vector<secwstring> ids;
  ASSERT_EQ(node.ListDataItems(ids), S_OK);
  EXPECT_TRUE(ids.empty());
}

TEST(Node, DestructionReportsAFailedRelease) {
  CRecordingLogSink sink;
  CScopedSafeArray value = MakeBytes({1});
  auto pNode = std::make_unique<CNode>();
  ASSERT_EQ(pNode->AddDataItem(W(OLESTR("x")), value.Get()), S_OK);
  CFailingReleases releases({1});
  pNode.reset();
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CNode::~CNode zuSafeArrayDestroy hr = 0x8002000d")))
      << sink.Dump();
}

}  // namespace
