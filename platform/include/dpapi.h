// The data protection API of the Linux platform layer.
//
// CryptProtectData seals bytes with a key of the calling account (or, with
// CRYPTPROTECT_LOCAL_MACHINE, with the machine key) and returns a blob that
// carries the description in clear; CryptUnprotectData opens it with the
// same optional entropy. Both return LocalAlloc'd buffers that the caller
// releases with LocalFree. A blob that was damaged, sealed with another
// entropy or with a key this account does not hold fails with
// ERROR_INVALID_DATA; null blob arguments, and an entropy blob with bytes
// but no address, fail with ERROR_INVALID_PARAMETER; data without an address
// fail with ERROR_INVALID_DATA. Prompts are never shown here: a prompt
// structure that asks for one in the phase of the call (PROMPT_ON_PROTECT,
// PROMPT_ON_UNPROTECT) fails with ERROR_PASSWORD_RESTRICTION, as Windows
// answers when CRYPTPROTECT_UI_FORBIDDEN forbids it. The reserved argument
// and flags this layer does not know are ignored, as Windows does.
#pragma once

#include "winbase.h"
#include "wincrypt.h"

#define CRYPTPROTECT_PROMPT_ON_UNPROTECT 0x1
#define CRYPTPROTECT_PROMPT_ON_PROTECT 0x2
#define CRYPTPROTECT_PROMPT_RESERVED 0x04
#define CRYPTPROTECT_PROMPT_STRONG 0x08
#define CRYPTPROTECT_PROMPT_REQUIRE_STRONG 0x10

#define CRYPTPROTECT_UI_FORBIDDEN 0x1
#define CRYPTPROTECT_LOCAL_MACHINE 0x4
#define CRYPTPROTECT_CRED_SYNC 0x8
#define CRYPTPROTECT_AUDIT 0x10
#define CRYPTPROTECT_NO_RECOVERY 0x20
#define CRYPTPROTECT_VERIFY_PROTECTION 0x40
#define CRYPTPROTECT_CRED_REGENERATE 0x80

typedef struct _CRYPTPROTECT_PROMPTSTRUCT {
  DWORD cbSize;
  DWORD dwPromptFlags;
  HANDLE hwndApp;
  LPCWSTR szPrompt;
} CRYPTPROTECT_PROMPTSTRUCT, *PCRYPTPROTECT_PROMPTSTRUCT;

KELMYR_EXTERN_C_BEGIN

BOOL WINAPI CryptProtectData(DATA_BLOB* pDataIn, LPCWSTR szDataDescr, DATA_BLOB* pOptionalEntropy,
                             PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT* pPromptStruct,
                             DWORD dwFlags, DATA_BLOB* pDataOut);
BOOL WINAPI CryptUnprotectData(DATA_BLOB* pDataIn, LPWSTR* ppszDataDescr,
                               DATA_BLOB* pOptionalEntropy, PVOID pvReserved,
                               CRYPTPROTECT_PROMPTSTRUCT* pPromptStruct, DWORD dwFlags,
                               DATA_BLOB* pDataOut);

KELMYR_EXTERN_C_END
