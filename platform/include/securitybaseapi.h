// Process tokens and SIDs of the Linux platform layer. A token of the
// current process answers the identity the platform layer derives from the
// Linux process (user, integrity); other processes are opened by id.
#pragma once

#include "winbase.h"
#include "winnt.h"

KELMYR_EXTERN_C_BEGIN

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength);

BOOL WINAPI IsValidSid(PSID pSid);
DWORD WINAPI GetLengthSid(PSID pSid);
PDWORD WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority);
BYTE* WINAPI GetSidSubAuthorityCount(PSID pSid);
BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2);
// Equal revision, authority and number of sub-authorities, and equal
// sub-authorities but the last: two accounts of the same domain.
BOOL WINAPI EqualPrefixSid(PSID pSid1, PSID pSid2);

// Privileges of a token. A privilege the token does not hold leaves the
// call successful with ERROR_NOT_ALL_ASSIGNED as the last error; a removed
// privilege is gone from the token for good.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

KELMYR_EXTERN_C_END
