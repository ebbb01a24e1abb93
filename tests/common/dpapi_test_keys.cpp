#include "common/dpapi_test_keys.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#ifndef _WIN32
namespace {
constexpr char kVariable[] = "KELMYR_DPAPI_KEYS";
}  // namespace

CDpapiTestKeys::CDpapiTestKeys() {
  if (const char* psz = std::getenv(kVariable)) {
    m_previous = psz;
    m_bHadPrevious = true;
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelmyr-dpapi-test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_folder = pattern;
  setenv(kVariable, m_folder.c_str(), 1);
}

CDpapiTestKeys::~CDpapiTestKeys() {
  if (m_bHadPrevious) {
    setenv(kVariable, m_previous.c_str(), 1);
  } else {
    unsetenv(kVariable);
  }
  std::error_code ec;
  std::filesystem::remove_all(m_folder, ec);
}
#else
CDpapiTestKeys::CDpapiTestKeys() = default;
CDpapiTestKeys::~CDpapiTestKeys() = default;
#endif

DWORD SealData(Bytes plain, LPCWSTR pszDescr, Bytes entropy, DWORD dwFlags, Bytes* pBlob) {
  plain.reserve(1);  // a valid address also for no bytes
  DATA_BLOB in{static_cast<DWORD>(plain.size()), plain.data()};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, pszDescr, entropy.empty() ? nullptr : &ent, nullptr, nullptr, dwFlags,
                        &out)) {
    return GetLastError();
  }
  if (pBlob != nullptr) pBlob->assign(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return 0;
}

DWORD OpenData(Bytes blob, Bytes entropy, DWORD dwFlags, Bytes* pPlain,
               std::basic_string<WCHAR>* pDescr) {
  blob.reserve(1);
  DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
  DATA_BLOB out{0, nullptr};
  LPWSTR pszDescr = nullptr;
  DWORD dwResult = 0;
  if (!CryptUnprotectData(&in, &pszDescr, entropy.empty() ? nullptr : &ent, nullptr, nullptr,
                          dwFlags, &out)) {
    dwResult = out.pbData != nullptr || pszDescr != nullptr ? kHandedOutOnFailure : GetLastError();
  } else {
    if (pPlain != nullptr) pPlain->assign(out.pbData, out.pbData + out.cbData);
    if (pDescr != nullptr && pszDescr != nullptr) *pDescr = pszDescr;
  }
  LocalFree(out.pbData);
  LocalFree(pszDescr);
  return dwResult;
}
