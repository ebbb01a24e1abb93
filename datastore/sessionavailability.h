// CSessionAvailability: which terminal session a client process belongs to,
// and whether a store serves that session now.
//
// When a terminal session ends, the session monitor marks it unavailable in
// the stores that follow session events; while it is unavailable every
// operation of a client of that session fails. The session comes back when
// the monitor reports it connected again, or by itself once the time-out
// "DisableTimeoutAfterEndSession" (REG_DWORD, seconds, HKLM
// "Software\Orvane\Kelmyr", 64-bit view; absent, unreadable or 0: 15 s) has
// passed since it was marked. The setting is read at every check of an
// unavailable session, so a change applies without a restart. A session
// that never received an event is available.
//
// The data store and the PIN store each hold one, and name themselves in
// its log lines (SESSION_AVAILABILITY_MESSAGES). The component has no lock:
// its owner calls every method under its store lock, the session monitor's
// SetAvailabilityStoreFromSessionId included. Times come from the machine's
// wall clock (seconds since 1970).
#pragma once

#include <windows.h>

#include <map>

#include "support/logformat.h"
#include "support/secstring.h"

// The log lines of one owner class, each its own literal format.
struct SSessionAvailabilityMessages {
  logformat::CLogFormat<DWORD> getSessionIdEntry;
  logformat::CLogFormat<> getProcessIdFailed;
  logformat::CLogFormat<> modifyPrivsFailed;
  logformat::CLogFormat<BOOL, DWORD> lookupResult;
  logformat::CLogFormat<> lookupFailed;
  logformat::CLogFormat<DWORD> sessionId;
  logformat::CLogFormat<> unavailable;
  logformat::CLogFormat<HRESULT> getSessionIdExit;
  logformat::CLogFormat<DWORD> getEntry;
  logformat::CLogFormat<LONG> readFailed;
  logformat::CLogFormat<const OLECHAR*, DWORD> readSucceeded;
  logformat::CLogFormat<LONGLONG> now;
  logformat::CLogFormat<LONGLONG> stamp;
  logformat::CLogFormat<DWORD> timeOut;
  logformat::CLogFormat<BOOL> getExit;
  logformat::CLogFormat<> setEntryExit;
  logformat::CLogFormat<DWORD> setSessionId;
  logformat::CLogFormat<BOOL> setAvailability;
  logformat::CLogFormat<LONGLONG> setStamp;
};

#define SESSION_AVAILABILITY_MESSAGES(owner)                                                  \
  (SSessionAvailabilityMessages{                                                              \
      OLESTR(owner "::GetSessionId dwClientProcessId = %x"),                                  \
      OLESTR(owner "::GetSessionId GetProcessId failed"),                                     \
      OLESTR(owner "::GetSessionId ModifyPrivs failed"),                                      \
      OLESTR(owner "::GetSessionId ProcessIdToSessionId bRet = %x, dwError = %x"),            \
      OLESTR(owner "::GetSessionId ProcessIdToSessionId failed"),                             \
      OLESTR(owner "::GetSessionId dwSessionId = %d"),                                        \
      OLESTR(owner "::GetSessionId GetAvailabilityStoreFromSessionId returned bAvailabled = " \
                   "FALSE"),                                                                  \
      OLESTR(owner "::GetSessionId hr = 0x%x"),                                               \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId dwSessionId = %d"),                   \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId: zuRegReadValue failed : rc = %x"),   \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId zuRegReadValue(%s) returned %d "      \
                   "seconds"),                                                                \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId: tTime1 = %ld"),                      \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId: it1->second = %ld"),                 \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId: dwTimeOut = %d"),                    \
      OLESTR(owner "::GetAvailabilityStoreFromSessionId bAvailabled = %d"),                   \
      OLESTR(owner "::SetAvailabilityStoreFromSessionId"),                                    \
      OLESTR(owner "::SetAvailabilityStoreFromSessionId dwSessionId = %d"),                   \
      OLESTR(owner "::SetAvailabilityStoreFromSessionId bAvailabled = %d"),                   \
      OLESTR(owner "::SetAvailabilityStoreFromSessionId tTimeStamp = %ld")})

class CSessionAvailability {
 public:
  explicit CSessionAvailability(const SSessionAvailabilityMessages& messages) noexcept
      : m_messages(messages) {}

  // Forgets every session event (the owner's start and end).
  void Clear() noexcept;

  // The client's terminal session in decimal ("0", "12"), for a session the
  // store serves now. E_FAIL for process id 0 (nothing looked up), for a
  // process whose session cannot be read and for an unavailable session;
  // the result of ModifyPrivs when "SeDebugPrivilege", enabled only around
  // the lookup, cannot be enabled or disabled. sSessionId is written only on
  // success.
  HRESULT GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId);

  // Whether the session is served now; a check at or after the time-out of
  // an unavailable session makes it available again from that moment.
  // Always S_OK.
  HRESULT GetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL* pbAvailabled);

  // A session event: the session's availability, stamped with the time now
  // (also when it becomes available). Always S_OK; E_OUTOFMEMORY only when
  // the entry cannot be made.
  HRESULT SetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL bAvailabled);

 private:
  // The time-out in seconds, read from the registry now.
  DWORD ReadTimeOut() const;

  const SSessionAvailabilityMessages m_messages;
  std::map<DWORD, BOOL> m_SessionAvailability;
  std::map<DWORD, LONGLONG> m_SessionTimeStamp;
};
