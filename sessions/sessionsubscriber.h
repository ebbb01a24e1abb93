// ISessionSubscriber: what the session monitor tells its owner about the
// terminal sessions. The calls run on the monitor thread while the monitor
// holds its session lock, so an implementation may take its own locks but
// must never call back into the monitor.
#pragma once

#include <windows.h>

class ISessionSubscriber {
 public:
  virtual ~ISessionSubscriber() = default;

  // The session has ended: drop what is cached for it.
  virtual void NotifyFlush(DWORD dwSessionId) = 0;
  // The session's cached state is usable (TRUE) or not (FALSE).
  virtual void NotifyAvailability(DWORD dwSessionId, BOOL bAvailabled) = 0;
  // The user of the ended session dwFromSessionId continues in dwToSessionId.
  virtual void NotifyMove(DWORD dwFromSessionId, DWORD dwToSessionId) = 0;
};
