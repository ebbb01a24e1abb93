// The store catalogue as the registry holds it.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <sstream>
#include <tuple>

#include "common/recording_log_sink.h"
#include "common/registry_test_key.h"
#include "host/storecatalogue.h"

namespace {

const WCHAR kKey[] = OLESTR("Software\\Orvane\\Kelmyr\\StoreList");

// Values written as store.name=data, separated by spaces: data ending in a
// digit a REG_DWORD (below 65536, as two UTF-16 units), other data a REG_SZ;
// the name ~ stands for one of 256 characters, too long to be listed.
void WriteCatalogue(const char* pszValues) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  std::istringstream values(pszValues);
  for (std::string s; values >> s;) {
    const size_t dot = s.find('.'), eq = s.find('=');
    const bool bText = !std::isdigit(s.back());
    const WString sData =
        bText ? Widen(s.substr(eq + 1)) : WString{WCHAR(std::stoul(s.substr(eq + 1))), 0};
    HKEY hKey = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kKey + Widen("\\" + s.substr(0, dot))).c_str(), 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    const std::string sName = s.substr(dot + 1, eq - dot - 1);
    RegSetValueExW(hKey, Widen(sName == "~" ? std::string(256, 'n') : sName).c_str(), 0,
                   bText ? REG_SZ : REG_DWORD, reinterpret_cast<const BYTE*>(sData.c_str()),
                   (sData.size() + bText) * sizeof(WCHAR));
    RegCloseKey(hKey);
  }
}

// Stores are listed in name order, whatever the case; the reading stops at
// the first store that cannot be read.
TEST(StoreCatalogue, ReadsTheStoresUntilAFailure) {
  const std::tuple<const char*, HRESULT, const char*> kRows[] = {
      {"A.Type=2 A.Encrypted=5 A.SharedBetweenUserSessions=2 b.Encrypted=0 b.Other=1 "
       "b.Product=Kit b.SharedBetweenUserSessions=1 b.Type=1 C.type=1 D.Product= E.Type=x F.Type=1",
       E_FAIL, "A:010Brenmoor;b:101Kit;C:010Brenmoor;D:010;|zuRegRead failed rc = 65e"},
      {"A.Type=1 B.Type=1 B.~=1 C.Type=1", E_FAIL,
       "A:110Brenmoor;B:010Brenmoor;|zuRegListValueNames failed rc = ce"},
      {"", E_FAIL, "|zuRegListKeys failed rc = 2"},
  };
  std::list<StoreInfo> listStoreInfos;  // each read drops the records of the one before
  for (const auto& [pszValues, hr, pszRead] : kRows) {
    WriteCatalogue(pszValues);
    CRecordingLogSink log;
    EXPECT_EQ(GetRegInfos(listStoreInfos), hr);
    std::ostringstream read;
    for (const StoreInfo& i : listStoreInfos)
      read << ToUtf8(i.bstrStoreId.Get()) << ':' << i.nType << i.bEncrypted
           << i.bSharedBetweenUserSessions << ToUtf8(i.bstrProduct.Get()) << ';';
    for (const auto& line : log.Lines())
      read << (line.lLevel == LOG_FAILURE ? '|' + ToUtf8(line.text).substr(12) : "");
    EXPECT_EQ(read.str(), pszRead);
  }
}

}  // namespace
