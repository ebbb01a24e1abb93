#include "tree_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "support/utf8.h"
#include "trees/history.h"

namespace {

// The length of a one-dimensional vector of the type, lower bound 0.
LONG VectorLength(SAFEARRAY* psa, VARTYPE vtExpected) {
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, vtExpected);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 0);
  return static_cast<LONG>(psa->rgsabound[0].cElements);
}

std::vector<std::string> ReadStrings(SAFEARRAY* psa) {
  std::vector<std::string> items;
  for (LONG i = 0, cItems = VectorLength(psa, VT_BSTR); i < cItems; ++i) {
    const BSTR bstr = static_cast<const BSTR*>(psa->pvData)[i];
    items.push_back(U8(secwstring(bstr ? bstr : OLESTR(""), SysStringLen(bstr))));
  }
  return items;
}

std::vector<std::string> AllCompartments(CAbstractTree& tree) {
  CScopedSafeArray list;
  EXPECT_EQ(tree.ListAllCompartmentIds(list.Receive()), S_OK);
  return ReadStrings(list.Get());
}

}  // namespace

secwstring U(const std::string& utf8) {
  const std::basic_string<OLECHAR> s = Utf8ToUtf16(utf8);
  return secwstring(s.data(), s.size());
}

std::string U8(const secwstring& s) { return Utf16ToUtf8({s.data(), s.size()}); }

CScopedBSTR Bstr(const std::string& utf8) {
  const secwstring w = U(utf8);
  return CScopedBSTR(SysAllocStringLen(w.data(), static_cast<UINT>(w.size())));
}

CScopedSafeArray MakeBytes(const std::vector<BYTE>& bytes) {
  CScopedSafeArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  if (array.Get()) std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(array.Get()->pvData));
  return array;
}

std::string Joined(SAFEARRAY* psa, const char* pszSeparator) {
  const std::vector<std::string> items = ReadStrings(psa);
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? pszSeparator : "") + items[i];
  return out;
}

void Build(CAbstractTree& tree, const std::string& sLine) {
  std::istringstream tokens(sLine);
  for (std::string token; tokens >> token;) {
    const size_t brace = token.find('{');
    const std::string path = token.substr(0, brace) == "''" ? "" : token.substr(0, brace);
    if (path[0] == '-') {
      ASSERT_EQ(tree.RemoveCompartment(U(path.substr(1)), TRUE, 0), S_OK) << path;
    } else if (brace == std::string::npos) {
      ASSERT_EQ(tree.CreateCompartment(U(path), 0), S_OK) << path;
    }
    if (brace == std::string::npos) continue;
    std::istringstream items(token.substr(brace + 1, token.size() - brace - 2));
    for (std::string item; std::getline(items, item, ',');) {
      const std::string id = item.substr(0, item.find('=')), text = item.substr(id.size() + 1);
      CScopedSafeArray value =
          text == "null" ? CScopedSafeArray() : MakeBytes({text.begin(), text.end()});
      ASSERT_EQ(tree.SetData(U(path), U(id), value.Get(), 0, FALSE), S_OK) << path;
    }
  }
}

std::string Dump(CAbstractTree& tree) {
  std::string out;
  for (const std::string& key : AllCompartments(tree)) {
    out += (out.empty() ? "" : " ") + (key.empty() ? std::string("''") : key);
    CScopedSafeArray ids;
    EXPECT_EQ(tree.ListDataIds(U(key), ids.Receive(), 0), S_OK);
    std::string items;
    for (const std::string& id : ReadStrings(ids.Get())) {
      CScopedSafeArray value;
      EXPECT_EQ(tree.GetData(U(key), U(id), value.Receive(), 0), S_OK);
      const char* pch = value.Get() ? static_cast<const char*>(value.Get()->pvData) : nullptr;
      const std::string text = pch ? std::string(pch, VectorLength(value.Get(), VT_UI1)) : "null";
      items += (items.empty() ? "" : ",") + id + "=" + text;
    }
    if (!items.empty()) out += "{" + items + "}";
  }
  return out;
}

std::string VersionText(HRESULT hr, ULONG ulCompartment, ULONG ulContent) {
  char szHr[24] = "";
  if (hr != S_OK) std::snprintf(szHr, sizeof szHr, "0x%08x ", static_cast<unsigned>(hr));
  return szHr + std::to_string(ulCompartment) + "," + std::to_string(ulContent);
}

std::string Versions(const std::string& sKey) {
  ULONG ulCompartment = 0xDEADBEEF, ulContent = 0xDEADBEEF;
  const HRESULT hr = GetVersion(U(sKey), &ulCompartment, &ulContent);
  return VersionText(hr, ulCompartment, ulContent);
}

std::string Counted() {
  std::string out;
  for (const std::string& key : AllCompartments(*gHistoryTree)) {
    const std::string sVersions = Versions(key);
    if (sVersions != "0,0") out += (out.empty() ? "" : " ") + key + "=" + sVersions;
  }
  return out;
}

CHistoryUse::CHistoryUse() { EXPECT_EQ(AcquireHistoryTree(), S_OK); }

CHistoryUse::~CHistoryUse() { EXPECT_EQ(ReleaseHistoryTree(), S_OK); }
