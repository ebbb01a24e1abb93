// The store catalogue as the registry holds it.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <sstream>
#include <tuple>

#include "common/recording_log_sink.h"
#include "common/registry_test_key.h"
#include "common/scripted_zuwinext.h"
#include "host/storecatalogue.h"
#include "support/zuwinext.h"

namespace {

const WCHAR kKey[] = OLESTR("Software\\Orvane\\Kelmyr\\StoreList");

// The answer of the counting call of one listing, scripted by "<store>
// <action>" ("-" is the catalogue itself): "grow" adds an entry to the key
// right after counting it, "fail" answers ERROR_ACCESS_DENIED, "huge" a
// count that no buffer can hold.
LONG Counted(const std::string& sScript, LPCWSTR pszPath, LONG rc, DWORD* pdwCount) {
  const size_t space = sScript.find(' ');
  const std::string sStore = sScript.substr(0, space), sAction = sScript.substr(space + 1);
  if (kKey + (sStore == "-" ? WString() : Widen("\\" + sStore)) != pszPath) return rc;
  if (sAction == "fail") return ERROR_ACCESS_DENIED;
  if (sAction == "huge") *pdwCount = 0x10000000;
  if (sAction == "grow") {  // one more subkey and one more value
    HKEY hKey = nullptr, hSubkey = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_ALL_ACCESS, &hKey);
    RegCreateKeyExW(hKey, OLESTR("Z"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hSubkey, nullptr);
    RegSetValueExW(hKey, OLESTR("Z"), 0, REG_SZ, reinterpret_cast<const BYTE*>(OLESTR("")),
                   sizeof(WCHAR));
    RegCloseKey(hSubkey);
    RegCloseKey(hKey);
  }
  return rc;
}

// Stores are listed in name order, whatever the case; the reading stops at
// the first store that cannot be read.
TEST(StoreCatalogue, ReadsTheStoresUntilAFailure) {
  const std::tuple<const char*, const char*, HRESULT, const char*> kRows[] = {
      {"A.Type=2 A.Encrypted=5 A.SharedBetweenUserSessions=2 b.Encrypted=0 b.Other=1 "
       "b.Product=Kit b.SharedBetweenUserSessions=1 b.Type=1 C.type=1 D.Product= E.Type=x F.Type=1",
       "", E_FAIL, "A:010Brenmoor;b:101Kit;C:010Brenmoor;D:010;|zuRegRead failed rc = 65e"},
      {"A.Type=1 B.Type=1 B.~=1 C.Type=1", "", E_FAIL,
       "A:110Brenmoor;B:010Brenmoor;|zuRegListValueNames failed rc = ce"},
      {"", "", E_FAIL, "|zuRegListKeys failed rc = 2"},
      {"A.Type=1", "- grow", E_UNEXPECTED, "|nSubKeyCount2 > nSubKeyCount1 = 2 > 1"},
      {"A.Type=1", "- huge", E_FAIL, "|pRegSubKeys allocation failed"},
      {"A.Type=1 B.Type=1 C.Type=1", "B grow", E_UNEXPECTED,
       "A:110Brenmoor;|nValueCount2 > nValueCount1 = 2 > 1"},
      {"A.Type=1 B.Type=1 C.Type=1", "B fail", E_FAIL,
       "A:110Brenmoor;|zuRegListValueNames failed rc = 5"},
      {"A.Type=1 B.Type=1 C.Type=1", "B huge", S_OK, "A:110Brenmoor;C:110Brenmoor;"},
  };
  std::list<StoreInfo> listStoreInfos;  // each read drops the records of the one before
  for (const auto& [pszValues, pszScript, hr, pszRead] : kRows) {
    WriteStoreCatalogue(pszValues);
    CScriptedZuWinExt helper;
    helper.onCount = [&](LPCWSTR pszPath, LONG rc, DWORD* pdwCount) {
      return *pszScript != 0 ? Counted(pszScript, pszPath, rc, pdwCount) : rc;
    };
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
