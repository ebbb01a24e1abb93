// Security information of objects of the Linux platform layer.
//
// GetSecurityInfo answers kernel objects (SE_KERNEL_OBJECT) by handle. A
// process object is owned by the process's effective user and its primary
// group is the effective group; its discretionary list grants full access
// to that user and to the local system account. The objects a process
// creates itself (threads, events, tokens) are owned by the process's own
// user and group. The descriptor is returned in one block, self-relative,
// that the owner, group and list pointers point into; release it with
// LocalFree. The result is a Windows error code, also set as last error.
#pragma once

#include <windows.h>

#include "accctrl.h"

KELMYR_EXTERN_C_BEGIN

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                             SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                             PACL* ppDacl, PACL* ppSacl,
                             PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

KELMYR_EXTERN_C_END
