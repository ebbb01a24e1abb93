// Conversions between client BSTRs and the strings the system keeps.
#pragma once

#include <windows.h>

#include "support/secstring.h"

// Copies a BSTR, embedded zeros included. A null or empty BSTR fails with
// E_INVALIDARG and leaves the output unchanged; this is why every operation
// answers E_INVALIDARG for an empty identifier.
HRESULT BSTR2wstring(BSTR sBSTRCompartmentId, secwstring& sCompartmentId);

// Allocates a BSTR copy of the string, owned by the caller. The output is
// written only on success; E_OUTOFMEMORY when the copy cannot be allocated.
HRESULT wstring2BSTR(const secwstring& sCompartmentId, BSTR& sBSTRCompartmentId);
