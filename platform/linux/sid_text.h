// Text forms of SIDs, shared by the SID conversions and the security
// descriptor language. Private to the platform layer (sid.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kelmyr::winapi {

// The standard form "S-1-5-21-...": the authority in decimal below 2^32,
// otherwise as 0x and 12 hexadecimal digits. The SID must be valid.
std::u16string SidText(PSID pSid);

// The two-letter alias of a well-known SID ("SY" for S-1-5-18), or null.
const char16_t* SidAlias(PSID pSid);

// A copy of the text, terminated, in memory from LocalAlloc for the caller
// to free with LocalFree; null when it cannot be allocated.
LPWSTR LocalCopy(const std::u16string& text);

// A SID from its standard form or a well-known alias; false for any other
// text.
bool ParseSidText(std::u16string_view text, std::vector<BYTE>* pSid);

}  // namespace kelmyr::winapi
