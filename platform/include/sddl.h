// Security descriptor definition language of the Linux platform layer: the
// text forms of SIDs ("S-1-5-18", or the two-letter aliases such as "SY")
// and of security descriptors ("O:SYG:...D:(A;;0x1fffff;;;SY)"). The
// strings and SIDs these functions return are released with LocalFree.
#pragma once

#include <windows.h>

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

KELMYR_EXTERN_C_BEGIN

BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid);
BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid);
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(
    PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD RequestedStringSDRevision,
    SECURITY_INFORMATION SecurityInformation, LPWSTR* StringSecurityDescriptor,
    PULONG StringSecurityDescriptorLen);

KELMYR_EXTERN_C_END
