// CDpapiTestKeys: natively, points the data protection keys of this
// process (KELMYR_DPAPI_KEYS) at a fresh folder for as long as it lives,
// and removes the folder afterwards, so that tests neither read nor create
// the account's real keys. A second object with another folder stands for
// another account's keys. On Windows it does nothing: the real keys of
// the account (under Wine, of the prefix) are used.
#pragma once

#include <string>

class CDpapiTestKeys {
 public:
  CDpapiTestKeys();
  ~CDpapiTestKeys();
  CDpapiTestKeys(const CDpapiTestKeys&) = delete;
  CDpapiTestKeys& operator=(const CDpapiTestKeys&) = delete;

  // Makes this object's folder the current one again.
  void Activate() const;
  // The folder (empty on Windows).
  const std::string& Folder() const { return m_folder; }

 private:
  std::string m_folder;
  std::string m_previous;
  bool m_bHadPrevious = false;
};
