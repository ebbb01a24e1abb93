#include "tree_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scopedbstr.h"
#include "trees/history.h"

namespace {

CScopedSafeArray MakeVector(VARTYPE vt, const void* pData, ULONG cElements, size_t cbElement) {
  CScopedSafeArray array(SafeArrayCreateVector(vt, 0, cElements));
  if (!array.Get()) ADD_FAILURE() << "SafeArrayCreateVector failed";
  if (array.Get() && cElements != 0) {
    void* pv = nullptr;
    EXPECT_EQ(SafeArrayAccessData(array.Get(), &pv), S_OK);
    std::copy_n(static_cast<const BYTE*>(pData), cElements * cbElement, static_cast<BYTE*>(pv));
    EXPECT_EQ(SafeArrayUnaccessData(array.Get()), S_OK);
  }
  return array;
}

}  // namespace

CScopedSafeArray MakeBytes(std::initializer_list<BYTE> bytes) {
  return MakeBytes(std::vector<BYTE>(bytes));
}

CScopedSafeArray MakeBytes(const std::vector<BYTE>& bytes) {
  return MakeVector(VT_UI1, bytes.data(), static_cast<ULONG>(bytes.size()), 1);
}

CScopedSafeArray MakeUints(std::initializer_list<UINT> values) {
  const std::vector<UINT> v(values);
  return MakeVector(VT_UINT, v.data(), static_cast<ULONG>(v.size()), sizeof(UINT));
}

std::vector<BYTE> ReadBytes(SAFEARRAY* psa) {
  std::vector<BYTE> bytes;
  if (psa == nullptr) return bytes;
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_UI1);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  LONG lLower = 0;
  LONG lUpper = -1;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lLower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &lUpper), S_OK);
  EXPECT_EQ(lLower, 0);
  for (LONG i = lLower; i <= lUpper; ++i) {
    BYTE b = 0;
    EXPECT_EQ(SafeArrayGetElement(psa, &i, &b), S_OK);
    bytes.push_back(b);
  }
  return bytes;
}

std::vector<OleString> ReadStrings(SAFEARRAY* psa) {
  std::vector<OleString> items;
  if (psa == nullptr) {
    ADD_FAILURE() << "no list";
    return items;
  }
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  LONG lLower = 0;
  LONG lUpper = -1;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lLower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &lUpper), S_OK);
  EXPECT_EQ(lLower, 0);
  for (LONG i = lLower; i <= lUpper; ++i) {
    CScopedBSTR bstr;
    EXPECT_EQ(SafeArrayGetElement(psa, &i, bstr.Receive()), S_OK);
    items.emplace_back(bstr.Get() ? bstr.Get() : OLESTR(""), SysStringLen(bstr.Get()));
  }
  return items;
}

std::vector<OleString> Strings(std::initializer_list<const OLECHAR*> items) {
  std::vector<OleString> v;
  for (const OLECHAR* psz : items) v.emplace_back(psz);
  return v;
}

std::vector<OleString> Strings(const std::vector<secwstring>& items) {
  std::vector<OleString> v;
  for (const secwstring& s : items) v.push_back(O(s));
  return v;
}

std::vector<BYTE> ItemBytes(CAbstractTree& tree, const OLECHAR* pszCompartmentId,
                            const OLECHAR* pszDataId) {
  CScopedSafeArray value;
  if (tree.GetData(W(pszCompartmentId), W(pszDataId), value.Receive(), 0) != S_OK) return {};
  return ReadBytes(value.Get());
}

std::vector<OleString> AllCompartments(CAbstractTree& tree) {
  CScopedSafeArray list;
  EXPECT_EQ(tree.ListAllCompartmentIds(list.Receive()), S_OK);
  return ReadStrings(list.Get());
}

CVersions Versions(const OLECHAR* pszKey) { return Versions(W(pszKey)); }

CVersions Versions(const secwstring& sKey) {
  CVersions v;
  v.hr = GetVersion(sKey, &v.ulCompartment, &v.ulContent);
  return v;
}

void PrintTo(const CVersions& v, std::ostream* os) {
  *os << std::hex << "{hr 0x" << static_cast<unsigned long>(v.hr) << ", compartment 0x"
      << v.ulCompartment << ", content 0x" << v.ulContent << "}" << std::dec;
}

CVersions Counters(HRESULT hr, ULONG ulCompartment, ULONG ulContent) {
  CVersions v;
  v.hr = hr;
  v.ulCompartment = ulCompartment;
  v.ulContent = ulContent;
  return v;
}

CHistoryUse::CHistoryUse() { EXPECT_EQ(AcquireHistoryTree(), S_OK); }

CHistoryUse::~CHistoryUse() { EXPECT_EQ(ReleaseHistoryTree(), S_OK); }

CFailingReleases::CFailingReleases(std::vector<int> failingCalls)
    : m_pPrevious(ZuWinExtSeam().Install(this)), m_failingCalls(std::move(failingCalls)) {}

CFailingReleases::~CFailingReleases() {
  ZuWinExtSeam().Install(m_pPrevious);
  std::sort(m_refused.begin(), m_refused.end());
  m_refused.erase(std::unique(m_refused.begin(), m_refused.end()), m_refused.end());
  for (SAFEARRAY* psa : m_refused) SafeArrayDestroy(psa);
}

HRESULT CFailingReleases::zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) {
  ++m_cCalls;
  if (std::find(m_failingCalls.begin(), m_failingCalls.end(), m_cCalls) != m_failingCalls.end()) {
    if (psa != nullptr) m_refused.push_back(psa);
    return kFailure;
  }
  // An array refused before and released now is no longer ours to release.
  m_refused.erase(std::remove(m_refused.begin(), m_refused.end(), psa), m_refused.end());
  return CZuWinExt::zuSafeArrayDestroy(psa, dwFlag);
}
