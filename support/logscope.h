// CLogScope: the entry and exit lines of a function.
//
//   HRESULT CAuthStore::SetPIN(...) {
//     HRESULT hr = S_OK;
//     CLogScope scope(OLESTR("CAuthStore::SetPIN"), hr);
//     ...
//
// logs "CAuthStore::SetPIN" at level 8 now and "CAuthStore::SetPIN hr = 0x%x"
// at level 16 with the value hr holds when the scope ends, on every path.
// Functions that log their entry and exit in detail pass kLogDetailLevels;
// functions without a result use the constructor without one, whose exit
// line is the bare name; a composite result is shown with AlsoShow, whose
// field is printed before the result ("... hr1 = 0x%x hr = 0x%x").
#pragma once

#include "support/qvlog.h"

struct CLogLevels {
  LONG lEntry;
  LONG lExit;
};
inline constexpr CLogLevels kLogEntryExitLevels{LOG_ENTRY, LOG_EXIT};
inline constexpr CLogLevels kLogDetailLevels{LOG_DETAIL, LOG_DETAIL};

class CLogScope {
 public:
  CLogScope(const OLECHAR* pszName, const HRESULT& hr,
            CLogLevels levels = kLogEntryExitLevels) noexcept
      : m_pszName(pszName), m_phr(&hr), m_lExitLevel(levels.lExit) {
    qvlogLog(gLogChannel, levels.lEntry, OLESTR("%s"), m_pszName);
  }

  explicit CLogScope(const OLECHAR* pszName, CLogLevels levels = kLogEntryExitLevels) noexcept
      : m_pszName(pszName), m_lExitLevel(levels.lExit) {
    qvlogLog(gLogChannel, levels.lEntry, OLESTR("%s"), m_pszName);
  }

  // Prints "<pszField> = 0x%x" with the value *phrField holds at exit.
  void AlsoShow(const OLECHAR* pszField, const HRESULT& hrField) noexcept {
    m_pszField = pszField;
    m_phrField = &hrField;
  }

  ~CLogScope();

  CLogScope(const CLogScope&) = delete;
  CLogScope& operator=(const CLogScope&) = delete;

 private:
  const OLECHAR* m_pszName;
  const HRESULT* m_phr = nullptr;
  LONG m_lExitLevel;
  const OLECHAR* m_pszField = nullptr;
  const HRESULT* m_phrField = nullptr;
};
