#include "tree_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/scopedbstr.h"
#include "support/utf8.h"
#include "trees/history.h"

LONG VectorLength(SAFEARRAY* psa, VARTYPE vtExpected) {
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, vtExpected);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 0);
  return static_cast<LONG>(psa->rgsabound[0].cElements);
}

secwstring U(const std::string& utf8) {
  const std::basic_string<OLECHAR> s = Utf8ToUtf16(utf8);
  return secwstring(s.data(), s.size());
}

std::string U8(const secwstring& s) { return Utf16ToUtf8({s.data(), s.size()}); }

CScopedSafeArray MakeBytes(const std::vector<BYTE>& bytes) {
  CScopedSafeArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  if (array.Get()) std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(array.Get()->pvData));
  return array;
}

std::vector<OleString> ReadStrings(SAFEARRAY* psa) {
  std::vector<OleString> items;
  const LONG cItems = VectorLength(psa, VT_BSTR);
  for (LONG i = 0; i < cItems; ++i) {
    CScopedBSTR bstr;
    EXPECT_EQ(SafeArrayGetElement(psa, &i, bstr.Receive()), S_OK);
    items.emplace_back(bstr.Get() ? bstr.Get() : OLESTR(""), SysStringLen(bstr.Get()));
  }
  return items;
}

std::string Joined(const std::vector<OleString>& items, const char* pszSeparator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? pszSeparator : "") + ToUtf8(items[i]);
  return out;
}

std::vector<OleString> AllCompartments(CAbstractTree& tree) {
  CScopedSafeArray list;
  EXPECT_EQ(tree.ListAllCompartmentIds(list.Receive()), S_OK);
  return ReadStrings(list.Get());
}

void Build(CAbstractTree& tree, const std::string& sLine) {
  std::istringstream tokens(sLine);
  std::string token;
  while (tokens >> token) {
    const size_t brace = token.find('{');
    std::string path = token.substr(0, brace);
    if (path == "''") path.clear();
    if (path[0] == '-') {
      ASSERT_EQ(tree.RemoveCompartment(U(path.substr(1)), TRUE, 0), S_OK) << path;
    } else if (brace == std::string::npos) {
      ASSERT_EQ(tree.CreateCompartment(U(path), 0), S_OK) << path;
    }
    if (brace == std::string::npos) continue;
    std::istringstream items(token.substr(brace + 1, token.size() - brace - 2));
    std::string item;
    while (std::getline(items, item, ',')) {
      const std::string id = item.substr(0, item.find('='));
      const std::string hex = item.substr(id.size() + 1);
      std::vector<BYTE> bytes;
      for (size_t i = 0; hex != "null" && i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      }
      CScopedSafeArray value = hex == "null" ? CScopedSafeArray() : MakeBytes(bytes);
      ASSERT_EQ(tree.SetData(U(path), U(id), value.Get(), 0, FALSE), S_OK) << path;
    }
  }
}

std::string Dump(CAbstractTree& tree) {
  std::string out;
  for (const OleString& key : AllCompartments(tree)) {
    const secwstring sKey(key.data(), key.size());
    out += (out.empty() ? "" : " ") + (key.empty() ? std::string("''") : ToUtf8(key));
    CScopedSafeArray ids;
    EXPECT_EQ(tree.ListDataIds(sKey, ids.Receive(), 0), S_OK);
    std::string items;
    for (const OleString& id : ReadStrings(ids.Get())) {
      CScopedSafeArray value;
      EXPECT_EQ(tree.GetData(sKey, secwstring(id.data(), id.size()), value.Receive(), 0), S_OK);
      std::string hex = value.Get() ? "" : "null";
      for (LONG i = 0; value.Get() && i < VectorLength(value.Get(), VT_UI1); ++i) {
        const BYTE b = static_cast<const BYTE*>(value.Get()->pvData)[i];
        hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
      }
      items += (items.empty() ? "" : ",") + ToUtf8(id) + "=" + hex;
    }
    if (!items.empty()) out += "{" + items + "}";
  }
  return out;
}

std::string Counted() {
  std::string out;
  for (const OleString& key : AllCompartments(*gHistoryTree)) {
    const CVersions v = Versions(secwstring(key.data(), key.size()));
    if (v.ulCompartment == 0 && v.ulContent == 0) continue;
    out += (out.empty() ? "" : " ") + ToUtf8(key) + "=" + std::to_string(v.ulCompartment) + "," +
           std::to_string(v.ulContent);
  }
  return out;
}

CVersions Versions(const secwstring& sKey) {
  CVersions v;
  v.hr = GetVersion(sKey, &v.ulCompartment, &v.ulContent);
  return v;
}

void PrintTo(const CVersions& v, std::ostream* os) {
  *os << std::hex << "{hr 0x" << static_cast<unsigned long>(v.hr) << ", compartment 0x"
      << v.ulCompartment << ", content 0x" << v.ulContent << "}" << std::dec;
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
