// Conversions between the system's UTF-16 text and UTF-8 (log files,
// command lines, file names on Linux).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Appends the UTF-8 form of UTF-16 text; an unpaired surrogate becomes
// U+FFFD.
void AppendUtf8(std::string& out, std::basic_string_view<OLECHAR> in);
std::string Utf16ToUtf8(std::basic_string_view<OLECHAR> in);

// The UTF-16 form of UTF-8 text; a malformed sequence becomes U+FFFD.
std::basic_string<OLECHAR> Utf8ToUtf16(std::string_view in);
