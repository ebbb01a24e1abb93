// Names in the registry: limits, the case folding under which key and value
// names compare, and the splitting of a subkey path into key names. Private
// to the platform layer.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kelmyr::winapi::registry {

using RegName = std::u16string;
using RegNameView = std::u16string_view;

// Longest key name (one path component) and value name, in UTF-16 units.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
// Longest subkey path one call accepts (the limit of a counted string).
inline constexpr size_t kMaxPathLength = 32767;

// The upper-case form of one UTF-16 unit as names compare: the simple
// one-to-one case mappings of the Latin, Greek, Cyrillic and Armenian
// letters and of fullwidth Latin; every other unit compares as it is.
char16_t UpcaseUnit(char16_t c) noexcept;

// The comparison key of a name: its upper-case form as big-endian UTF-16
// bytes, so that byte order is the order of the folded code units (the
// order in which subkeys enumerate).
std::string FoldedKey(RegNameView name);

// The length of a zero-terminated UTF-16 string, stopping at limit + 1 so
// that an over-long name is recognised without reading all of it.
size_t BoundedLength(LPCWSTR psz, size_t limit) noexcept;

// Splits a subkey path into key names. Separators are backslashes; empty
// names between separators and a trailing separator are ignored; null and
// "" give no names (the key itself). ERROR_BAD_PATHNAME for a path that
// starts with a backslash, ERROR_INVALID_PARAMETER for a name longer than
// kMaxKeyNameLength or a path longer than kMaxPathLength.
LONG SplitSubKeyPath(LPCWSTR pszPath, std::vector<RegName>* pNames);

}  // namespace kelmyr::winapi::registry
