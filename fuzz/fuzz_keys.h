// The keys the fuzzers seal and open with: a private folder for this
// process (KELMYR_DPAPI_KEYS) holding fixed user and machine keys, so that
// blobs made by the seed tool in one process open in the fuzzers in
// another. Never used outside the fuzzers.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

// Points the data protection keys at a new private folder with the fixed
// keys; aborts when that fails. The folder is removed at exit.
void InstallFixedFuzzKeys();

// Seals a (description, plaintext) pair as EncryptValue does (its entropy
// and flags) into a new VT_UI1 vector; null when sealing fails.
SAFEARRAY* SealForFuzz(const OLECHAR* pszDescr, const BYTE* pbPlain, DWORD cbPlain);
