// CDpapiTestKeys: natively, points the data protection keys of this
// process (KELMYR_DPAPI_KEYS) at a fresh folder for as long as it lives,
// and removes the folder afterwards, so that tests neither read nor create
// the account's real keys. A second object with another folder stands for
// another account's keys. On Windows it does nothing: the real keys of
// the account (under Wine, of the prefix) are used.
//
// SealData and OpenData: CryptProtectData and CryptUnprotectData on byte
// vectors, for the tests of both and of what is built on them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CDpapiTestKeys {
 public:
  CDpapiTestKeys();
  ~CDpapiTestKeys();
  CDpapiTestKeys(const CDpapiTestKeys&) = delete;
  CDpapiTestKeys& operator=(const CDpapiTestKeys&) = delete;

  // The folder (empty on Windows).
  const std::string& Folder() const { return m_folder; }

 private:
  std::string m_folder;
  std::string m_previous;
  bool m_bHadPrevious = false;
};

using Bytes = std::vector<BYTE>;

inline constexpr DWORD kUserFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;
inline constexpr DWORD kMachineFlags = kUserFlags | CRYPTPROTECT_LOCAL_MACHINE;
// What OpenData answers for a failure that still handed something out.
inline constexpr DWORD kHandedOutOnFailure = 0xFFFFFFFD;

// Seals the bytes (an empty entropy passes none): 0 with the blob, or the
// last error.
DWORD SealData(Bytes plain, LPCWSTR pszDescr, Bytes entropy, DWORD dwFlags, Bytes* pBlob);
// Opens the blob (an empty entropy passes none): 0 with the plaintext and
// the description, or the last error.
DWORD OpenData(Bytes blob, Bytes entropy, DWORD dwFlags, Bytes* pPlain = nullptr,
               std::basic_string<WCHAR>* pDescr = nullptr);
