// The encoding behind value protection: what EncryptValue seals for each
// element type, under which description, and how DecryptValue rebuilds an
// array from a description and a plaintext that passed authentication.
//
// Each element type, its description, what is sealed, and what comes back:
//   VT_BSTR, one dimension: "BSTR", the string list, a VT_BSTR vector;
//   VT_I1: "I1", the data area, a VT_I1 vector;
//   VT_UI1, one dimension: "UI1", the data area, a VT_UI1 vector;
//   VT_UI1, two dimensions: "UI1_MULTI <rgsabound[0]> <rgsabound[1]> ", the
//     data area, a VT_UI1 matrix of the same shape;
//   VT_I8, VT_UI8, VT_INT, VT_UINT: "I8", "UI8", "INT", "UINT", the data
//     area, a vector of that type.
//
// Types other than VT_BSTR and VT_UI1 with several dimensions are sealed
// whole and come back as flat vectors; lower bounds are not kept.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <vector>

#include "support/secstring.h"

// A byte buffer that wipes every block it gives back (plaintexts).
using CSecureBytes = std::vector<BYTE, ZU::Framework::secallocator<BYTE>>;

// The 16 bytes of additional entropy of every protected value, rebuilt for
// each call from the fixed table and wiped when the object goes away.
class CProtectEntropy {
 public:
  static constexpr DWORD kBytes = 16;

  CProtectEntropy() noexcept = default;
  ~CProtectEntropy();
  CProtectEntropy(const CProtectEntropy&) = delete;
  CProtectEntropy& operator=(const CProtectEntropy&) = delete;

  // False when the buffer cannot be allocated.
  bool Build() noexcept;
  DATA_BLOB Blob() const noexcept { return DATA_BLOB{kBytes, m_pb}; }

 private:
  BYTE* m_pb = nullptr;
};

// The description of an array of this element type and dimension count,
// for every type except the byte matrix (see BuildMatrixDescription); null
// for a type that is refused. Refused: interface pointers (VT_UNKNOWN),
// whose raw pointer values would be meaningless and dangerous to call once
// restored; string arrays of several dimensions, whose strings beyond the
// first row could not be reached; byte arrays of more than two dimensions,
// whose shape the description cannot carry back; every other type.
LPCWSTR ProtectDescriptionOf(VARTYPE vt, UINT cDims) noexcept;

// True for a byte matrix, which carries its shape in its description.
bool IsProtectedMatrix(VARTYPE vt, UINT cDims) noexcept;

// "UI1_MULTI " followed by the element counts of rgsabound[0] and
// rgsabound[1], each followed by one blank. E_FAIL for counts that the way
// back could not read (above 2^31 - 1), E_OUTOFMEMORY.
HRESULT BuildMatrixDescription(const SAFEARRAY* psa, BSTR* pbstrDescr) noexcept;

// The string list of a string vector: for the indices 0 to the element
// count of the first dimension minus 1 (whatever the lower bound, so an
// element above count - 1 + lower bound is never read), each string that
// can be fetched and is not null, its UTF-16 code units and a zero unit;
// then one more zero unit; four zero bytes when no string remains. A zero
// unit inside a string is kept and splits it on the way back, as in every
// double-zero-terminated list. Every fetched copy is wiped before it is
// freed. E_OUTOFMEMORY leaves the list empty.
HRESULT BuildStringList(SAFEARRAY* psa, CSecureBytes& list) noexcept;

// Rebuilds the array from the description and the plaintext of a blob that
// passed authentication, as DecryptValue does, with its messages. The
// output is written on success and, for a string list, also after a failed
// put of a string; on every other failure nothing is written and whatever
// was built is wiped and destroyed. A plaintext that does not fit its
// description (a size that is not a whole number of elements, matrix
// counts that are unreadable, negative or do not multiply to the size) is
// refused with E_FAIL; descriptions of interface pointer arrays are refused
// too (see ProtectDescriptionOf).
HRESULT RestoreValue(LPCWSTR pszDescr, const BYTE* pbPlain, DWORD cbPlain,
                     SAFEARRAY** ppsaOut) noexcept;

// Wipes what an array holds (the characters of its strings, or its data
// area) and destroys it, as a temporary of the system.
void WipeAndDestroyArray(SAFEARRAY* psa) noexcept;
