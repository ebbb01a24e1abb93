// Helpers of the value protection tests: arrays built from lists, arrays
// read back into lists, and the protected blob opened (or a blob sealed)
// directly with the data protection API and the system's entropy.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

using OleText = std::basic_string<OLECHAR>;
using Bytes = std::vector<BYTE>;
// A string element; nullopt for a null BSTR.
using OptText = std::optional<OleText>;

// The 16 entropy bytes every protected value is sealed with: the fixed
// table, each byte XOR-ed with its position counted from 1. Written out
// here so that a changed table, which would make every stored value
// unreadable, fails the tests.
inline constexpr BYTE kExpectedEntropy[16] = {0x44, 0x16, 0x92, 0x44, 0xF4, 0xD4, 0x29, 0xE4,
                                              0xDF, 0xB7, 0x16, 0x4B, 0x4C, 0xC4, 0xAC, 0x07};

// A byte vector of lower bound 0.
SAFEARRAY* MakeBytes(const Bytes& data);
// A string vector; nullopt leaves its element null.
SAFEARRAY* MakeStrings(LONG lLbound, const std::vector<OptText>& strings);

// The data area of an array (all dimensions).
Bytes DataOf(SAFEARRAY* psa);
// The elements of a one-dimensional string array, in index order.
std::vector<OptText> StringsOf(SAFEARRAY* psa);

struct SOpenedBlob {
  OleText description;
  Bytes plaintext;
};
// Opens a protected value (a VT_UI1 vector) with the expected entropy.
SOpenedBlob OpenProtected(SAFEARRAY* psaProtected);
// Seals a (description, plaintext) pair as EncryptValue would, as a VT_UI1
// vector for DecryptValue; null when sealing fails.
SAFEARRAY* SealProtected(const OLECHAR* pszDescr, Bytes plaintext);
