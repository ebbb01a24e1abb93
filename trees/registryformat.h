// The stored form of a registry tree's data items: which registry type each
// element type is kept as, and the bytes of the value.
//
//   element type              registry type  bytes
//   VT_BSTR, no element       REG_SZ         none
//   VT_BSTR, one element      REG_SZ         the string's bytes, no terminator
//   VT_BSTR, more             REG_MULTI_SZ   each string and a zero unit, then one more zero unit
//   VT_I1 / VT_UI1 vector     REG_BINARY     0x0B / 0xBA, the length modulo 256, the data
//   VT_UI1 / VT_I1 matrix     REG_BINARY     one record per row: 0xBB / 0x0B, the row's length
//                                            byte n, its n content bytes
//   VT_INT, VT_UINT           REG_DWORD      the array's data
//   VT_I8, VT_UI8             REG_QWORD      the array's data
//   VT_UNKNOWN                REG_NONE       the array's data
//
// A matrix's first stored bound (rgsabound[0]) counts its rows, the second
// the bytes of a row, and the first byte of each row is the length of the
// content that follows it in the row.
//
// Reading back gives the same element type, except that VT_INT reads as
// VT_UINT, VT_I8 as VT_UI8, VT_UNKNOWN as an empty array, a VT_I1 matrix as
// the VT_I1 vector of its record bytes after the first two, a multi-string
// stops at its first empty string after the first, and a matrix comes back
// with rows one byte longer than its longest content.
//
// What cannot be stored faithfully is refused with E_INVALIDARG before
// anything is written: arrays of more than two dimensions, matrices of other
// element types than bytes, strings and numbers of more than one dimension
// (only the first bound would be kept), arrays without dimensions, and a row
// whose length byte does not fit in its row. Stored values are limited to
// 1 048 576 bytes, measured as the stored form: a string's bytes, a
// multi-string's total with its final zero unit, a vector with its two
// header bytes, a matrix as the sum of its row records, numbers as element
// size times count.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <vector>

#include "support/secstring.h"

// Bytes that are wiped when they are released: stored values may be
// unprotected secrets.
using CRegistryBytes = std::vector<BYTE, ZU::Framework::secallocator<BYTE>>;

inline constexpr DWORD kRegistryValueLimit = 0x100000;

// Element type to registry type. E_FAIL ("GetRegistryTypeFromSafeArrayType
// unsupported vt") for any other element type.
HRESULT GetRegistryTypeFromSafeArrayType(VARTYPE vt, DWORD& dwRegistryType);

// Registry type to the element type of the array read back (REG_BINARY:
// VT_UI1, the type of an empty binary value). E_FAIL
// ("GetSafeArrayTypeFromRegistryType unsupported dwRegistryType") for any
// other registry type.
HRESULT GetSafeArrayTypeFromRegistryType(DWORD dwRegistryType, VARTYPE& vt);

// The bytes to store for psa, whose element type is vt and registry type
// dwRegistryType (as mapped above; it becomes REG_MULTI_SZ for two strings
// or more). A failure means nothing may be written:
// E_INVALIDARG for a value beyond the limit or refused above, E_FAIL when the
// array cannot be read, E_OUTOFMEMORY. On success hrElements is E_FAIL when
// some element of a multi-string could not be read and was left out (the
// rest is still to be written), else S_OK. The lines are SetData's.
HRESULT EncodeRegistryValue(SAFEARRAY* psa, VARTYPE vt, DWORD& dwRegistryType,
                            CRegistryBytes& bytes, HRESULT& hrElements);

// The array stored as cbData bytes of type dwType: *ppsa receives a new
// array, or null with S_OK for a binary value whose first byte is no known
// tag. E_FAIL for an unsupported registry type, the HRESULT of a failed
// array call, E_OUTOFMEMORY. The lines are GetData's.
HRESULT DecodeRegistryValue(DWORD dwType, const BYTE* pData, DWORD cbData, SAFEARRAY** ppsa);

// Text a registry key name cannot hold: a backslash separates keys, and a
// zero unit would end the name early.
bool HoldsKeyBreak(const secwstring& s) noexcept;

// A compartment path (other than the root "/") whose segments all name keys:
// none empty, none holding a key break.
bool IsKeyablePath(const secwstring& sPath) noexcept;
