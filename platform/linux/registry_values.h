// The typing rules of RegGetValueW: which types a restriction admits, the
// expansion of REG_EXPAND_SZ, and the terminators it guarantees for
// strings. Private to the platform layer.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "registry_hive.h"

namespace kelmyr::winapi::registry {

// The RRF_RT_* bit that admits a value type; 0 for the types only
// RRF_RT_ANY admits.
DWORD RestrictionBitOf(DWORD type) noexcept;

// Turns a stored value into what RegGetValueW returns under dwFlags:
// ERROR_UNSUPPORTED_TYPE when the restriction refuses its type; a
// REG_EXPAND_SZ is expanded into a REG_SZ unless RRF_NOEXPAND is given; a
// non-empty string gets its terminating zero (a REG_MULTI_SZ its final
// empty string) when it was stored without; an empty one stays empty.
LONG ShapeForGetValue(DWORD dwFlags, SValue* pValue);

// Replaces each %NAME% by the value of the environment variable NAME;
// references to unset variables stay as they are.
std::u16string ExpandEnvironmentReferences(std::u16string_view text);

}  // namespace kelmyr::winapi::registry
