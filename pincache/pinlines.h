// What the PIN store's source files share: the names of a record's items,
// the lines every worker writes with its qualified name, and the guard that
// turns an allocation failure into E_OUTOFMEMORY.
#pragma once

#include <windows.h>

#include <new>
#include <string>

#include "support/logformat.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/secstring.h"

inline constexpr OLECHAR kPINValue[] = OLESTR("PINValue");
inline constexpr OLECHAR kPINAlwaysState[] = OLESTR("PINAlwaysState");
inline constexpr OLECHAR kPINBypassPINAlwaysState[] = OLESTR("PINBypassPINAlwaysState");
inline constexpr OLECHAR kPINSessionId[] = OLESTR("PINSessionId");
inline constexpr OLECHAR kAvailable[] = OLESTR("available");
inline constexpr OLECHAR kUnavailable[] = OLESTR("unavailable");
inline constexpr OLECHAR kTrue[] = OLESTR("True");
inline constexpr OLECHAR kFalse[] = OLESTR("False");

struct SPINLines {
  CLogScopeName scope;
  logformat::CLogFormat<> bstrFailed;
  logformat::CLogFormat<> treeNull;
  logformat::CLogFormat<> getSessionIdFailed;
  logformat::CLogFormat<> pinSessionNotFound;
  logformat::CLogFormat<const OLECHAR*> sessionId;
  logformat::CLogFormat<> dataNotFound;
  logformat::CLogFormat<> getDataFailed;
  logformat::CLogFormat<> getElementFailed;
  logformat::CLogFormat<> createVectorFailed;
  logformat::CLogFormat<> putElementFailed;
  logformat::CLogFormat<> setDataFailed;
  logformat::CLogFormat<> wstring2BSTRFailed;
  logformat::CLogFormat<> parametersFailed;
  logformat::CLogFormat<> timerFailed;
  logformat::CLogFormat<> releaseFailed;
  logformat::CLogFormat<> pnPINStateNull;
  logformat::CLogFormat<const OLECHAR*> bypassValue;
  logformat::CLogFormat<> pinAlwaysModeFailed;
};

#define PIN_LINES(name)                                                                           \
  (SPINLines{LOG_SCOPE_NAME(name), OLESTR(name " BSTR2wstring failed"),                           \
             OLESTR(name " m_Tree == NULL"), OLESTR(name " GetSessionId failed"),                 \
             OLESTR(name " sPINSessionId not found"), OLESTR(name " sSessionId = %s"),            \
             OLESTR(name " GetData : data not found"), OLESTR(name " GetData failed"),            \
             OLESTR(name " SafeArrayGetlement failed"),                                           \
             OLESTR(name " SafeArrayCreateVector failed"),                                        \
             OLESTR(name " SafeArrayPutElement failed"), OLESTR(name " SetData failed"),          \
             OLESTR(name " wstring2BSTR failed"), OLESTR(name " GetAdditionalParameters failed"), \
             OLESTR(name " SetInternalTimer failed"), OLESTR(name " zuSafeArrayDestroy failed"),  \
             OLESTR(name " pnPINState == NULL"), OLESTR(name " sBypassPINAlwaysStateValue = %s"), \
             OLESTR(name " GetPINAlwaysCachingMode failed")})

inline void LogPINFailure(logformat::CLogFormat<> line) noexcept {
  qvlogLog(gLogChannel, LOG_FAILURE, line);
}

// Runs a body; a string or map entry that cannot be allocated ends it with
// E_OUTOFMEMORY.
template <class F>
HRESULT PINNoThrow(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    LogPINFailure(OLESTR("CInternalAuthStore out of memory"));
    return E_OUTOFMEMORY;
  }
}

inline secwstring PINDecimal(DWORD dwValue) {
  const std::string digits = std::to_string(dwValue);
  return secwstring(digits.begin(), digits.end());
}
