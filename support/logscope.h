// CLogScope: the entry and exit lines of a function.
//
//   HRESULT CAuthStore::SetPIN(...) {
//     HRESULT hr = S_OK;
//     CLogScope scope(LOG_SCOPE_NAME("CAuthStore::SetPIN"), hr);
//     ...
//
// logs "CAuthStore::SetPIN" at level 8 now and "CAuthStore::SetPIN hr = 0x%x"
// at level 16 with the value hr holds when the scope ends, on every path.
// Each line is its own literal format (built by LOG_SCOPE_NAME through
// literal concatenation), so a sink keyed on the format sees the text as
// written, and the compiler checks it like any other format.
//
// Functions that log their entry and exit in detail pass kLogDetailLevels;
// functions without a result use the constructor without one, whose exit
// line is the bare name; a composite result is shown with AlsoShow, whose
// field is printed before the result:
//
//   scope.AlsoShow(LOG_SCOPE_FIELD("CDuplicateRegistryTree::SetData", "hr1"), hr1);
//
// logs "CDuplicateRegistryTree::SetData hr1 = 0x%x hr = 0x%x".
#pragma once

#include <optional>

#include "support/qvlog.h"

struct CLogLevels {
  LONG lEntry;
  LONG lExit;
};
inline constexpr CLogLevels kLogEntryExitLevels{LOG_ENTRY, LOG_EXIT};
inline constexpr CLogLevels kLogDetailLevels{LOG_DETAIL, LOG_DETAIL};

// The formats of a scope's lines; made by the macros below.
struct CLogScopeName {
  logformat::CLogFormat<> name;           // entry, and exit without a result
  logformat::CLogFormat<HRESULT> result;  // "<name> hr = 0x%x"
};
struct CLogScopeField {
  logformat::CLogFormat<HRESULT, HRESULT> result;  // "<name> <field> = 0x%x hr = 0x%x"
};

#define LOG_SCOPE_NAME(name) (CLogScopeName{OLESTR(name), OLESTR(name " hr = 0x%x")})
#define LOG_SCOPE_FIELD(name, field) (CLogScopeField{OLESTR(name " " field " = 0x%x hr = 0x%x")})

class CLogScope {
 public:
  CLogScope(CLogScopeName name, const HRESULT& hr, CLogLevels levels = kLogEntryExitLevels) noexcept
      : m_name(name), m_phr(&hr), m_lExitLevel(levels.lExit) {
    qvlogLog(gLogChannel, levels.lEntry, m_name.name);
  }

  explicit CLogScope(CLogScopeName name, CLogLevels levels = kLogEntryExitLevels) noexcept
      : m_name(name), m_lExitLevel(levels.lExit) {
    qvlogLog(gLogChannel, levels.lEntry, m_name.name);
  }

  // Shows the value *phrField holds at exit before the result.
  void AlsoShow(CLogScopeField field, const HRESULT& hrField) noexcept {
    m_field = field;
    m_phrField = &hrField;
  }

  ~CLogScope();

  CLogScope(const CLogScope&) = delete;
  CLogScope& operator=(const CLogScope&) = delete;

 private:
  CLogScopeName m_name;
  const HRESULT* m_phr = nullptr;
  LONG m_lExitLevel;
  std::optional<CLogScopeField> m_field;
  const HRESULT* m_phrField = nullptr;
};
