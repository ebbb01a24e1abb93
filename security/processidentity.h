// The identity of a client process: the SID of the account that runs it.
#pragma once

#include <windows.h>

#include "support/secstring.h"

// The user SID of the process, in its text form ("S-1-5-18",
// "S-1-5-21-..."), written to sSidUser on success only. E_ACCESSDENIED
// when the process or its token cannot be reached (an exited process
// included), E_OUTOFMEMORY, E_FAIL when the SID has no text, or the result
// of ModifyPrivs when "SeDebugPrivilege" cannot be enabled or disabled
// around the opening of the process.
HRESULT GetSIDUserFromProcessId(DWORD dwProcessId, ZU::Framework::secwstring& sSidUser);
