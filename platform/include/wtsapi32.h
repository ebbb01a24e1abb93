// Terminal sessions of the Linux platform layer, under the Terminal
// Services names. The layer serves them as its built-in module
// "wtsapi32.dll" and as C functions of the same names.
//
// The sessions are the login sessions of systemd-logind, read through its
// C library (sd-login, libsystemd.so.0, loaded on first use):
//
// - Only sessions of class "user" are terminal sessions. A numeric logind
//   id below 0x40000000 is the session id itself; any other id (such as
//   "c1") gets an id from 0x40000000 upward on first sight, kept for the
//   life of the process.
// - logind's "active" is WTSActive, "online" WTSDisconnected (logged on,
//   not in the foreground), "closing" WTSDown, "opening" and anything else
//   WTSInit. A session that disappears between two enumerations of a
//   thread is listed once more, as WTSDown, so that whoever follows the
//   sessions learns that it ended.
// - A remote session (logind's remote flag) reports the remote protocol
//   (WTS_PROTOCOL_TYPE_RDP) and its remote host as client name; a local
//   one is a console session with an empty client name.
// - ProcessIdToSessionId gives the process's logind session. A process
//   outside any terminal session is in session 0 when it runs as root (the
//   services' session) and has no session otherwise
//   (ERROR_NO_SUCH_LOGON_SESSION).
// - WTSWaitSystemEvent waits for logind's session changes; WTS_EVENT_FLUSH
//   makes every pending wait of the process return at once with
//   WTS_EVENT_NONE.
//
// Where logind does not run (or its library is missing) there are no
// terminal sessions: the enumeration is empty, and only root processes
// have a session, 0.
#pragma once

#include <windows.h>

#define WTS_CURRENT_SERVER ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_NAME (NULL)
#define WTS_CURRENT_SESSION ((DWORD)-1)

#define WTS_PROTOCOL_TYPE_CONSOLE 0
#define WTS_PROTOCOL_TYPE_ICA 1
#define WTS_PROTOCOL_TYPE_RDP 2

#define WTS_EVENT_NONE 0x0
#define WTS_EVENT_CREATE 0x1
#define WTS_EVENT_DELETE 0x2
#define WTS_EVENT_RENAME 0x4
#define WTS_EVENT_CONNECT 0x8
#define WTS_EVENT_DISCONNECT 0x10
#define WTS_EVENT_LOGON 0x20
#define WTS_EVENT_LOGOFF 0x40
#define WTS_EVENT_STATECHANGE 0x80
#define WTS_EVENT_LICENSE 0x100
#define WTS_EVENT_ALL 0x7fffffff
#define WTS_EVENT_FLUSH 0x80000000

typedef enum _WTS_CONNECTSTATE_CLASS {
  WTSActive,
  WTSConnected,
  WTSConnectQuery,
  WTSShadow,
  WTSDisconnected,
  WTSIdle,
  WTSListen,
  WTSReset,
  WTSDown,
  WTSInit
} WTS_CONNECTSTATE_CLASS;

typedef enum _WTS_INFO_CLASS {
  WTSInitialProgram = 0,
  WTSApplicationName = 1,
  WTSWorkingDirectory = 2,
  WTSOEMId = 3,
  WTSSessionId = 4,
  WTSUserName = 5,
  WTSWinStationName = 6,
  WTSDomainName = 7,
  WTSConnectState = 8,
  WTSClientBuildNumber = 9,
  WTSClientName = 10,
  WTSClientDirectory = 11,
  WTSClientProductId = 12,
  WTSClientHardwareId = 13,
  WTSClientAddress = 14,
  WTSClientDisplay = 15,
  WTSClientProtocolType = 16,
  WTSIdleTime = 17,
  WTSLogonTime = 18,
  WTSIncomingBytes = 19,
  WTSOutgoingBytes = 20,
  WTSIncomingFrames = 21,
  WTSOutgoingFrames = 22,
  WTSClientInfo = 23,
  WTSSessionInfo = 24
} WTS_INFO_CLASS;

typedef struct _WTS_SESSION_INFOW {
  DWORD SessionId;
  LPWSTR pWinStationName;
  WTS_CONNECTSTATE_CLASS State;
} WTS_SESSION_INFOW, *PWTS_SESSION_INFOW;

KELMYR_EXTERN_C_BEGIN

// Only the current server (WTS_CURRENT_SERVER_HANDLE) is known. Buffers
// returned are released with WTSFreeMemory.
BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                  PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount);
BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId,
                                        WTS_INFO_CLASS WTSInfoClass, LPWSTR* ppBuffer,
                                        DWORD* pBytesReturned);
BOOL WINAPI WTSWaitSystemEvent(HANDLE hServer, DWORD EventMask, DWORD* pEventFlags);
// The primary token of the user of a terminal session; the caller must
// hold "SeTcbPrivilege" enabled, as on Windows.
BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken);
void WINAPI WTSFreeMemory(PVOID pMemory);

KELMYR_EXTERN_C_END
