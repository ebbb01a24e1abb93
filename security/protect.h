// Value protection: the values of encrypted stores and the cached PINs are
// kept only as protected byte vectors.
//
// EncryptValue seals an array of one of the supported element types
// (security/protectencoding.h) with the data protection API under the key
// of the account that runs the host, with the fixed additional entropy and
// the element type (and a byte matrix's shape) as the blob's description.
// The output is a VT_UI1 vector with lower bound 0 holding the blob. It is
// written only on success; the input is neither changed nor freed.
//
// DecryptValue opens such a vector, trying the user key and then the
// machine key, and rebuilds a new array of the element type the value had.
// It writes the output on success and after a failed put of a string.
//
// The caller owns the new array. Both log their entry and result at level
// 0. The plaintexts, the blob returned by the platform and the entropy are
// wiped before they are freed on every path.
#pragma once

#include <windows.h>

#include <oleauto.h>

HRESULT EncryptValue(SAFEARRAY* psaValue, SAFEARRAY** ppsaProtected) noexcept;
HRESULT DecryptValue(SAFEARRAY* psaProtected, SAFEARRAY** ppsaValue) noexcept;
