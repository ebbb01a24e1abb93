// The helper library's registry functions on the real registry (the native
// hive, or Windows under Wine), and the two-call listing and value reading
// with a scripted helper that makes keys or values grow or calls fail
// between the two calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/registry_test_key.h"
#include "common/scripted_zuwinext.h"
#include "support/zureglist.h"
#include "support/zuwinext.h"

namespace {

WString W(const char* psz) { return Widen(psz); }

class ZuReg : public ::testing::Test {
 protected:
  const WCHAR* Path() const { return m_key.Path().c_str(); }

  CScratchHive m_hive;
  CTestKey m_key;
  const HKEY k = m_key.Get();
};

// One slot per subkey, one record per value.
TEST_F(ZuReg, ListingsFillOneSlotPerEntryWithinTheCapacity) {
  for (const char* psz : {"beta", "Alpha", "gamma"}) CreateKey(k, psz);
  // Capacity 4 and 2 of 4 slots marked: only the slots given are written.
  for (DWORD capacity : {4u, 2u}) {
    std::vector<ZU_REG_KEY_SLOT> slots(4);
    std::memset(slots.data(), 0x5A, slots.size() * sizeof(ZU_REG_KEY_SLOT));
    DWORD count = capacity;
    EXPECT_EQ(zuRegListKeys(HKEY_CURRENT_USER, Path(), slots.data(), &count),
              capacity < 3 ? ERROR_MORE_DATA : ERROR_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(WString(slots[1].szName), W("beta"));
    EXPECT_EQ(slots[capacity < 3 ? 2 : 3].szName[0], static_cast<WCHAR>(0x5A5A));
    EXPECT_TRUE(capacity < 3 || WString(slots[2].szName) == W("gamma"));
  }

  // A name longer than a slot fails the listing.
  CreateKey(k, std::string(254, 'n'));
  CZuRegListing listing;
  ASSERT_EQ(listing.ListKeysEx(HKEY_CURRENT_USER, Path(), ZU_REG_VIEW_64), EZuRegList::kOk);
  EXPECT_EQ(WString(listing.Name(3)), WString(254, 'n'));
  CreateKey(k, std::string(255, 'o'));
  EXPECT_EQ(listing.ListKeysEx(HKEY_CURRENT_USER, Path(), ZU_REG_VIEW_64), EZuRegList::kFillFailed);
  EXPECT_EQ(listing.Rc(), ERROR_FILENAME_EXCED_RANGE);

  // Created in name order, which is also the order under Wine.
  SetValue(k, "Blob", REG_BINARY, {1, 2});
  SetValue(k, "Product", REG_SZ, {'P', 0, 'r', 0, 'o', 0, 0, 0});
  SetValue(k, "Type", REG_DWORD, {1, 0, 0, 0});
  ASSERT_EQ(listing.ListValueNamesEx(HKEY_CURRENT_USER, Path(), ZU_REG_ALL_TYPES, ZU_REG_VIEW_64),
            EZuRegList::kOk);
  std::vector<std::tuple<WString, DWORD, DWORD>> records;
  for (DWORD i = 0; i < listing.Count(); ++i) {
    const ZU_REG_VALUE_RECORD& r = listing.Record(i);
    records.emplace_back(r.szName, r.dwType, r.cbData);
  }
  EXPECT_EQ(records,
            (std::vector<std::tuple<WString, DWORD, DWORD>>{
                {W("Blob"), REG_BINARY, 2}, {W("Product"), REG_SZ, 8}, {W("Type"), REG_DWORD, 4}}));
}

// A DWORD read checks the type and size; a string read takes two calls, the
// length counting the terminator whether or not the value was stored with one.
TEST_F(ZuReg, ReadsDwordsAndStrings) {
  SetValue(k, "Timeout", REG_DWORD, {30, 0, 0, 0});
  SetValue(k, "Blob", REG_BINARY, {1, 2, 3, 4});
  SetValue(k, "Terminated", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 0, 0});
  const BYTE bare[] = {'a', 0, 'b', 0, 'c', 0, 'x', 0};  // no zero after the 6 bytes stored
  ASSERT_EQ(RegSetValueExW(k, W("Bare").c_str(), 0, REG_EXPAND_SZ, bare, 6), ERROR_SUCCESS);
  const std::vector<std::tuple<const char*, LONG, LONG>> cases = {
      {"Timeout", ERROR_SUCCESS, ERROR_UNSUPPORTED_TYPE},
      {"Blob", ERROR_UNSUPPORTED_TYPE, ERROR_UNSUPPORTED_TYPE},
      {"Absent", ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {"Terminated", ERROR_UNSUPPORTED_TYPE, ERROR_SUCCESS},
      {"Bare", ERROR_UNSUPPORTED_TYPE, ERROR_SUCCESS}};
  for (const auto& [pszName, lDword, lString] : cases) {
    SCOPED_TRACE(pszName);
    const WString name = W(pszName);
    DWORD dw = 0;
    EXPECT_EQ(zuRegReadDWORDValueEx(HKEY_CURRENT_USER, Path(), name.c_str(), &dw, ZU_REG_VIEW_64),
              lDword);
    EXPECT_EQ(dw, lDword == ERROR_SUCCESS ? 30u : 0u);
    DWORD cch = 0;
    const auto readString = [&](WCHAR* pBuffer) {
      return zuRegReadStringValueEx(HKEY_CURRENT_USER, Path(), name.c_str(), pBuffer, &cch,
                                    ZU_REG_VIEW_64);
    };
    ASSERT_EQ(readString(nullptr), lString);
    if (lString != ERROR_SUCCESS) continue;
    EXPECT_EQ(cch, 4u);
    std::vector<WCHAR> buffer(4, 0x7777);
    ASSERT_EQ(readString(buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(WString(buffer.data(), 4), W("abc") + WCHAR(0));
    cch = 3;
    EXPECT_EQ(readString(buffer.data()), ERROR_MORE_DATA);
    EXPECT_EQ(cch, 4u);
  }
}

// A subkey goes with all of its tree.
TEST_F(ZuReg, DeletesASubKeyWithItsTree) {
  CreateKey(k, "tree\\a\\b");
  const WString tree = m_key.Path() + W("\\tree");
  EXPECT_EQ(zuRegDeleteSubKey(HKEY_CURRENT_USER, tree.c_str(), ZU_REG_VIEW_64, 0), ERROR_SUCCESS);
  EXPECT_EQ(zuRegDeleteSubKey(HKEY_CURRENT_USER, tree.c_str(), ZU_REG_VIEW_64, 0),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(ZuReg, ImpossibleCountIsRefusedBeforeAllocating) {
  EXPECT_EQ(ZuRegSaturatingSize(8421504u, 510), 4294967040u) << "the largest that fits";
  EXPECT_EQ(ZuRegSaturatingSize(0x80000000u, 510), kZuRegImpossibleSize);
}

// Listings whose key grows between the count and the fill call, or whose
// calls fail, through a scripted helper: the step that failed, its code,
// both counts, and how many listing calls were made.
TEST_F(ZuReg, ListingsReportTheStepThatFailed) {
  CreateKey(k, "one");
  CreateKey(k, "two");
  struct SCase {
    const char* pszWhat;
    bool bValues;  // list the values (two, set first), else the subkeys
    DWORD dwGrowOnFill;
    std::optional<DWORD> countOverride;
    int iFailListCall;
    EZuRegList expected;
    DWORD cFirst, cSecond;  // the counts reported (cSecond: the fill's)
    int cCalls;
  };
  const std::vector<SCase> cases = {
      {"keys grow", false, 1, {}, -1, EZuRegList::kCountGrew, 2, 3, 2},
      {"count call fails", false, 0, {}, 0, EZuRegList::kCountFailed, 0, 0, 1},
      {"fill call fails", false, 0, {}, 1, EZuRegList::kFillFailed, 2, 0, 2},
      {"values more than counted", true, 0, 1, -1, EZuRegList::kCountGrew, 1, 2, 2},
      // 0x10000000 records of 524 bytes do not fit 32 bits.
      {"impossible count of values", true, 0, 0x10000000u, -1, EZuRegList::kAllocationFailed,
       0x10000000u, 0, 1}};
  const auto check = [&](const SCase& c) {
    SCOPED_TRACE(c.pszWhat);
    CScriptedZuWinExt helper;
    helper.dwGrowOnFill = c.dwGrowOnFill;
    helper.countOverride = c.countOverride;
    helper.iFailListCall = c.iFailListCall;
    CZuRegListing listing;
    EXPECT_EQ(c.bValues ? listing.ListValueNamesEx(HKEY_CURRENT_USER, Path(), ZU_REG_ALL_TYPES, 0)
                        : listing.ListKeysEx(HKEY_CURRENT_USER, Path(), ZU_REG_VIEW_64),
              c.expected);
    EXPECT_TRUE(c.iFailListCall < 0 || listing.Rc() == ERROR_KEY_DELETED) << listing.Rc();
    EXPECT_EQ(listing.Count1(), c.cFirst);
    EXPECT_TRUE(c.cSecond == 0 || listing.Count2() == c.cSecond) << listing.Count2();
    EXPECT_EQ(listing.Count(), 0u) << "nothing of a failed listing is iterated";
    EXPECT_EQ(helper.cListCalls, c.cCalls);
  };
  // A key with no values listed against a count of one is listed, empty.
  check({"values fewer than counted", true, 0, 1, -1, EZuRegList::kOk, 1, 0, 2});
  SetValue(k, "a", REG_NONE, {});
  SetValue(k, "b", REG_NONE, {});
  for (const SCase& c : cases) check(c);
}

// A value grown between its size and its read is reported, not read in
// part.
TEST_F(ZuReg, ValueReadInTwoCallsReportsAChange) {
  SetValue(k, "Blob", REG_BINARY, {1, 2, 3});
  CScriptedZuWinExt helper;
  helper.cbGrowValueOnRead = 5;
  CZuRegValue value;
  EXPECT_EQ(value.Read(HKEY_CURRENT_USER, Path(), W("Blob").c_str(), ZU_REG_VIEW_64),
            EZuRegRead::kChanged);
  EXPECT_EQ(value.Data(), nullptr);
}

}  // namespace
